// The file system through Win32: the add-on installation's file operations.
#pragma once

#include <memory>
#include <string>

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
// A destination, from the first look at it to keeping it aside: its facts; read (30.dat, or
// its copy where there are no hard links); and a second name, for which CreateHardLinkW asks
// write-attributes. Asking write and delete also fails while another program holds the file
// without letting others write or delete it, which would stop its replacing.
inline constexpr OpenKind kReplace{"replace", r::kGenericRead | r::kGenericWrite | r::kDelete};
inline constexpr OpenKind kMove{"move", r::kDelete | r::kReadAttributes};
// Deleted; a read-only flag cleared first and put back on the file's other names.
inline constexpr OpenKind kRemove{"remove", r::kDelete | r::kReadAttributes | r::kWriteAttributes};
inline constexpr OpenKind kRead{"read", r::kGenericRead};
// Written, its attributes, time and permissions set, flushed, renamed into place, or deleted on
// failure. Its creator owns it, and an owner may always write its DACL.
inline constexpr OpenKind kCreate{"create", r::kGenericWrite | r::kDelete | r::kWriteDac};
inline constexpr OpenKind kLock{"lock", r::kGenericRead | r::kGenericWrite | r::kDelete};
// Held for the run: names are opened below it; its facts and final path are read.
inline constexpr OpenKind kFolder{"folder", r::kReadData | r::kTraverse | r::kReadAttributes | r::kSynchronize};
// The data folder, whose entries are flushed too: FlushFileBuffers asks FILE_ADD_FILE of a folder.
inline constexpr OpenKind kDataFolder{"data folder", kFolder.access | r::kWriteData};
inline constexpr OpenKind kParent{"parent", r::kReadAttributes | r::kSynchronize};
inline constexpr OpenKind kAll[] = {kLook,   kReplace, kMove,       kRemove, kRead,
                                    kCreate, kLock,    kFolder, kDataFolder, kParent};
}  // namespace opens

// The folder that holds the running setup.exe, as Windows reports it: no trailing "\" except
// for a drive root such as M:\.
std::wstring ExecutableDir();

class Win32Files : public InstallFiles {
 public:
  std::unique_ptr<Folder> PinFolder(const std::wstring& folder, bool must_be_itself) override;
  void Pause(unsigned milliseconds) override;
  VirtualStore FindVirtualStore() override;
};

}  // namespace install
