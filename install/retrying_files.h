// The file layer, trying an operation again while another program briefly holds the file.
//
// Security scanners open every freshly written file for a moment, and a rename or delete that
// meets one fails with a sharing violation or access denied. Such a failure is retried with a
// growing pause until kRetryBudgetMs of pauses have passed; a holder that never lets go still
// ends in the failure, described as a file in use.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "install/install_files.h"

namespace install {

inline constexpr unsigned kFirstRetryPauseMs = 25;
inline constexpr unsigned kLongestRetryPauseMs = 500;
inline constexpr unsigned kRetryBudgetMs = 4000;

// Sharing violation, lock violation, access denied and a name whose deletion waits: what a file
// held open by another program produces.
bool IsWorthRetrying(std::uint32_t error_number);

class RetryingFolder;

class RetryingFiles {
 public:
  explicit RetryingFiles(InstallFiles& inner) : inner_(inner) {}

  std::unique_ptr<RetryingFolder> PinFolder(const std::wstring& folder, bool must_be_itself);
  VirtualStore FindVirtualStore() { return inner_.FindVirtualStore(); }

  // While one lives, all retries together pause at most total_ms: a series of steps that each
  // meet a held file (an undo) must not keep the window frozen for minutes.
  class TotalBudget {
   public:
    TotalBudget(RetryingFiles& files, unsigned total_ms) : files_(files) { files_.total_left_ = total_ms; }
    TotalBudget(const TotalBudget&) = delete;
    TotalBudget& operator=(const TotalBudget&) = delete;
    ~TotalBudget() { files_.total_left_.reset(); }

   private:
    RetryingFiles& files_;
  };

  // Runs operation, again while it fails as another program's hold makes it fail. created: the
  // file the operation creates, if any; access denied there means the folder refuses, not that
  // another program holds something.
  template <typename Operation>
  auto Retry(Operation&& operation, const Name* created = nullptr) -> decltype(operation());

 private:
  InstallFiles& inner_;
  std::optional<unsigned> total_left_;
};

class RetryingFolder : public Folder {
 public:
  RetryingFolder(RetryingFiles& files, std::unique_ptr<Folder> inner)
      : files_(files), inner_(std::move(inner)) {}
  RetryingFiles& files() const { return files_; }

  const std::wstring& path() const override { return inner_->path(); }
  FileStatus Look(const Name& name) override;
  std::unique_ptr<SourceFile> OpenForReading(const Name& name) override;
  std::unique_ptr<Replaced> OpenToReplace(const Name& name) override;
  bool IsSameFolder(const Folder& other) const override;
  VolumeFacts Volume() override { return inner_->Volume(); }
  std::unique_ptr<HeldLock> Lock(const Name& name) override;
  std::unique_ptr<NewFile> CreateNew(const Name& name, std::uint32_t attributes) override;
  std::unique_ptr<NewFile> CopyToNew(SourceFile& source, const Name& name, std::uint32_t attributes) override;
  void RenameOver(const Name& from, const Name& to) override;
  void RenameAside(const Name& from, const Name& to) override;
  bool Delete(const Name& name, std::uint64_t only_file = 0) override;
  void FlushEntries() override { inner_->FlushEntries(); }

 private:
  RetryingFiles& files_;
  std::unique_ptr<Folder> inner_;
};

}  // namespace install
