#include "install/retrying_files.h"

#include <algorithm>

#include "common/setup_error.h"

namespace install {

bool IsWorthRetrying(std::uint32_t error_number) {
  return error_number == common::kErrorSharingViolation || error_number == common::kErrorLockViolation ||
         error_number == common::kErrorAccessDenied;
}

template <typename Operation>
auto RetryingFiles::Retry(Operation&& operation, const std::wstring& created) -> decltype(operation()) {
  unsigned waited = 0;
  unsigned pause = kFirstRetryPauseMs;
  for (;;) {
    try {
      return operation();
    } catch (common::SetupError& error) {
      // A right the program forgot to ask for is not another program's doing.
      if (!IsWorthRetrying(error.number) || error.cause == common::Cause::kMissingRight) throw;
      const bool spent = waited >= kRetryBudgetMs || (total_left_ && *total_left_ == 0);
      if (spent) {
        // Still refused after all that waiting: another program holds the file.
        if (error.cause == common::Cause::kNumber && !(error.number == common::kErrorAccessDenied && error.path == created)) {
          error.cause = common::Cause::kInUse;
        }
        throw;
      }
    }
    if (total_left_) {
      pause = std::min(pause, *total_left_);
      *total_left_ -= pause;
    }
    inner_.Pause(pause);
    waited += pause;
    pause = std::min(pause * 2, kLongestRetryPauseMs);
  }
}

std::unique_ptr<HeldLock> RetryingFiles::PinFolder(const std::wstring& folder, bool must_be_itself) {
  return Retry([&] { return inner_.PinFolder(folder, must_be_itself); });
}

FileStatus RetryingFiles::Status(const std::wstring& path) {
  return Retry([&] { return inner_.Status(path); });
}

bool RetryingFiles::IsSameFile(const std::wstring& a, const std::wstring& b) {
  return inner_.IsSameFile(a, b);
}

void RetryingFiles::ProbeReplaceable(const std::wstring& path) {
  Retry([&] { inner_.ProbeReplaceable(path); });
}

DiskSpace RetryingFiles::FreeSpace(const std::wstring& folder) { return inner_.FreeSpace(folder); }

bool RetryingFiles::HardLinksWork(const std::wstring& existing, const std::wstring& probe) {
  return inner_.HardLinksWork(existing, probe);
}

std::unique_ptr<HeldLock> RetryingFiles::Lock(const std::wstring& path) {
  return Retry([&] { return inner_.Lock(path); }, path);
}

std::unique_ptr<ByteSource> RetryingFiles::OpenForReading(const std::wstring& path) {
  return Retry([&] { return inner_.OpenForReading(path); });
}

void RetryingFiles::CopyToNew(const std::wstring& source, const std::wstring& target, std::uint32_t attributes) {
  Retry([&] { inner_.CopyToNew(source, target, attributes); }, target);
}

void RetryingFiles::WriteToNew(const std::wstring& target, const std::string& bytes,
                               std::uint32_t attributes) {
  Retry([&] { inner_.WriteToNew(target, bytes, attributes); }, target);
}

void RetryingFiles::KeepAside(const std::wstring& existing, const std::wstring& kept) {
  Retry([&] { inner_.KeepAside(existing, kept); }, kept);
}

void RetryingFiles::FlushNewFiles() { inner_.FlushNewFiles(); }

void RetryingFiles::MoveReplacing(const std::wstring& from, const std::wstring& to) {
  Retry([&] { inner_.MoveReplacing(from, to); });
}

void RetryingFiles::Delete(const std::wstring& path) {
  Retry([&] { inner_.Delete(path); });
}

void RetryingFiles::Pause(unsigned milliseconds) { inner_.Pause(milliseconds); }

}  // namespace install
