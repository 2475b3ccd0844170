// The file system as the installation needs it, in single Windows operations on one plain name
// in a folder held open: Win32Files implements them, and the unit tests' fake volume. What is
// made of them (install/folder.h) is written once, above both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/setup_error.h"
#include "install/file_rights.h"

namespace install {

// Where the reader gets its bytes. Errors are the source's own exceptions;
// the reader lets them through.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to n bytes into buf; returns 0 only at the end of the file.
  virtual std::size_t Read(char* buf, std::size_t n) = 0;
};

// The most one read or write moves, and the size of every buffer a file passes through: small
// enough to stay in the processor's cache between the read into it and the write out of it (with
// 1 MiB the write's copy ran from memory, up to five times slower on a busy machine), and large
// enough that a volume through FUSE (exFAT) takes each write in one or two requests.
inline constexpr std::size_t kCopyChunk = 256 * 1024;

struct FileStatus {
  bool exists = false;
  bool directory = false;
  bool read_only = false;
  std::uint32_t names = 1;  // hard links to the same file, this one included
  std::uint64_t size = 0;
  std::uint64_t write_time = 0;  // the platform's own measure, compared only with itself
  std::uint32_t attributes = 0;  // as Windows numbers them (install::attributes)
  // The file itself, whatever its name: kept by a rename, not by a copy or a move from another
  // volume. Stable only where the volume has hard links; 0 when unknown.
  std::uint64_t id = 0;
};

// Read once, from the folder held.
struct VolumeFacts {
  bool hard_links = false;         // as its file system says, and with them stable file ids
  std::uint64_t available = 0;     // bytes this process may still write
  std::uint64_t cluster_size = 1;  // every file takes a whole number of these
  std::wstring root;               // as the user knows it, such as C:\ .
};

// A link, or a reparse point of a kind the program does not know, or a folder at the program's
// own name: that very name is the user's to remove, so a report names it as it is.
bool IsInTheWay(common::Cause cause);

// One plain name in a folder, made by that folder, and what a failure on it names: the file
// itself, or, for the program's spare names and its record, the user's file or folder they
// stand for; but a name in the way is named as itself wherever it is met.
class Name {
 public:
  const std::wstring& name() const { return name_; }
  const std::wstring& path() const { return path_; }          // the folder and the name
  const std::wstring& reported() const { return reported_; }  // what a failure names
  common::SetupError Error(std::uint32_t number, common::Cause cause = common::Cause::kNumber) const;

 private:
  friend class Folder;
  Name(std::wstring name, std::wstring path, std::wstring reported);
  std::wstring name_, path_, reported_;
};

// The attributes the logic above reads and sets, as Windows numbers them.
namespace attributes {
inline constexpr std::uint32_t kReadOnly = 0x1;
inline constexpr std::uint32_t kHidden = 0x2;
inline constexpr std::uint32_t kSystem = 0x4;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kNormal = 0x80;  // none at all
inline constexpr std::uint32_t kNotContentIndexed = 0x2000;
// What a replacement carries over from the file it replaces.
inline constexpr std::uint32_t kCarried = kHidden | kSystem | kArchive | kNotContentIndexed;
}  // namespace attributes

// How a name is opened, whole: the rights it asks, which every later call on the handle needs by
// Windows' rules (install/file_rights.h), not by what Wine lets through; what it lets other
// programs do meanwhile; whether it creates; whether a link is followed. In NtCreateFile's own
// numbers, which the fake volume judges sharing by too.
struct OpenKind {
  const char* what;
  std::uint32_t access;
  std::uint32_t share;
  std::uint32_t disposition;
  std::uint32_t options;
  bool follow;                                     // a link is followed, not opened as itself
  std::uint32_t attributes = attributes::kNormal;  // of a file it creates
  bool Reads() const { return access & (rights::kGenericRead | rights::kReadData); }
  bool Writes() const { return access & (rights::kGenericWrite | rights::kWriteData); }
  bool Deletes() const { return access & rights::kDelete; }
  bool Creates() const;
};

namespace opens {
namespace r = rights;
inline constexpr std::uint32_t kShareRead = 0x1, kShareWrite = 0x2, kShareDelete = 0x4;
inline constexpr std::uint32_t kShareAll = kShareRead | kShareWrite | kShareDelete;
inline constexpr std::uint32_t kExisting = 1, kNew = 2;  // FILE_OPEN, FILE_CREATE
inline constexpr std::uint32_t kFolderOnly = 0x1, kWriteThrough = 0x2, kSequential = 0x4, kFileOnly = 0x40,
                               kDeleteOnClose = 0x1000;  // FILE_DIRECTORY_FILE ... FILE_DELETE_ON_CLOSE
// Facts, reparse tag, final path.
inline constexpr OpenKind kLook{"look", r::kReadAttributes, kShareAll, kExisting, 0, false};
// A destination, from the first look at it until it is set aside: its facts; read (30.dat).
// Asking write and delete also fails while another program holds the file without letting
// others write or delete it, which would stop its replacing.
inline constexpr OpenKind kReplace{"replace", r::kGenericRead | r::kGenericWrite | r::kDelete, kShareAll, kExisting, 0,
                                   false};
// A file renamed aside through the very handle it is checked through (its facts, 30.dat's bytes):
// without delete sharing nobody renames or deletes it in between, and the open also fails while
// another program holds it so. Write-through: the rename is on disk when it returns.
inline constexpr OpenKind kSetAside{"set aside", r::kGenericRead | r::kDelete, kShareRead | kShareWrite, kExisting,
                                    kWriteThrough, false};
inline constexpr OpenKind kMove{"move", r::kDelete | r::kReadAttributes, kShareAll, kExisting, kWriteThrough, false};
// Deleted; a read-only flag cleared first and put back on the file's other names.
inline constexpr OpenKind kRemove{"remove", r::kDelete | r::kReadAttributes | r::kWriteAttributes, kShareAll, kExisting,
                                  0, false};
// Shared for reading only: nobody changes it while it is read.
inline constexpr OpenKind kRead{"read", r::kGenericRead, kShareRead, kExisting, kSequential, false};
// The contents of a file a filter or cloud provider supplies (Directory::Open), for a file opened
// to be read, or to be replaced.
inline constexpr OpenKind kContents{"contents", r::kGenericRead, kShareRead, kExisting, kFileOnly | kSequential, true, 0};
inline constexpr OpenKind kSharedContents{"shared contents", r::kGenericRead, kShareAll, kExisting,
                                          kFileOnly | kSequential, true, 0};
// Written, its attributes, time and permissions set, flushed, renamed into place, or deleted on
// failure. Its creator owns it, and an owner may always write its DACL. Creating never follows
// a link: a name that is taken, link or not, fails.
inline constexpr OpenKind kCreate{"create", r::kGenericWrite | r::kDelete | r::kWriteDac, 0, kNew,
                                  kFileOnly | kSequential, false};
// Delete-on-close: the file goes with the last handle, which Windows closes also for a killed
// process. Only ever created new, so a planted link is never opened with it.
inline constexpr OpenKind kLock{"lock", r::kGenericRead | r::kGenericWrite | r::kDelete, 0, kNew,
                                kFileOnly | kDeleteOnClose, false, attributes::kHidden};
// Held for the run: names are opened below it; its facts and final path are read. Reading the
// listing makes the share mode count: without delete sharing nobody can rename or replace the
// folder while it is held. It may be reached through a link (a game moved to another disk).
inline constexpr OpenKind kFolder{"folder", r::kReadData | r::kTraverse | r::kReadAttributes | r::kSynchronize,
                                  kShareRead | kShareWrite, kExisting, kFolderOnly, true};
// The data folder, whose entries are flushed too: FlushFileBuffers asks FILE_ADD_FILE of a
// folder. It must not be a link itself.
inline constexpr OpenKind kDataFolder{"data folder", kFolder.access | r::kWriteData, kFolder.share, kExisting,
                                      kFolderOnly, false};
// A folder on the way from a profile folder to the game's own copy of the data folder, opened in
// the one above it and held like it; it must not be a link itself.
inline constexpr OpenKind kFolderOnTheWay{"folder on the way", kFolder.access, kFolder.share, kExisting, kFolderOnly,
                                          false};
// The held folder opened again to list its names (and its facts, as every kind's): shared with
// every open of it there is.
inline constexpr OpenKind kListing{"listing", r::kReadData | r::kReadAttributes | r::kSynchronize, kShareAll,
                                   kExisting, kFolderOnly, false};
inline constexpr OpenKind kParent{"parent", r::kReadAttributes | r::kSynchronize, kShareAll, kExisting, kFolderOnly,
                                  true};
inline constexpr OpenKind kAll[] = {kLook,   kReplace, kSetAside, kMove,       kRemove,         kRead,
                                    kContents, kSharedContents, kCreate, kLock, kFolder, kDataFolder,
                                    kFolderOnTheWay, kListing, kParent};
}  // namespace opens

inline bool OpenKind::Creates() const { return disposition == opens::kNew; }

// One open file: a single Windows operation per call, each throwing common::SetupError that
// names the file (Name::Error). Closed when destroyed.
class File {
 public:
  virtual ~File() = default;
  // As it was when it was opened.
  virtual const FileStatus& status() const = 0;
  // At offset, whatever was read before; 0 only at the end of the file.
  virtual std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) = 0;
  // Writes every byte.
  virtual void Write(const char* data, std::size_t size) = 0;
  // Has what was written on disk.
  virtual void Flush() = 0;
  // The last write time (FileStatus::write_time), and the last access with it.
  virtual void SetTime(std::uint64_t write_time) = 0;
  virtual void SetAttributes(std::uint32_t attributes) = 0;
  // Its permissions where they are its own (a user granted write on the file itself, say), for
  // its replacement to keep; empty where a new file in the folder gets the same.
  virtual std::string Permissions() = 0;
  virtual void SetPermissions(const std::string& permissions) = 0;
  // FileStatus::id as it is now.
  virtual std::uint64_t Id() = 0;
  // Renames it in its folder, on disk when this returns. replace: what is at `to` is replaced as
  // a name, never followed; otherwise it fails while anything is there.
  virtual void RenameTo(const Name& to, bool replace) = 0;
  // Its name goes: at once where the volume can, else with the last handle.
  virtual void Delete() = 0;
};

// A folder held open until destroyed, so that it cannot be renamed or replaced while the run
// works. Its operations take one plain name in it and act on that name alone: a name that is a
// link, or that resolves anywhere but in this folder, is refused with Cause::kLinkElsewhere.
class Directory {
 public:
  virtual ~Directory() = default;
  // The folder as the user knows it, ending in "\".
  virtual const std::wstring& path() const = 0;
  // Null when nothing is there; any other failure is an error, never taken for "no file". A kind
  // that creates fails while anything is there. A file to read has its contents opened at once:
  // a cloud file's, which may not come, is refused before anything is written.
  virtual std::unique_ptr<File> Open(const Name& name, const OpenKind& kind) = 0;
  // The names in the folder now, in one pass: which of the program's own names to open at all. A
  // name may appear after, or go; nothing is done to a name for being listed.
  virtual std::vector<std::wstring> List() = 0;
  // Has the folder's own entries, the renames and deletes in it, on disk: a volume may write
  // them out of order. Only for a folder pinned to be written in.
  virtual void FlushEntries() = 0;
  virtual VolumeFacts Volume() = 0;
  // True when other leads where this folder does (setup.exe run from inside the data folder).
  virtual bool IsSameFolder(const Directory& other) const = 0;
  // The folder name in this one, held open as a pinned folder is: a link there of any kind is
  // refused (Cause::kLinkElsewhere), never followed. Null when nothing is there, or a file.
  // to_write: as PinFolder's must_be_itself.
  virtual std::unique_ptr<Directory> OpenFolder(const Name& name, bool to_write) = 0;
  // Where the folder really lies, every link on the way resolved and every name in its long
  // form, as C:\...\ or \\server\share\...\: for comparing, never for opening.
  virtual std::wstring WhereItLies() = 0;
};

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;
  // Holds the folder open as it is now. must_be_itself: the folder the run writes in, which must
  // not be a link itself either, and whose entries it flushes; otherwise a folder only read, which
  // may be reached through a link (a game moved to another disk) and may be on read-only media.
  virtual std::unique_ptr<Directory> PinFolder(const std::wstring& folder, bool must_be_itself) = 0;
  virtual void Pause(unsigned milliseconds) = 0;
};

}  // namespace install
