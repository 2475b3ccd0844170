// What the add-on installation needs from the file system. Win32Files implements it; tests fake it.
// Every operation that fails throws common::SetupError naming the file or folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>


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
  std::uint32_t attributes = 0;  // the platform's own flags, handed back to WriteToNew
};

struct DiskSpace {
  std::uint64_t available = 0;     // bytes this process may still write
  std::uint64_t cluster_size = 1;  // every file takes a whole number of these
  std::wstring volume;             // the volume's root as the user knows it, such as C:\ .
};

// Held until destroyed.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
};

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;

  // Holds the folder open, so that it cannot be renamed or replaced while the run works, until
  // the result is destroyed. Every operation below names a file in a pinned folder and acts on
  // that name alone: a name that is a link, or that resolves anywhere but in its folder, is
  // refused with Cause::kLinkElsewhere, and deleting or replacing a name never touches what it
  // points to. With must_be_itself the folder itself must not be a link either; without it, it
  // may be reached through one (a game moved to another disk).
  virtual std::unique_ptr<HeldLock> PinFolder(const std::wstring& folder, bool must_be_itself) = 0;

  // A path that is not there (not found, or its folder not found) does not exist; any other
  // failure to look is an error, never taken for "no file".
  virtual FileStatus Status(const std::wstring& path) = 0;
  // True when both paths name one file (setup.exe run from inside the data folder).
  virtual bool IsSameFile(const std::wstring& a, const std::wstring& b) = 0;
  // Throws when another program holds the file so that it could not be replaced.
  virtual void ProbeReplaceable(const std::wstring& path) = 0;
  virtual DiskSpace FreeSpace(const std::wstring& folder) = 0;
  // Whether the volume of `existing` has hard links: tries one at `probe` and removes it again.
  virtual bool HardLinksWork(const std::wstring& existing, const std::wstring& probe) = 0;
  // Creates or opens the file at path so that no other program can open it until the lock is
  // released; the file goes with the lock, also when the process is killed. Throws a sharing
  // violation while another holds it.
  virtual std::unique_ptr<HeldLock> Lock(const std::wstring& path) = 0;

  // Opens a file for one sequential pass; it is closed when the source is destroyed. A file with
  // more than one name is refused, as is the source of a copy with more than one.
  virtual std::unique_ptr<ByteSource> OpenForReading(const std::wstring& path) = 0;
  // These create target, which must not exist; on failure nothing is left at target. The new
  // file reaches the disk at the next FlushNewFiles. attributes: those of the file it will
  // replace, of which the ones a user may have set (hidden, system, ...) are carried over.
  virtual void CopyToNew(const std::wstring& source, const std::wstring& target, std::uint32_t attributes) = 0;
  virtual void WriteToNew(const std::wstring& target, const std::string& bytes,
                          std::uint32_t attributes) = 0;
  // Gives the file a second name that keeps its present contents whatever later replaces
  // `existing`: a hard link, or, where the file system has none, a copy with the same
  // attributes that reaches the disk at the next FlushNewFiles.
  virtual void KeepAside(const std::wstring& existing, const std::wstring& kept) = 0;
  // Puts every file created since the last call on disk. One flush of them all costs far less
  // than a flush after each.
  virtual void FlushNewFiles() = 0;
  // Renames from over to in one step, on disk when it returns; `to` is either its old file or
  // the new one, never less.
  virtual void MoveReplacing(const std::wstring& from, const std::wstring& to) = 0;
  // A file that is already gone is not an error.
  virtual void Delete(const std::wstring& path) = 0;

  virtual void Pause(unsigned milliseconds) = 0;
};

}  // namespace install
