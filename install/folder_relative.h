// Operations on one plain name inside a folder held open, through the NT calls that take the
// folder's handle: no path is parsed again, so nothing that replaces a folder on the way (a
// junction, a mount point) can send them elsewhere.
//
// Every handle knows the rights it was granted, and every call on it is first held against the
// right Windows requires for that call (install/file_rights.h): Wine lets some of them through
// without it, Windows does not.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "common/scoped_handle.h"
#include "install/file_rights.h"

namespace install::relative {

class Handle {
 public:
  Handle() = default;
  // desired: the access asked for; path: the file as a report names it.
  Handle(HANDLE handle, ACCESS_MASK desired, std::wstring path)
      : handle_(handle), granted_(rights::Granted(desired)), path_(std::move(path)) {}
  HANDLE get() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  // The rights as the access asked maps them, which is what Windows grants when the open succeeds.
  std::uint32_t granted() const { return granted_; }
  const std::wstring& path() const { return path_; }
  // Throws common::SetupError (access denied, Cause::kMissingRight, naming the call) unless
  // the handle was opened with the rights the call needs.
  void Require(rights::Call call) const;

 private:
  common::ScopedHandle handle_;
  std::uint32_t granted_ = 0;
  std::wstring path_;
};

// One kind of open, whole: the access asks everything every later call on that handle needs,
// by Windows' rules (install/file_rights.h), not by what Wine lets through.
struct OpenKind {
  const char* what;
  std::uint32_t access;
  ULONG share;
  ULONG disposition;  // FILE_OPEN or FILE_CREATE
  ULONG options;      // FILE_DIRECTORY_FILE: a folder, opened by its whole path
  bool follow;        // a reparse point is followed, not opened as itself
  ULONG attributes = FILE_ATTRIBUTE_NORMAL;  // of a file it creates
};

namespace opens {
namespace r = rights;
inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Facts, reparse tag, final path.
inline constexpr OpenKind kLook{"look", r::kReadAttributes, kShareAll, FILE_OPEN, 0, false};
// A destination, from the first look at it until it is set aside: its facts; read (30.dat).
// Asking write and delete also fails while another program holds the file without letting
// others write or delete it, which would stop its replacing.
inline constexpr OpenKind kReplace{"replace", r::kGenericRead | r::kGenericWrite | r::kDelete, kShareAll, FILE_OPEN,
                                   0, false};
// A file renamed aside through the very handle it is checked through (its facts, 30.dat's bytes):
// without delete sharing nobody renames or deletes it in between, and the open also fails while
// another program holds it so. Write-through: the rename is on disk when it returns.
inline constexpr OpenKind kSetAside{"set aside", r::kGenericRead | r::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    FILE_OPEN, FILE_WRITE_THROUGH, false};
// Write-through: the rename is on disk when it returns.
inline constexpr OpenKind kMove{"move", r::kDelete | r::kReadAttributes, kShareAll, FILE_OPEN, FILE_WRITE_THROUGH,
                                false};
// Deleted; a read-only flag cleared first and put back on the file's other names.
inline constexpr OpenKind kRemove{"remove", r::kDelete | r::kReadAttributes | r::kWriteAttributes, kShareAll,
                                  FILE_OPEN, 0, false};
// Shared for reading only: nobody changes it while it is read.
inline constexpr OpenKind kRead{"read", r::kGenericRead, FILE_SHARE_READ, FILE_OPEN, FILE_SEQUENTIAL_ONLY, false};
// Win32Folder::OpenContents, for a file opened to be read, or to be replaced.
inline constexpr OpenKind kContents{"contents", r::kGenericRead, FILE_SHARE_READ, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, true, 0};
inline constexpr OpenKind kSharedContents{"shared contents", r::kGenericRead, kShareAll, FILE_OPEN,
                                          FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, true, 0};
// Written, its attributes, time and permissions set, flushed, renamed into place, or deleted on
// failure. Its creator owns it, and an owner may always write its DACL. Creating never follows
// a link: a name that is taken, link or not, fails.
inline constexpr OpenKind kCreate{"create", r::kGenericWrite | r::kDelete | r::kWriteDac, 0, FILE_CREATE,
                                  FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, false};
// Delete-on-close: the file goes with the last handle, which Windows closes also for a killed
// process. Only ever created new, so a planted link is never opened with it.
inline constexpr OpenKind kLock{"lock", r::kGenericRead | r::kGenericWrite | r::kDelete, 0, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, false, FILE_ATTRIBUTE_HIDDEN};
// Held for the run: names are opened below it; its facts and final path are read. Reading the
// listing makes the share mode count: without delete sharing nobody can rename or replace the
// folder while it is held. It may be reached through a link (a game moved to another disk).
inline constexpr OpenKind kFolder{"folder", r::kReadData | r::kTraverse | r::kReadAttributes | r::kSynchronize,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE, true};
// The data folder, whose entries are flushed too: FlushFileBuffers asks FILE_ADD_FILE of a
// folder. It must not be a link itself.
inline constexpr OpenKind kDataFolder{"data folder", kFolder.access | r::kWriteData, kFolder.share, FILE_OPEN,
                                      FILE_DIRECTORY_FILE, false};
// A folder on the way from a profile folder to the game's own copy of the data folder, opened in
// the one above it and held like it; it must not be a link itself.
inline constexpr OpenKind kFolderOnTheWay{"folder on the way", kFolder.access, kFolder.share, FILE_OPEN,
                                          FILE_DIRECTORY_FILE, false};
inline constexpr OpenKind kParent{"parent", r::kReadAttributes | r::kSynchronize, kShareAll, FILE_OPEN,
                                  FILE_DIRECTORY_FILE, true};
inline constexpr OpenKind kAll[] = {kLook,      kReplace,  kSetAside,       kMove,   kRemove,
                                    kRead,      kContents, kSharedContents, kCreate, kLock,
                                    kFolder,    kDataFolder, kFolderOnTheWay, kParent};
}  // namespace opens

struct Opened {
  Handle file;
  DWORD error = 0;  // a Win32 error number; 0 when file is open
};

// NtCreateFile of name in folder as kind, with synchronous I/O. path: the file as a report names it.
Opened Open(const Handle& folder, const std::wstring& name, const std::wstring& path, const OpenKind& kind);

// CreateFileW of a whole path as kind, for the folders that are pinned; invalid on failure, with
// the error in GetLastError. The handle is granted exactly the kind's access.
Handle OpenPath(const std::wstring& path, const OpenKind& kind);

// Each returns 0 or a Win32 error number.
struct Facts {
  std::uint32_t attributes = 0;
  std::uint64_t write_time = 0;  // FILETIME as one number
  std::uint64_t size = 0;
  std::uint32_t links = 1;
};
DWORD QueryFacts(const Handle& file, Facts& facts);          // basic and standard information
DWORD QueryReparseTag(const Handle& file, std::uint32_t& tag);
DWORD QueryFileId(const Handle& file, std::uint64_t& id);
DWORD QueryGrantedAccess(const Handle& file, std::uint32_t& access);  // as the system records it
DWORD SetAttributes(const Handle& file, std::uint32_t attributes);
// The file's DACL, as a self-relative security descriptor, where it has entries of its own (not
// inherited) or is protected from inheritance; empty where a new file in its folder gets the same.
DWORD QueryOwnDacl(const Handle& file, std::string& descriptor);
// Sets the DACL of such a descriptor, protected as it was.
DWORD SetDacl(const Handle& file, const std::string& descriptor);
// The last access too: some exFAT drivers drop a time set that leaves the other one as it is.
DWORD SetWriteTime(const Handle& file, std::uint64_t write_time);
// At offset, whatever was read before; the end of the file is got == 0.
DWORD ReadAt(const Handle& file, std::uint64_t offset, void* buffer, DWORD size, DWORD& got);
DWORD Write(const Handle& file, const void* data, DWORD size, DWORD& written);
DWORD Flush(const Handle& file);
// A folder's entries; where the file system keeps none of its own to flush, nothing to do.
DWORD FlushEntries(const Handle& folder);
// Makes what is done through the handle from now on reach the disk before the call returns, as
// FILE_WRITE_THROUGH at its open would have: a rename is then on disk when it returns.
DWORD SetWriteThrough(const Handle& file);
// Replaces what is there, or, without replace, fails while anything is.
DWORD RenameTo(const Handle& file, const Handle& folder, const std::wstring& name, bool replace = true);
DWORD MarkForDeletion(const Handle& file);  // gone when the last handle closes

// The volume of the open file or folder: whether its file system says it has hard links, the
// room this process may still fill on it and its cluster size, in bytes.
struct VolumeFacts {
  bool hard_links = false;
  std::uint64_t available = 0;
  std::uint64_t cluster = 0;
};
DWORD QueryVolume(const Handle& file, VolumeFacts& facts);
// A file's identity on the system: its volume and its id there. FileInternalInformation alone is
// unique only on NTFS and says nothing of the volume.
struct Identity {
  std::uint64_t volume = 0;
  std::uint8_t id[16] = {};
  bool operator==(const Identity& other) const;
};
DWORD QueryIdentity(const Handle& file, Identity& identity);

// The path of the open file or folder in its NT form with every name in its long form (no 8.3
// spelling), links and all.
DWORD NormalizedPath(const Handle& file, std::wstring& path);

// The path of the open file or folder as the system resolved it, links and all, with its drive
// letter (or \\server\share): for naming it to the user, never for opening it again.
DWORD DosPath(const Handle& file, std::wstring& path);

// The full path of the open file or folder as the system resolved it (its NT name, on which
// GetFinalPathNameByHandleW builds), links and all; on failure, empty and error set.
struct FinalPathOf {
  std::wstring path;
  DWORD error = 0;
};
FinalPathOf FinalPath(const Handle& file);

}  // namespace install::relative
