// The installation's own file logic, written once above the primitives of install/install_files.h
// and run by the unit tests as by setup.exe: keeping a file aside, copying, the folder's lock,
// whether a file can be replaced, deleting the program's own names, and waiting for files that
// other programs hold.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "install/content_hash.h"
#include "install/install_files.h"

namespace install {

inline constexpr unsigned kFirstRetryPauseMs = 25;
inline constexpr unsigned kLongestRetryPauseMs = 500;
inline constexpr unsigned kRetryBudgetMs = 4000;

// Sharing violation, lock violation, access denied and a name whose deletion waits: what a file
// held open by another program produces.
bool IsWorthRetrying(std::uint32_t error_number);

// What a series of operations may wait in all: an undo whose every step meets a held file must
// not keep the window frozen for minutes.
struct WaitBudget {
  unsigned left_ms;
};

bool IsHeld(const common::SetupError& error);
void DescribeAsInUse(common::SetupError& error, const Name* created);

// Security scanners open every freshly written file for a moment, and a rename or delete that
// meets one fails as another program's hold makes it fail. Runs operation, and again after a
// growing pause while it fails so, until kRetryBudgetMs of pauses (or what is left of series)
// have passed; a holder that never lets go still ends in the failure, described as a file in
// use. created: the file the operation creates, if any; access denied there means the folder
// refuses, not that another program holds something. The one place that waits.
template <typename Operation>
auto WhileHeld(InstallFiles& platform, WaitBudget* series, Operation&& operation, const Name* created = nullptr)
    -> decltype(operation()) {
  unsigned waited = 0;
  unsigned pause = kFirstRetryPauseMs;
  for (;;) {
    try {
      return operation();
    } catch (common::SetupError& error) {
      if (!IsHeld(error)) throw;
      if (waited >= kRetryBudgetMs || (series && series->left_ms == 0)) {
        DescribeAsInUse(error, created);
        throw;
      }
    }
    if (series) {
      pause = pause < series->left_ms ? pause : series->left_ms;
      series->left_ms -= pause;
    }
    platform.Pause(pause);
    waited += pause;
    pause = pause * 2 < kLongestRetryPauseMs ? pause * 2 : kLongestRetryPauseMs;
  }
}

// A source's contents from its start, whatever was read of it before: a copy tried again, or a
// second pass, reads the same bytes.
class FromStart : public ByteSource {
 public:
  explicit FromStart(File& file) : file_(file) {}
  std::size_t Read(char* buf, std::size_t n) override {
    const std::size_t got = file_.ReadAt(offset_, buf, n);
    offset_ += got;
    return got;
  }

 private:
  File& file_;
  std::uint64_t offset_ = 0;
};

class Replaced;

// What a listing of a folder holds, ignoring case as Windows does. A character outside ASCII in a
// listed name may be any letter by the file system's own table (NTFS's takes U+017F for S): there
// it matches any character.
class Listing {
 public:
  explicit Listing(const std::vector<std::wstring>& names);
  bool MayHold(const std::wstring& name) const;

 private:
  std::vector<std::wstring> folded_;  // sorted, all in ASCII
  std::vector<std::wstring> other_;   // with characters outside ASCII
};

// A folder held open, as the installation works in it: every operation takes one plain name in
// it and waits out another program's brief hold on the file.
class Folder {
 public:
  Folder(InstallFiles& platform, std::unique_ptr<Directory> directory)
      : platform_(platform), owned_(std::move(directory)), directory_(*owned_) {}
  // The same folder, for a series of operations whose waits all come out of series.
  Folder(Folder& folder, WaitBudget& series)
      : platform_(folder.platform_), directory_(folder.directory_), series_(&series) {}

  const std::wstring& path() const { return directory_.path(); }
  // A file a failure names as itself.
  Name Own(std::wstring name) const;
  // One of the program's spare names, standing for destination in this folder.
  Name Spare(std::wstring name, const std::wstring& destination) const;
  // The program's own record or lock, standing for the folder.
  Name Record(std::wstring name) const;

  Listing List() { return Listing(directory_.List()); }
  // A name that is not there does not exist; any other failure to look is an error.
  FileStatus Look(const Name& name);
  // Null when nothing is there. A file with more than one name is refused.
  std::unique_ptr<File> OpenForReading(const Name& name);
  // Null when nothing is there; a folder, or a file another program holds, read-only or
  // otherwise refused, is opened only to be looked at, its refusal held for CheckFree.
  std::unique_ptr<Replaced> OpenToReplace(const Name& name);
  bool IsSameFolder(const Folder& other) const { return directory_.IsSameFolder(other.directory_); }
  VolumeFacts Volume() { return directory_.Volume(); }
  std::wstring WhereItLies() { return directory_.WhereItLies(); }
  // The folder name in this one, held open, a link refused (Directory::OpenFolder); null when
  // there is none.
  std::unique_ptr<Folder> OpenFolder(const Name& name, bool to_write);
  // Holds name, created so that no other program can open it, until the file is let go; one
  // left by a power cut is taken over. A sharing violation while another holds it.
  std::unique_ptr<File> Lock(const Name& name);
  // Creates name, which must not exist, with what attributes it carries over of the file it
  // will replace (hidden, system, ...).
  std::unique_ptr<File> CreateNew(const Name& name, std::uint32_t attributes);
  // A new file with source's contents and write time; on failure nothing is left at name.
  // hash: of the contents copied, made while they pass, so that the source is read once.
  std::unique_ptr<File> CopyToNew(File& source, const Name& name, std::uint32_t attributes,
                                  ContentHash* hash = nullptr);
  // Null when nothing is there. Opened so that nobody else can rename or delete it until it is
  // let go, to be judged and then renamed aside through this very open; another program's
  // hold is waited out, and a user's read-only file is refused as read-only.
  std::unique_ptr<File> OpenToSetAside(const Name& name);
  // Renames the open file over `to`, as File::RenameTo does: only the program's own record.
  void RenameOver(File& file, const Name& to);
  // Renames from, or the open file, to `to` only while nothing is there: fails with
  // kErrorAlreadyExists otherwise.
  void RenameAside(const Name& from, const Name& to);
  void RenameAside(File& file, const Name& to);
  // Deletes a file at one of the program's own names: a read-only flag is cleared first, and
  // stays on any other name of the file. A file that is already gone is not an error; a folder
  // is never deleted but refused as in the way (Cause::kFolderAtOwnName). only_file: an id (see
  // FileStatus::id); another file there is left as it is, and false returned, judged through
  // the very open that would delete it.
  bool Delete(const Name& name, std::uint64_t only_file = 0);
  void FlushEntries() { directory_.FlushEntries(); }

 private:
  friend class Replaced;
  template <typename Operation>
  auto Retry(Operation&& operation, const Name* created = nullptr) -> decltype(operation()) {
    return WhileHeld(platform_, series_, std::forward<Operation>(operation), created);
  }
  bool DeleteNow(const Name& name, std::uint64_t only_file);
  std::unique_ptr<File> Create(const Name& name, std::uint32_t attributes);
  std::unique_ptr<File> CopyInto(File& source, const Name& name, std::uint32_t attributes, std::uint64_t write_time,
                                 ContentHash* hash);

  InstallFiles& platform_;
  std::unique_ptr<Directory> owned_;
  Directory& directory_;
  WaitBudget* series_ = nullptr;
  std::unique_ptr<char[]> copy_buffer_;
};

// Pins the folder (InstallFiles::PinFolder), waiting out a brief hold on it.
std::unique_ptr<Folder> PinFolder(InstallFiles& platform, const std::wstring& path, bool must_be_itself);

// A file the run may replace, held open from the first look at it until destroyed: the one open
// through which it is looked at, checked to be itself and free of other programs, and read. It
// shares everything, and is let go before the file is opened to be set aside.
class Replaced {
 public:
  Replaced(Folder& folder, Name name, std::unique_ptr<File> file, std::optional<common::SetupError> refused)
      : folder_(folder), name_(std::move(name)), file_(std::move(file)), refused_(std::move(refused)) {}
  const FileStatus& status() const { return file_->status(); }
  // Throws unless the file could be replaced now: another program holds it so that it could
  // not be written or deleted.
  void CheckFree();
  // Its contents from the start, for one pass.
  std::unique_ptr<ByteSource> Read();
  std::string Permissions();

 private:
  void Free();
  Folder& folder_;
  Name name_;
  std::unique_ptr<File> file_;
  std::optional<common::SetupError> refused_;
};

}  // namespace install
