#include "install/win32_files.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "common/setup_error.h"
#include "install/folder_relative.h"

namespace install {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowLastError(const std::wstring& path) {
  throw common::MakeError(GetLastError(), path);
}

void ThrowIf(DWORD error, const std::wstring& path) {
  if (error) throw common::MakeError(error, path);
}

[[noreturn]] void ThrowLink(const std::wstring& path) {
  throw common::MakeError(common::kErrorCantAccessFile, path, common::Cause::kLinkElsewhere);
}

using relative::Handle;

void WriteAll(const Handle& file, const char* data, std::size_t size, const std::wstring& path_for_errors) {
  while (size > 0) {
    const DWORD chunk = size > kCopyChunk ? kCopyChunk : static_cast<DWORD>(size);
    DWORD written = 0;
    ThrowIf(relative::Write(file, data, chunk, written), path_for_errors);
    if (written == 0) throw common::MakeError(common::kErrorDiskFull, path_for_errors);
    data += written;
    size -= written;
  }
}

// What a reader reads. For a file whose contents a filter or cloud provider supplies, the first
// handle (opened on the name itself) keeps the name from moving, the second reads the contents.
struct Contents {
  Handle name;
  Handle contents;  // invalid: read from name
  const Handle& reader() const { return contents.valid() ? contents : name; }
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(Contents file) : file_(std::move(file)) {}
  std::size_t Read(char* buf, std::size_t n) override {
    DWORD got = 0;
    const DWORD want = n > kCopyChunk ? kCopyChunk : static_cast<DWORD>(n);
    ThrowIf(relative::Read(file_.reader(), buf, want, got), file_.name.path());
    return got;
  }

 private:
  Contents file_;
};

// The attributes a replacement carries over from the file it replaces.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SetAttributes(const Handle& file, DWORD attributes, const std::wstring& path_for_errors) {
  if (attributes & kCarriedAttributes) ThrowIf(relative::SetAttributes(file, attributes & kCarriedAttributes), path_for_errors);
}

class Win32Lock : public HeldLock {
 public:
  explicit Win32Lock(Handle file) : file_(std::move(file)) {}

 private:
  Handle file_;
};

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

bool IsNotThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

std::wstring FinalPathOrThrow(const Handle& file, const std::wstring& path) {
  relative::FinalPathOf final_path = relative::FinalPath(file);
  if (final_path.path.empty()) throw common::MakeError(final_path.error ? final_path.error : ERROR_INVALID_NAME, path);
  return std::move(final_path.path);
}

// A reparse point is judged by its tag: links and kinds this program does not know are refused,
// files whose contents a filter or cloud provider keeps are files. True for the latter.
bool ContentsElsewhere(const Handle& file, std::uint32_t attributes, const std::wstring& path) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  std::uint32_t tag = 0;
  ThrowIf(relative::QueryReparseTag(file, tag), path);
  switch (rights::Judge(attributes, tag)) {
    case rights::Reparse::kPlain: return false;
    case rights::Reparse::kContents: return true;
    case rights::Reparse::kLink: ThrowLink(path);
    case rights::Reparse::kUnknown: break;
  }
  throw common::MakeError(common::kErrorCantAccessFile, path, common::Cause::kUnknownReparse);
}

// A folder the process cannot find on a drive letter that is not there for it: a network
// drive or subst made without elevation is not seen by a program run as administrator.
[[noreturn]] void ThrowFolderNotFound(const std::wstring& folder) {
  common::SetupError error = common::MakeError(common::kErrorPathNotFound, folder);
  if (folder.size() >= 3 && folder[1] == L':' && folder[2] == L'\\') {
    const std::wstring root = folder.substr(0, 3);
    if (GetDriveTypeW(root.c_str()) == DRIVE_NO_ROOT_DIR) {
      error.cause = common::Cause::kDriveNotSeen;
      error.drive = folder.substr(0, 2);
    }
  }
  throw error;
}

}  // namespace

struct Win32Files::Pinned {
  Handle folder;
  std::wstring final_path;
};

namespace {

// A name found in its pinned folder, open, and checked to be that folder's own file.
struct Found {
  Handle file;
  relative::Facts facts;
  bool contents_elsewhere = false;  // a reparse point that is a file: see ContentsElsewhere
};

// Refuses the open file unless it is what its name in the folder claims: not a link by its
// reparse tag, not somewhere else by its final path (under Wine a unix symlink is followed
// whatever the open asked), and, unless extra_names, not one of several hard links to a file.
Found CheckIsItself(Handle file, const Win32Files::Pinned& folder, const std::wstring& name, bool extra_names) {
  Found found{std::move(file), {}};
  const std::wstring& path = found.file.path();
  ThrowIf(relative::QueryFacts(found.file, found.facts), path);
  found.contents_elsewhere = ContentsElsewhere(found.file, found.facts.attributes, path);
  if (!extra_names && found.facts.links > 1) ThrowLink(path);
  if (!SamePath(FinalPathOrThrow(found.file, path), Join(folder.final_path, name))) ThrowLink(path);
  return found;
}

}  // namespace

class Win32Files::Pin : public HeldLock {
 public:
  Pin(Win32Files& files, std::wstring key, Pinned pinned)
      : files_(files), key_(std::move(key)), pinned_(std::move(pinned)) {
    files_.pinned_[key_] = &pinned_;
  }
  ~Pin() override { files_.pinned_.erase(key_); }

 private:
  Win32Files& files_;
  std::wstring key_;
  Pinned pinned_;
};

std::pair<const Win32Files::Pinned*, std::wstring> Win32Files::Resolve(const std::wstring& path) const {
  const std::size_t slash = path.find_last_of(L'\\');
  const auto it = slash == std::wstring::npos ? pinned_.end() : pinned_.find(path.substr(0, slash + 1));
  // Every file the installation touches lies in a folder it pinned first.
  if (it == pinned_.end()) throw common::MakeError(common::kErrorInvalidParameter, path);
  return {it->second, path.substr(slash + 1)};
}

namespace {

std::optional<Found> OpenIn(const Win32Files::Pinned& folder, const std::wstring& name, const std::wstring& path,
                            const OpenKind& kind, ULONG share, ULONG options, bool extra_names) {
  relative::Opened opened = relative::Open(folder.folder, name, path, kind.access, share, FILE_OPEN, options);
  if (IsNotThere(opened.error)) return std::nullopt;
  ThrowIf(opened.error, path);
  return CheckIsItself(std::move(opened.file), folder, name, extra_names);
}

Found OpenExistingIn(const Win32Files::Pinned& folder, const std::wstring& name, const std::wstring& path,
                     const OpenKind& kind, ULONG share, ULONG options, bool extra_names) {
  std::optional<Found> found = OpenIn(folder, name, path, kind, share, options, extra_names);
  if (!found) throw common::MakeError(ERROR_FILE_NOT_FOUND, path);
  return std::move(*found);
}

// Opens a file to read its contents. A file whose contents a filter or cloud provider supplies
// is read through a second open of the same name that lets the filter act; the first, which
// shares no delete, keeps the name from being swapped meanwhile, and both must be one file.
Contents OpenContents(const Win32Files::Pinned& folder, const std::wstring& name, const std::wstring& path,
                      ULONG share, relative::Facts* facts = nullptr) {
  constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY;
  Found found = OpenExistingIn(folder, name, path, opens::kRead, share, kOptions, false);
  if (facts) *facts = found.facts;
  Contents contents{std::move(found.file), {}};
  if (!found.contents_elsewhere) return contents;
  relative::Opened second =
      relative::Open(folder.folder, name, path, opens::kRead.access, share, FILE_OPEN, kOptions, 0, true);
  ThrowIf(second.error, path);
  std::uint64_t first_id = 0, second_id = 0;
  ThrowIf(relative::QueryFileId(contents.name, first_id), path);
  ThrowIf(relative::QueryFileId(second.file, second_id), path);
  if (first_id != second_id) ThrowLink(path);
  contents.contents = std::move(second.file);
  return contents;
}

}  // namespace

std::wstring ExecutableDir() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) ThrowLastError(L"");
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      const std::size_t slash = path.find_last_of(L'\\');
      if (slash == std::wstring::npos) return path;
      // Keep the "\" of a drive root ("M:\setup.exe" is in "M:\").
      return path.substr(0, slash == 2 && path[1] == L':' ? slash + 1 : slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

// A file being created: deleted again unless Keep() is called, so a failure leaves nothing.
class Win32Files::NewFile {
 public:
  NewFile(const Pinned& folder, const std::wstring& name, const std::wstring& path) {
    // Creating never follows a link: a name that is taken, link or not, fails here.
    relative::Opened opened = relative::Open(folder.folder, name, path, opens::kCreate.access, 0, FILE_CREATE,
                                             FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    ThrowIf(opened.error, path);
    handle_ = std::move(opened.file);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (!kept_ && handle_.valid()) {
      try {
        relative::MarkForDeletion(handle_);
      } catch (...) {  // a destructor gives up quietly; the next run removes spare names
      }
    }
  }
  const Handle& get() const { return handle_; }
  // Flushes and closes the finished file.
  void Keep() {
    ThrowIf(relative::Flush(handle_), handle_.path());
    handle_.reset();
    kept_ = true;
  }

 private:
  Handle handle_;
  bool kept_ = false;
};

Win32Files::Win32Files() = default;
Win32Files::~Win32Files() = default;

std::unique_ptr<HeldLock> Win32Files::PinFolder(const std::wstring& folder, bool must_be_itself) {
  // Reading the listing makes the share mode count: without delete sharing nobody can rename or
  // replace the folder while it is held.
  Handle handle = relative::OpenPath(folder, opens::kFolder.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           FILE_FLAG_BACKUP_SEMANTICS | (must_be_itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    if (IsNotThere(error)) ThrowFolderNotFound(folder);
    throw common::MakeError(error, folder);
  }
  relative::Facts facts;
  ThrowIf(relative::QueryFacts(handle, facts), folder);
  if (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) throw common::MakeError(common::kErrorPathNotFound, folder);
  Pinned pinned{std::move(handle), {}};
  pinned.final_path = FinalPathOrThrow(pinned.folder, folder);
  if (must_be_itself) {
    // A OneDrive folder is a reparse point too, and no link.
    ContentsElsewhere(pinned.folder, facts.attributes, folder);
    // Its parent may be reached through a link; the folder itself must lie in that parent.
    std::wstring path = folder;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) throw common::MakeError(common::kErrorPathNotFound, folder);
    const Handle parent =
        relative::OpenPath(path.substr(0, slash + 1), opens::kParent.access, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    if (!parent.valid()) ThrowLastError(folder);
    if (!SamePath(pinned.final_path, Join(FinalPathOrThrow(parent, folder), path.substr(slash + 1)))) {
      ThrowLink(folder);
    }
  }
  return std::make_unique<Pin>(*this, folder, std::move(pinned));
}

FileStatus Win32Files::Status(const std::wstring& path) {
  const auto [folder, name] = Resolve(path);
  const std::optional<Found> found = OpenIn(*folder, name, path, opens::kLook, kShareAll, 0, true);
  if (!found) return {};
  const relative::Facts& facts = found->facts;
  FileStatus status;
  status.exists = true;
  status.directory = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.names = facts.links;
  status.size = facts.size;
  status.write_time = facts.write_time;
  status.attributes = facts.attributes;
  return status;
}

bool Win32Files::IsSameFile(const std::wstring& a, const std::wstring& b) {
  // By where the pinned folders lead, not by file index, which some volumes report as 0 for
  // every file; a file's second name is refused wherever it is met.
  const auto [first_folder, first_name] = Resolve(a);
  const auto [second_folder, second_name] = Resolve(b);
  return SamePath(Join(first_folder->final_path, first_name), Join(second_folder->final_path, second_name));
}

void Win32Files::ProbeReplaceable(const std::wstring& path) {
  const auto [folder, name] = Resolve(path);
  OpenExistingIn(*folder, name, path, opens::kProbe, kShareAll, 0, true);
}

DiskSpace Win32Files::FreeSpace(const std::wstring& folder) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) ThrowLastError(folder);
  DiskSpace space;
  space.available = available.QuadPart;
  std::vector<wchar_t> root(folder.size() + 2);
  DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, clusters = 0;
  if (GetVolumePathNameW(folder.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    space.volume = root.data();
    if (GetDiskFreeSpaceW(root.data(), &sectors_per_cluster, &bytes_per_sector, &free_clusters, &clusters)) {
      space.cluster_size = static_cast<std::uint64_t>(sectors_per_cluster) * bytes_per_sector;
    }
  } else {
    space.volume = folder;
  }
  if (space.cluster_size == 0) space.cluster_size = 4096;
  return space;
}

bool Win32Files::HardLinksWork(const std::wstring& existing, const std::wstring& probe) {
  const auto [folder, name] = Resolve(existing);
  const Found found = OpenExistingIn(*folder, name, existing, opens::kLink, kShareAll, 0, true);
  if (relative::LinkAs(found.file, folder->folder, Resolve(probe).second) != 0) return false;
  try {
    Delete(probe);
  } catch (const common::SetupError&) {
    // left over, it goes with the next run's spare names
  }
  return true;
}

std::unique_ptr<HeldLock> Win32Files::Lock(const std::wstring& path) {
  const auto [folder, name] = Resolve(path);
  for (int attempt = 1;; ++attempt) {
    // Delete-on-close: the file goes with the last handle, which Windows closes also for a
    // killed process. Only ever created new, so a planted link is never opened with it.
    relative::Opened opened = relative::Open(folder->folder, name, path, opens::kLock.access, 0, FILE_CREATE,
                                             FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, FILE_ATTRIBUTE_HIDDEN);
    if (!opened.error) return std::make_unique<Win32Lock>(std::move(opened.file));
    const bool taken = opened.error == ERROR_FILE_EXISTS || opened.error == ERROR_ALREADY_EXISTS;
    if (!taken || attempt == 3) throw common::MakeError(opened.error, path);
    // Left by a power cut: removed. Held by another setup.exe, this fails with a sharing
    // violation; planted as a link, it is refused.
    Delete(path);
  }
}

std::unique_ptr<ByteSource> Win32Files::OpenForReading(const std::wstring& path) {
  const auto [folder, name] = Resolve(path);
  return std::make_unique<FileSource>(OpenContents(*folder, name, path, FILE_SHARE_READ | FILE_SHARE_WRITE));
}

void Win32Files::CopyIntoNew(const std::wstring& source, const std::wstring& target,
                             const std::uint32_t* attributes) {
  const auto [source_folder, source_name] = Resolve(source);
  relative::Facts facts;
  const Contents input = OpenContents(*source_folder, source_name, source, FILE_SHARE_READ, &facts);
  const auto [target_folder, target_name] = Resolve(target);
  auto output = std::make_unique<NewFile>(*target_folder, target_name, target);
  std::vector<char> chunk(kCopyChunk);
  for (;;) {
    DWORD got = 0;
    ThrowIf(relative::Read(input.reader(), chunk.data(), kCopyChunk, got), source);
    if (got == 0) break;
    WriteAll(output->get(), chunk.data(), got, target);
  }
  ThrowIf(relative::SetWriteTime(output->get(), facts.write_time), target);
  SetAttributes(output->get(), attributes ? *attributes : facts.attributes, target);
  unflushed_[target] = std::move(output);
}

void Win32Files::CopyToNew(const std::wstring& source, const std::wstring& target, std::uint32_t attributes) {
  // Not the source's: files from a CD are read-only, and the copy must stay replaceable.
  CopyIntoNew(source, target, &attributes);
}

void Win32Files::WriteToNew(const std::wstring& target, const std::string& bytes,
                            std::uint32_t attributes) {
  const auto [folder, name] = Resolve(target);
  auto output = std::make_unique<NewFile>(*folder, name, target);
  WriteAll(output->get(), bytes.data(), bytes.size(), target);
  SetAttributes(output->get(), attributes, target);
  unflushed_[target] = std::move(output);
}

void Win32Files::FlushNewFiles() {
  for (auto& [path, file] : unflushed_) file->Keep();
  unflushed_.clear();
}

void Win32Files::KeepAside(const std::wstring& existing, const std::wstring& kept) {
  const auto [folder, name] = Resolve(existing);
  {
    const Found found = OpenExistingIn(*folder, name, existing, opens::kLink, kShareAll, 0, false);
    if (relative::LinkAs(found.file, folder->folder, Resolve(kept).second) == 0) return;
  }
  // FAT and exFAT volumes and some network shares have no hard links: keep a copy instead.
  CopyIntoNew(existing, kept, nullptr);
}

void Win32Files::MoveReplacing(const std::wstring& from, const std::wstring& to) {
  const auto [folder, name] = Resolve(from);
  const auto [to_folder, to_name] = Resolve(to);
  if (to_folder != folder) throw common::MakeError(common::kErrorInvalidParameter, to);
  // Write-through: the rename is on disk when this returns. What was at `to` is replaced as a
  // name, whatever it is, never followed.
  const Found found = OpenExistingIn(*folder, name, from, opens::kMove, kShareAll, FILE_WRITE_THROUGH, true);
  ThrowIf(relative::RenameTo(found.file, folder->folder, to_name), to);
}

void Win32Files::Delete(const std::wstring& path) {
  unflushed_.erase(path);  // our own open handle would refuse the delete
  const auto [folder, name] = Resolve(path);
  // The name goes, never what it might point to: a link is refused before anything is marked.
  const std::optional<Found> found = OpenIn(*folder, name, path, opens::kRemove, kShareAll, 0, true);
  if (!found) return;
  ThrowIf(relative::MarkForDeletion(found->file), path);
}

void Win32Files::Pause(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace install
