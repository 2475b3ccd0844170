// The file system through Win32: the add-on installation's file operations.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "install/file_rights.h"
#include "install/install_files.h"

namespace install {

// The access each kind of open asks: everything every later call on that handle needs, by
// Windows' rules (install/file_rights.h), not by what Wine lets through.
struct OpenKind {
  const char* what;
  std::uint32_t access;
};
namespace opens {
namespace r = rights;
// Facts, reparse tag, final path.
inline constexpr OpenKind kLook{"look", r::kReadAttributes};
// Fails while another program holds the file without letting others write or delete it.
inline constexpr OpenKind kProbe{"probe", r::kGenericWrite | r::kDelete | r::kReadAttributes};
// A second name: CreateHardLinkW asks write-attributes of the file it links.
inline constexpr OpenKind kLink{"link", r::kWriteAttributes | r::kReadAttributes};
inline constexpr OpenKind kMove{"move", r::kDelete | r::kReadAttributes};
inline constexpr OpenKind kRemove{"remove", r::kDelete | r::kReadAttributes};
inline constexpr OpenKind kRead{"read", r::kGenericRead};
// Written, its attributes and time set, flushed, or deleted again on failure.
inline constexpr OpenKind kCreate{"create", r::kGenericWrite | r::kDelete};
inline constexpr OpenKind kLock{"lock", r::kGenericRead | r::kGenericWrite | r::kDelete};
// Held for the run: names are opened below it; its facts and final path are read.
inline constexpr OpenKind kFolder{"folder", r::kReadData | r::kTraverse | r::kReadAttributes | r::kSynchronize};
inline constexpr OpenKind kParent{"parent", r::kReadAttributes | r::kSynchronize};
inline constexpr OpenKind kAll[] = {kLook, kProbe, kLink, kMove, kRemove, kRead, kCreate, kLock, kFolder, kParent};
}  // namespace opens

// The folder that holds the running setup.exe, as Windows reports it: no trailing "\" except
// for a drive root such as M:\.
std::wstring ExecutableDir();

class Win32Files : public InstallFiles {
 public:
  Win32Files();
  ~Win32Files() override;
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

  struct Pinned;  // a folder held open, and its final path

 private:
  class NewFile;
  class Pin;
  // The pinned folder that holds path, and the plain name in it.
  std::pair<const Pinned*, std::wstring> Resolve(const std::wstring& path) const;
  // Copies source into a new file at target, to be flushed with the others.
  // attributes: those to carry over, or nullptr for the source's own.
  void CopyIntoNew(const std::wstring& source, const std::wstring& target, const std::uint32_t* attributes);
  // Written, still open, not yet flushed.
  std::map<std::wstring, std::unique_ptr<NewFile>> unflushed_;
  // By the folder's path as the installation names it, ending in "\".
  std::map<std::wstring, const Pinned*> pinned_;
};

}  // namespace install
