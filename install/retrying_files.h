// InstallFiles that tries an operation again while another program briefly holds the file.
//
// Security scanners open every freshly written file for a moment, and a rename or delete that
// meets one fails with a sharing violation or access denied. Such a failure is retried with a
// growing pause until kRetryBudgetMs of pauses have passed; a holder that never lets go still
// ends in the failure, described as a file in use.
#pragma once

#include <cstdint>
#include <optional>

#include "install/install_files.h"

namespace install {

inline constexpr unsigned kFirstRetryPauseMs = 25;
inline constexpr unsigned kLongestRetryPauseMs = 500;
inline constexpr unsigned kRetryBudgetMs = 4000;

// Sharing violation, lock violation and access denied: what a file held open by another
// program produces.
bool IsWorthRetrying(std::uint32_t error_number);

class RetryingFiles : public InstallFiles {
 public:
  explicit RetryingFiles(InstallFiles& inner) : inner_(inner) {}

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

  std::unique_ptr<HeldLock> PinFolder(const std::wstring& folder, bool must_be_itself) override;
  FileStatus Status(const std::wstring& path) override;
  bool IsSameFile(const std::wstring& a, const std::wstring& b) override;
  void ProbeReplaceable(const std::wstring& path) override;
  DiskSpace FreeSpace(const std::wstring& folder) override;
  bool HardLinksWork(const std::wstring& existing, const std::wstring& probe) override;
  std::unique_ptr<HeldLock> Lock(const std::wstring& path) override;
  std::unique_ptr<ByteSource> OpenForReading(const std::wstring& path) override;
  void CopyToNew(const std::wstring& source, const std::wstring& target, std::uint32_t attributes) override;
  void WriteToNew(const std::wstring& target, const std::string& bytes,
                  std::uint32_t attributes) override;
  void KeepAside(const std::wstring& existing, const std::wstring& kept) override;
  void FlushNewFiles() override;
  void MoveReplacing(const std::wstring& from, const std::wstring& to) override;
  void Delete(const std::wstring& path) override;
  void Pause(unsigned milliseconds) override;

 private:
  // created: the file the operation creates, if any; access denied there means the folder
  // refuses, not that another program holds something.
  template <typename Operation>
  auto Retry(Operation&& operation, const std::wstring& created = {}) -> decltype(operation());

  InstallFiles& inner_;
  std::optional<unsigned> total_left_;
};

}  // namespace install
