#include "install/retrying_files.h"

#include <algorithm>

#include "app/setup_error.h"

namespace install {

bool IsWorthRetrying(std::uint32_t error_number) {
  return error_number == app::kErrorSharingViolation || error_number == app::kErrorLockViolation ||
         error_number == app::kErrorAccessDenied;
}

template <typename Operation>
auto RetryingFiles::Retry(Operation&& operation) -> decltype(operation()) {
  unsigned waited = 0;
  unsigned pause = kFirstRetryPauseMs;
  for (;;) {
    try {
      return operation();
    } catch (const app::SetupError& error) {
      if (!IsWorthRetrying(error.number) || waited >= kRetryBudgetMs) throw;
    }
    inner_.Pause(pause);
    waited += pause;
    pause = std::min(pause * 2, kLongestRetryPauseMs);
  }
}

FileStatus RetryingFiles::Status(const std::wstring& path) { return inner_.Status(path); }

bool RetryingFiles::IsSameFile(const std::wstring& a, const std::wstring& b) {
  return inner_.IsSameFile(a, b);
}

void RetryingFiles::ProbeReplaceable(const std::wstring& path) {
  Retry([&] { inner_.ProbeReplaceable(path); });
}

DiskSpace RetryingFiles::FreeSpace(const std::wstring& folder) { return inner_.FreeSpace(folder); }

std::unique_ptr<ByteSource> RetryingFiles::OpenForReading(const std::wstring& path) {
  return Retry([&] { return inner_.OpenForReading(path); });
}

void RetryingFiles::CopyToNew(const std::wstring& source, const std::wstring& target) {
  Retry([&] { inner_.CopyToNew(source, target); });
}

void RetryingFiles::WriteToNew(const std::wstring& target, const std::string& bytes,
                               std::uint32_t attributes) {
  Retry([&] { inner_.WriteToNew(target, bytes, attributes); });
}

void RetryingFiles::FlushNewFiles() { inner_.FlushNewFiles(); }

void RetryingFiles::KeepAside(const std::wstring& existing, const std::wstring& kept) {
  Retry([&] { inner_.KeepAside(existing, kept); });
}

void RetryingFiles::MoveReplacing(const std::wstring& from, const std::wstring& to) {
  Retry([&] { inner_.MoveReplacing(from, to); });
}

void RetryingFiles::Delete(const std::wstring& path) {
  Retry([&] { inner_.Delete(path); });
}

void RetryingFiles::Pause(unsigned milliseconds) { inner_.Pause(milliseconds); }

}  // namespace install
