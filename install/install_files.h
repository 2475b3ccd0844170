// What the add-on installation needs from the file system: folders held open, and operations
// on one plain name in them. Win32Files implements it; tests fake it. Every operation that
// fails throws common::SetupError naming the user's file or folder (Name::Error).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/setup_error.h"
#include "install/virtual_store.h"

namespace install {

// Where the reader gets its bytes. Errors are the source's own exceptions;
// the reader lets them through.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to n bytes into buf; returns 0 only at the end of the file.
  virtual std::size_t Read(char* buf, std::size_t n) = 0;
};

class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string_view bytes) : rest_(bytes) {}
  // It only views the bytes, so a temporary string would dangle.
  template <typename T, typename = std::enable_if_t<std::is_same_v<T, std::string>>>
  explicit StringSource(T&&) = delete;
  std::size_t Read(char* buf, std::size_t n) override;

 private:
  std::string_view rest_;
};

struct FileStatus {
  bool exists = false;
  bool directory = false;
  bool read_only = false;
  std::uint32_t names = 1;  // hard links to the same file, this one included
  std::uint64_t size = 0;
  std::uint64_t write_time = 0;  // the platform's own measure, compared only with itself
  std::uint32_t attributes = 0;  // the platform's own flags, handed back to CreateNew
  // The file itself, whatever its name: kept by a rename, not by a copy or a move from another
  // volume. Stable only where the volume has hard links; 0 when unknown.
  std::uint64_t id = 0;
};

// Read once, from the folder held.
struct VolumeFacts {
  bool hard_links = false;         // as its file system says: see HardLinksIn
  std::uint64_t available = 0;     // bytes this process may still write
  std::uint64_t cluster_size = 1;  // every file takes a whole number of these
  std::wstring root;               // as the user knows it, such as C:\ .
};

// Held until destroyed.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
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

// A file open to be read, and what it was when it was opened. A file whose contents are read
// must have one name only.
class SourceFile : public ByteSource {
 public:
  virtual const FileStatus& status() const = 0;
  // Reads at offset, whatever was read before: a copy tried again starts from the beginning.
  virtual std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) = 0;
  // In one pass from the start.
  std::size_t Read(char* buf, std::size_t n) final {
    const std::size_t got = ReadAt(position_, buf, n);
    position_ += got;
    return got;
  }

 private:
  std::uint64_t position_ = 0;
};

// A source's contents from its start, whatever was read of it before: a copy tried again, or a
// second pass, reads the same bytes.
class FromStart : public ByteSource {
 public:
  explicit FromStart(SourceFile& file) : file_(file) {}
  std::size_t Read(char* buf, std::size_t n) override {
    const std::size_t got = file_.ReadAt(offset_, buf, n);
    offset_ += got;
    return got;
  }

 private:
  SourceFile& file_;
  std::uint64_t offset_ = 0;
};

// A file just created, open and shared with nobody until destroyed: written, flushed and put
// in place through this one handle. Nothing deletes it but the caller, also on failure.
class NewFile {
 public:
  virtual ~NewFile() = default;
  virtual void Write(const std::string& bytes) = 0;
  // Has what was written on disk.
  virtual void Flush() = 0;
  // The file's id (FileStatus::id).
  virtual std::uint64_t Id() = 0;
  // Gives it the permissions Replaced::Permissions read from the file it replaces.
  virtual void SetPermissions(const std::string& permissions) = 0;
  // Renames it over `to` in its folder in one step, on disk when it returns; what was at `to`
  // is replaced as a name, never followed, and `to` is either its old file or this one.
  virtual void RenameOver(const Name& to) = 0;
};

// A file the run may replace, held open from the first look at it until destroyed: the one open
// through which it is looked at, checked to be itself and free of other programs, read and
// kept aside. It shares everything, and must be let go before anything is renamed over it.
class Replaced {
 public:
  virtual ~Replaced() = default;
  virtual const FileStatus& status() const = 0;
  // Throws unless the file could be replaced now: another program holds it so that it could
  // not be written or deleted.
  virtual void CheckFree() = 0;
  // Its contents from the start, for one pass.
  virtual std::unique_ptr<ByteSource> Read() = 0;
  // Its permissions where they are its own (a user granted write on the file itself, say), for
  // its replacement to keep; empty where a new file in the folder gets the same.
  virtual std::string Permissions() = 0;
  // Whether the volume has hard links: tries one of this file at probe and removes it again.
  virtual bool HardLinksWork(const Name& probe) = 0;
  // A second name that keeps the present contents whatever later replaces this one: a hard
  // link (nullptr), or where the volume has none, a copy with the same attributes and time,
  // still to be flushed.
  virtual std::unique_ptr<NewFile> KeepAs(const Name& kept) = 0;
};

// A folder held open until destroyed, so that it cannot be renamed or replaced while the run
// works. Its operations take one plain name in it and act on that name alone: a name that is a
// link, or that resolves anywhere but in this folder, is refused with Cause::kLinkElsewhere,
// and deleting or replacing a name never touches what it points to.
class Folder {
 public:
  virtual ~Folder() = default;
  // The folder as the user knows it, ending in "\".
  virtual const std::wstring& path() const = 0;

  // A file a failure names as itself.
  Name Own(std::wstring name) const;
  // One of the program's spare names, standing for destination in this folder.
  Name Spare(std::wstring name, const std::wstring& destination) const;
  // The program's own record or lock, standing for the folder.
  Name Record(std::wstring name) const;

  // A name that is not there does not exist; any other failure to look is an error, never
  // taken for "no file".
  virtual FileStatus Look(const Name& name) = 0;
  // Null when nothing is there. A file with more than one name is refused.
  virtual std::unique_ptr<SourceFile> OpenForReading(const Name& name) = 0;
  // Null when nothing is there; a folder, or a read-only file, is opened only to be looked at.
  virtual std::unique_ptr<Replaced> OpenToReplace(const Name& name) = 0;
  // True when other leads where this folder does (setup.exe run from inside the data folder).
  virtual bool IsSameFolder(const Folder& other) const = 0;
  virtual VolumeFacts Volume() = 0;
  // Creates or opens the file so that no other program can open it until the lock is released;
  // the file goes with the lock, also when the process is killed. Throws a sharing violation
  // while another holds it.
  virtual std::unique_ptr<HeldLock> Lock(const Name& name) = 0;
  // Creates name, which must not exist. attributes: those of the file it will replace, of which
  // the ones a user may have set (hidden, system, ...) are carried over.
  virtual std::unique_ptr<NewFile> CreateNew(const Name& name, std::uint32_t attributes) = 0;
  // A new file with source's contents and write time; on failure nothing is left at name.
  virtual std::unique_ptr<NewFile> CopyToNew(SourceFile& source, const Name& name, std::uint32_t attributes) = 0;
  // Renames from over to, as NewFile::RenameOver does.
  virtual void RenameOver(const Name& from, const Name& to) = 0;
  // Renames from to `to` only while nothing is there: fails with kErrorAlreadyExists otherwise.
  virtual void RenameAside(const Name& from, const Name& to) = 0;
  // Deletes a file at one of the program's own names: a read-only flag is cleared first, and
  // stays on any other name of the file. A file that is already gone is not an error; a folder
  // is never deleted but refused as in the way (Cause::kFolderAtOwnName). only_file: an id (see
  // FileStatus::id); another file there is left as it is, and false returned, judged through
  // the very open that would delete it.
  virtual bool Delete(const Name& name, std::uint64_t only_file = 0) = 0;
  // Has the folder's own entries, the renames and deletes in it, on disk: a volume may write
  // them out of order. Only for a folder pinned to be written in.
  virtual void FlushEntries() = 0;
};

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;
  // Holds the folder open as it is now. must_be_itself: the folder the run writes in, which must
  // not be a link itself either, and whose entries it flushes; otherwise a folder only read, which
  // may be reached through a link (a game moved to another disk) and may be on read-only media.
  virtual std::unique_ptr<Folder> PinFolder(const std::wstring& folder, bool must_be_itself) = 0;
  virtual void Pause(unsigned milliseconds) = 0;
  // The virtualized folders and the virtual store of the user who started setup.exe.
  virtual VirtualStore FindVirtualStore() = 0;
};

}  // namespace install
