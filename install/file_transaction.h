// A set of file replacements that happens whole or not at all.
//
// Each new file is first written beside its destination under the destination's name plus
// kStagedSuffix. Commit flushes them all to disk, then, file by file, keeps the old file under
// kKeptSuffix and renames the staged file over the destination, so that a destination always
// holds either its old or its new file. If any step fails, the moves already made are undone
// in reverse order; only when every move has gone through are the kept files removed. A run
// that was killed leaves only files with these suffixes behind, which RemoveLeftovers deletes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_files.h"

namespace install {

inline constexpr wchar_t kStagedSuffix[] = L".setup-new";
inline constexpr wchar_t kKeptSuffix[] = L".setup-old";

class FileTransaction {
 public:
  explicit FileTransaction(InstallFiles& files) : files_(files) {}
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;
  // Without a commit, everything staged is removed.
  ~FileTransaction();

  void StageCopy(const std::wstring& source, const std::wstring& destination);
  void StageContents(const std::wstring& destination, const std::string& bytes,
                     std::uint32_t attributes);
  // Puts every staged file in place, in staging order, or, on failure, restores every
  // destination and rethrows.
  void Commit();

 private:
  struct Entry {
    std::wstring destination;
    std::wstring staged;
    std::wstring kept;
    bool kept_aside = false;
    bool moved = false;
  };

  Entry& Add(const std::wstring& destination);
  template <typename Write>
  void Stage(const std::wstring& destination, Write&& write);
  void Undo() noexcept;

  InstallFiles& files_;
  std::vector<Entry> entries_;
  bool finished_ = false;
};

// Deletes what an interrupted run may have left for these destinations.
void RemoveLeftovers(InstallFiles& files, const std::vector<std::wstring>& destinations);

}  // namespace install
