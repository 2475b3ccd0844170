#include "install/retrying_files.h"

#include <algorithm>

#include "common/setup_error.h"

namespace install {

bool IsWorthRetrying(std::uint32_t error_number) {
  return error_number == common::kErrorSharingViolation || error_number == common::kErrorLockViolation ||
         error_number == common::kErrorAccessDenied || error_number == common::kErrorDeletePending;
}

template <typename Operation>
auto RetryingFiles::Retry(Operation&& operation, const Name* created) -> decltype(operation()) {
  unsigned waited = 0;
  unsigned pause = kFirstRetryPauseMs;
  for (;;) {
    try {
      return operation();
    } catch (common::SetupError& error) {
      // A right the program forgot to ask for, or a name in the way, is not another program's doing.
      if (!IsWorthRetrying(error.number) || error.cause == common::Cause::kMissingRight || IsInTheWay(error.cause)) {
        throw;
      }
      const bool spent = waited >= kRetryBudgetMs || (total_left_ && *total_left_ == 0);
      if (spent) {
        // Still refused after all that waiting: another program holds the file.
        const bool folder_refuses =
            error.number == common::kErrorAccessDenied && created && error.path == created->reported();
        if (error.cause == common::Cause::kNumber && !folder_refuses) error.cause = common::Cause::kInUse;
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

namespace {

class RetryingNewFile : public NewFile {
 public:
  RetryingNewFile(RetryingFiles& files, std::unique_ptr<NewFile> inner) : files_(files), inner_(std::move(inner)) {}
  void Write(const std::string& bytes) override { inner_->Write(bytes); }
  void Flush() override { inner_->Flush(); }
  std::uint64_t Id() override { return inner_->Id(); }
  void SetPermissions(const std::string& permissions) override { inner_->SetPermissions(permissions); }
  void RenameOver(const Name& to) override {
    files_.Retry([&] { inner_->RenameOver(to); });
  }

 private:
  RetryingFiles& files_;
  std::unique_ptr<NewFile> inner_;
};

std::unique_ptr<NewFile> Wrapped(RetryingFiles& files, std::unique_ptr<NewFile> file) {
  if (!file) return nullptr;
  return std::make_unique<RetryingNewFile>(files, std::move(file));
}

class RetryingReplaced : public Replaced {
 public:
  RetryingReplaced(RetryingFiles& files, std::unique_ptr<Replaced> inner) : files_(files), inner_(std::move(inner)) {}
  const FileStatus& status() const override { return inner_->status(); }
  void CheckFree() override {
    files_.Retry([&] { inner_->CheckFree(); });
  }
  std::unique_ptr<ByteSource> Read() override { return files_.Retry([&] { return inner_->Read(); }); }
  std::string Permissions() override { return files_.Retry([&] { return inner_->Permissions(); }); }
  bool HardLinksWork(const Name& probe) override { return inner_->HardLinksWork(probe); }
  std::unique_ptr<NewFile> KeepAs(const Name& kept) override {
    return Wrapped(files_, files_.Retry([&] { return inner_->KeepAs(kept); }, &kept));
  }

 private:
  RetryingFiles& files_;
  std::unique_ptr<Replaced> inner_;
};

}  // namespace

std::unique_ptr<RetryingFolder> RetryingFiles::PinFolder(const std::wstring& folder, bool must_be_itself) {
  return std::make_unique<RetryingFolder>(*this, Retry([&] { return inner_.PinFolder(folder, must_be_itself); }));
}

FileStatus RetryingFolder::Look(const Name& name) {
  return files_.Retry([&] { return inner_->Look(name); });
}

std::unique_ptr<SourceFile> RetryingFolder::OpenForReading(const Name& name) {
  return files_.Retry([&] { return inner_->OpenForReading(name); });
}

std::unique_ptr<Replaced> RetryingFolder::OpenToReplace(const Name& name) {
  std::unique_ptr<Replaced> replaced = files_.Retry([&] { return inner_->OpenToReplace(name); });
  if (!replaced) return nullptr;
  return std::make_unique<RetryingReplaced>(files_, std::move(replaced));
}

bool RetryingFolder::IsSameFolder(const Folder& other) const {
  const auto* retrying = dynamic_cast<const RetryingFolder*>(&other);
  return inner_->IsSameFolder(retrying ? *retrying->inner_ : other);
}

std::unique_ptr<HeldLock> RetryingFolder::Lock(const Name& name) {
  return files_.Retry([&] { return inner_->Lock(name); }, &name);
}

std::unique_ptr<NewFile> RetryingFolder::CreateNew(const Name& name, std::uint32_t attributes) {
  return Wrapped(files_, files_.Retry([&] { return inner_->CreateNew(name, attributes); }, &name));
}

std::unique_ptr<NewFile> RetryingFolder::CopyToNew(SourceFile& source, const Name& name, std::uint32_t attributes) {
  return Wrapped(files_, files_.Retry([&] { return inner_->CopyToNew(source, name, attributes); }, &name));
}

void RetryingFolder::RenameOver(const Name& from, const Name& to) {
  files_.Retry([&] { inner_->RenameOver(from, to); });
}

void RetryingFolder::RenameAside(const Name& from, const Name& to) {
  files_.Retry([&] { inner_->RenameAside(from, to); });
}

bool RetryingFolder::Delete(const Name& name, std::uint64_t only_file) {
  return files_.Retry([&] { return inner_->Delete(name, only_file); });
}

}  // namespace install
