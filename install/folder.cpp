#include "install/folder.h"

#include <algorithm>

#include "common/setup_error.h"

namespace install {
namespace {

// What another program's hold, or the file's own state (read-only, a folder), makes an open
// that asks to write or delete fail with.
bool IsRefusal(const common::SetupError& error) {
  return error.cause == common::Cause::kNumber &&
         (error.number == common::kErrorSharingViolation || error.number == common::kErrorLockViolation ||
          error.number == common::kErrorAccessDenied);
}

bool IsTaken(std::uint32_t number) {
  return number == common::kErrorFileExists || number == common::kErrorAlreadyExists;
}

// For the operation that made it, when it fails before the file is whole.
void Discard(File& file) noexcept {
  try {
    file.Delete();
  } catch (...) {  // the next run removes spare names
  }
}

// The attributes a new file carries over of the file it will replace.
void Carry(File& file, std::uint32_t attributes) {
  if (const std::uint32_t carried = attributes & attributes::kCarried) file.SetAttributes(carried);
}

}  // namespace

Name::Name(std::wstring name, std::wstring path, std::wstring reported)
    : name_(std::move(name)), path_(std::move(path)), reported_(std::move(reported)) {
  // One name in the folder, never a way out of it.
  if (name_.empty() || name_.find_first_of(L"\\/:") != std::wstring::npos || name_ == L"." || name_ == L"..") {
    throw common::MakeError(common::kErrorInternal, path_, common::Cause::kUnexpected);
  }
}

bool IsInTheWay(common::Cause cause) {
  return cause == common::Cause::kLinkElsewhere || cause == common::Cause::kUnknownReparse ||
         cause == common::Cause::kFolderAtOwnName;
}

common::SetupError Name::Error(std::uint32_t number, common::Cause cause) const {
  return common::MakeError(number, IsInTheWay(cause) ? path_ : reported_, cause);
}

bool IsWorthRetrying(std::uint32_t error_number) {
  return error_number == common::kErrorSharingViolation || error_number == common::kErrorLockViolation ||
         error_number == common::kErrorAccessDenied || error_number == common::kErrorDeletePending;
}

// A right the program forgot to ask for, or a name in the way, is not another program's doing.
bool IsHeld(const common::SetupError& error) {
  return IsWorthRetrying(error.number) && error.cause != common::Cause::kMissingRight &&
         error.cause != common::Cause::kReadOnly && !IsInTheWay(error.cause);
}

// Still refused after all that waiting: another program holds the file.
void DescribeAsInUse(common::SetupError& error, const Name* created) {
  const bool folder_refuses =
      error.number == common::kErrorAccessDenied && created && error.path == created->reported();
  if (error.cause == common::Cause::kNumber && !folder_refuses) error.cause = common::Cause::kInUse;
}

namespace {

std::wstring Folded(const std::wstring& name) {
  std::wstring folded = name;
  for (wchar_t& c : folded) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  return folded;
}

}  // namespace

Listing::Listing(const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    const bool ascii = std::all_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x80; });
    (ascii ? folded_ : other_).push_back(Folded(name));
  }
  std::sort(folded_.begin(), folded_.end());
}

bool Listing::MayHold(const std::wstring& name) const {
  const std::wstring folded = Folded(name);
  if (std::binary_search(folded_.begin(), folded_.end(), folded)) return true;
  return std::any_of(other_.begin(), other_.end(), [&](const std::wstring& other) {
    return other.size() == folded.size() &&
           std::equal(other.begin(), other.end(), folded.begin(), [](wchar_t a, wchar_t b) { return a == b || a >= 0x80; });
  });
}

Name Folder::Own(std::wstring name) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), path, path);
}

Name Folder::Spare(std::wstring name, const std::wstring& destination) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), std::move(path), this->path() + destination);
}

Name Folder::Record(std::wstring name) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), std::move(path), this->path());
}

std::unique_ptr<Folder> PinFolder(InstallFiles& platform, const std::wstring& path, bool must_be_itself) {
  return std::make_unique<Folder>(
      platform, WhileHeld(platform, nullptr, [&] { return platform.PinFolder(path, must_be_itself); }));
}

std::unique_ptr<Folder> Folder::OpenFolder(const Name& name, bool to_write) {
  std::unique_ptr<Directory> folder = Retry([&] { return directory_.OpenFolder(name, to_write); });
  return folder ? std::make_unique<Folder>(platform_, std::move(folder)) : nullptr;
}

FileStatus Folder::Look(const Name& name) {
  return Retry([&] {
    const std::unique_ptr<File> file = directory_.Open(name, opens::kLook);
    return file ? file->status() : FileStatus{};
  });
}

std::unique_ptr<File> Folder::OpenForReading(const Name& name) {
  return Retry([&] {
    std::unique_ptr<File> file = directory_.Open(name, opens::kRead);
    // A second name may lie anywhere, in a folder its user cannot read.
    if (file && file->status().names > 1) throw name.Error(common::kErrorCantAccessFile, common::Cause::kLinkElsewhere);
    return file;
  });
}

std::unique_ptr<Replaced> Folder::OpenToReplace(const Name& name) {
  return Retry([&]() -> std::unique_ptr<Replaced> {
    std::optional<common::SetupError> refused;
    try {
      if (std::unique_ptr<File> file = directory_.Open(name, opens::kReplace)) {
        return std::make_unique<Replaced>(*this, name, std::move(file), std::nullopt);
      }
      return nullptr;
    } catch (const common::SetupError& error) {
      if (!IsRefusal(error)) throw;
      refused = error;
    }
    // Held by another program, read-only or a folder: what it is decides what the user is told.
    std::unique_ptr<File> looked = directory_.Open(name, opens::kLook);
    if (!looked) return nullptr;
    return std::make_unique<Replaced>(*this, name, std::move(looked), std::move(refused));
  });
}

std::unique_ptr<File> Folder::Lock(const Name& name) {
  return Retry(
      [&] {
        for (int attempt = 1;; ++attempt) {
          try {
            return directory_.Open(name, opens::kLock);
          } catch (const common::SetupError& error) {
            if (!IsTaken(error.number) || attempt == 3) throw;
          }
          // Left by a power cut: removed. Held by another setup.exe, this fails with a sharing
          // violation; planted as a link, or a folder, it is refused.
          DeleteNow(name, 0);
        }
      },
      &name);
}

std::unique_ptr<File> Folder::Create(const Name& name, std::uint32_t attributes) {
  std::unique_ptr<File> file = directory_.Open(name, opens::kCreate);
  try {
    Carry(*file, attributes);
  } catch (...) {
    Discard(*file);
    throw;
  }
  return file;
}

std::unique_ptr<File> Folder::CreateNew(const Name& name, std::uint32_t attributes) {
  return Retry([&] { return Create(name, attributes); }, &name);
}

std::unique_ptr<File> Folder::CopyInto(File& source, const Name& name, std::uint32_t attributes,
                                       std::uint64_t write_time, ContentHash* hash) {
  std::unique_ptr<File> file = directory_.Open(name, opens::kCreate);
  try {
    // Read from its start, whatever was read of it before: a copy tried again is the same copy.
    FromStart contents(source);
    // One buffer for every copy: a new one each time comes as fresh pages, each faulted in and
    // zeroed, which costs more than the copying into it.
    if (!copy_buffer_) copy_buffer_.reset(new char[kCopyChunk]);  // every byte used is read first
    if (hash) *hash = ContentHash();
    while (const std::size_t got = contents.Read(copy_buffer_.get(), kCopyChunk)) {
      if (hash) hash->Add(copy_buffer_.get(), got);
      file->Write(copy_buffer_.get(), got);
    }
    file->SetTime(write_time);
    // After the time: Wine 10 drops a file's hidden and system flags when its times are set.
    Carry(*file, attributes);
  } catch (...) {
    Discard(*file);
    throw;
  }
  return file;
}

std::unique_ptr<File> Folder::CopyToNew(File& source, const Name& name, std::uint32_t attributes,
                                        ContentHash* hash) {
  return Retry(
      [&] {
        // The time its own, and not its attributes: files from a CD are read-only, and the copy
        // must stay replaceable.
        return CopyInto(source, name, attributes, source.status().write_time, hash);
      },
      &name);
}

std::unique_ptr<File> Folder::OpenToSetAside(const Name& name) {
  return Retry([&] {
    try {
      return directory_.Open(name, opens::kSetAside);
    } catch (common::SetupError& error) {
      // Windows refuses no rename of a read-only file, but a filter may: say what it is.
      if (error.number == common::kErrorAccessDenied && error.cause == common::Cause::kNumber) {
        const std::unique_ptr<File> looked = directory_.Open(name, opens::kLook);
        if (looked && looked->status().read_only) error.cause = common::Cause::kReadOnly;
      }
      throw;
    }
  });
}

void Folder::RenameOver(File& file, const Name& to) {
  Retry([&] { file.RenameTo(to, true); });
}

namespace {

void RenameWithoutReplacing(File& file, const Name& to) {
  try {
    file.RenameTo(to, false);
  } catch (const common::SetupError& error) {
    if (IsTaken(error.number)) throw to.Error(common::kErrorAlreadyExists);
    throw;
  }
}

}  // namespace

void Folder::RenameAside(File& file, const Name& to) {
  Retry([&] { RenameWithoutReplacing(file, to); });
}

void Folder::RenameAside(const Name& from, const Name& to) {
  Retry([&] {
    const std::unique_ptr<File> file = directory_.Open(from, opens::kMove);
    if (!file) throw from.Error(common::kErrorFileNotFound);
    RenameWithoutReplacing(*file, to);
  });
}

bool Folder::Delete(const Name& name, std::uint64_t only_file) {
  return Retry([&] { return DeleteNow(name, only_file); });
}

bool Folder::DeleteNow(const Name& name, std::uint64_t only_file) {
  // The name goes, never what it might point to: a link is refused before anything is marked.
  const std::unique_ptr<File> file = directory_.Open(name, opens::kRemove);
  if (!file) return true;
  const FileStatus& status = file->status();
  if (status.directory) throw name.Error(common::kErrorAccessDenied, common::Cause::kFolderAtOwnName);
  if (only_file && status.id != only_file) return false;
  const std::uint32_t kept = status.attributes & (attributes::kCarried | attributes::kReadOnly);
  // Windows refuses to delete a read-only file; the flag is the file's, on all its names.
  if (status.read_only) {
    const std::uint32_t cleared = kept & ~attributes::kReadOnly;
    file->SetAttributes(cleared ? cleared : attributes::kNormal);
  }
  auto put_back = [&] {
    try {
      file->SetAttributes(kept);
    } catch (const common::SetupError&) {  // the file's other names lose it, nothing more
    }
  };
  try {
    file->Delete();
  } catch (...) {
    if (status.read_only) put_back();
    throw;
  }
  if (status.read_only && status.names > 1) put_back();
  return true;
}

void Replaced::Free() {
  if (!refused_) return;
  std::unique_ptr<File> file = folder_.directory_.Open(name_, opens::kReplace);
  if (!file) throw name_.Error(common::kErrorFileNotFound);
  file_ = std::move(file);
  refused_.reset();
}

void Replaced::CheckFree() {
  folder_.Retry([&] { Free(); });
}

std::unique_ptr<ByteSource> Replaced::Read() {
  CheckFree();
  return std::make_unique<FromStart>(*file_);
}

std::string Replaced::Permissions() {
  return folder_.Retry([&] {
    Free();
    return file_->Permissions();
  });
}

}  // namespace install
