#include "install/win32_files.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "common/scoped_handle.h"
#include "common/setup_error.h"
#include "install/folder_relative.h"

namespace install {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowLastError(const std::wstring& path) {
  throw common::MakeError(GetLastError(), path);
}

[[noreturn]] void ThrowLink(const std::wstring& path) {
  throw common::MakeError(common::kErrorCantAccessFile, path, common::Cause::kLinkElsewhere);
}

using common::ScopedHandle;

void WriteAll(HANDLE file, const char* data, std::size_t size, const std::wstring& path_for_errors) {
  while (size > 0) {
    const DWORD chunk = size > kCopyChunk ? kCopyChunk : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) ThrowLastError(path_for_errors);
    if (written == 0) throw common::MakeError(common::kErrorDiskFull, path_for_errors);
    data += written;
    size -= written;
  }
}

void FlushOrThrow(HANDLE file, const std::wstring& path_for_errors) {
  if (!FlushFileBuffers(file)) ThrowLastError(path_for_errors);
}

class FileSource : public ByteSource {
 public:
  FileSource(ScopedHandle file, std::wstring path) : file_(std::move(file)), path_(std::move(path)) {}
  std::size_t Read(char* buf, std::size_t n) override {
    DWORD got = 0;
    const DWORD want = n > kCopyChunk ? kCopyChunk : static_cast<DWORD>(n);
    if (!ReadFile(file_.get(), buf, want, &got, nullptr)) ThrowLastError(path_);
    return got;
  }

 private:
  ScopedHandle file_;
  std::wstring path_;
};

// The attributes a replacement carries over from the file it replaces.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SetAttributes(HANDLE file, DWORD attributes, const std::wstring& path_for_errors) {
  FILE_BASIC_INFO info{};  // times left at 0 stay as they are
  info.FileAttributes = attributes & kCarriedAttributes;
  if (info.FileAttributes && !SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info)) {
    ThrowLastError(path_for_errors);
  }
}

class Win32Lock : public HeldLock {
 public:
  explicit Win32Lock(ScopedHandle file) : file_(std::move(file)) {}

 private:
  ScopedHandle file_;
};

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

// What GetFileInformationByHandle gives but the volume's serial number, which under Wine costs
// a round trip to its mount manager for every file; a file's own facts are a call each.
bool ReadFileFacts(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  auto to_filetime = [](LARGE_INTEGER time) {
    return FILETIME{static_cast<DWORD>(time.QuadPart), static_cast<DWORD>(time.QuadPart >> 32)};
  };
  info = {};
  info.dwFileAttributes = basic.FileAttributes;
  info.ftCreationTime = to_filetime(basic.CreationTime);
  info.ftLastAccessTime = to_filetime(basic.LastAccessTime);
  info.ftLastWriteTime = to_filetime(basic.LastWriteTime);
  info.nFileSizeHigh = static_cast<DWORD>(standard.EndOfFile.QuadPart >> 32);
  info.nFileSizeLow = static_cast<DWORD>(standard.EndOfFile.QuadPart);
  info.nNumberOfLinks = standard.NumberOfLinks;
  return true;
}

bool IsNotThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

struct Win32Files::Pinned {
  ScopedHandle folder;
  std::wstring final_path;
};

namespace {

// A name found in its pinned folder, open, and checked to be that folder's own file.
struct Found {
  ScopedHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
};

// Refuses the open file unless it is what its name in the folder claims: not a reparse point,
// not somewhere else by its final path (under Wine a unix symlink is followed whatever the open
// asked), and, unless extra_names, not one of several hard links to a file.
Found CheckIsItself(ScopedHandle file, const Win32Files::Pinned& folder, const std::wstring& name,
                    const std::wstring& path, bool extra_names) {
  Found found{std::move(file), {}};
  if (!ReadFileFacts(found.file.get(), found.info)) ThrowLastError(path);
  if (found.info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ThrowLink(path);
  if (!extra_names && found.info.nNumberOfLinks > 1) ThrowLink(path);
  const std::wstring final_path = relative::FinalPath(found.file.get());
  if (final_path.empty()) ThrowLastError(path);
  if (!SamePath(final_path, Join(folder.final_path, name))) ThrowLink(path);
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
                            ACCESS_MASK access, ULONG share, ULONG options, bool extra_names) {
  relative::Opened opened = relative::Open(folder.folder.get(), name, access, share, FILE_OPEN, options);
  if (IsNotThere(opened.error)) return std::nullopt;
  if (opened.error) throw common::MakeError(opened.error, path);
  return CheckIsItself(std::move(opened.file), folder, name, path, extra_names);
}

Found OpenExistingIn(const Win32Files::Pinned& folder, const std::wstring& name, const std::wstring& path,
                     ACCESS_MASK access, ULONG share, ULONG options, bool extra_names) {
  std::optional<Found> found = OpenIn(folder, name, path, access, share, options, extra_names);
  if (!found) throw common::MakeError(ERROR_FILE_NOT_FOUND, path);
  return std::move(*found);
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
  NewFile(const Pinned& folder, const std::wstring& name, std::wstring path) : path_(std::move(path)) {
    // Creating never follows a link: a name that is taken, link or not, fails here.
    relative::Opened opened = relative::Open(folder.folder.get(), name, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                             FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    if (opened.error) throw common::MakeError(opened.error, path_);
    handle_ = std::move(opened.file);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (!kept_) relative::MarkForDeletion(handle_.get());
  }
  HANDLE get() const { return handle_.get(); }
  // Flushes and closes the finished file.
  void Keep() {
    FlushOrThrow(handle_.get(), path_);
    handle_.reset();
    kept_ = true;
  }

 private:
  std::wstring path_;
  ScopedHandle handle_;
  bool kept_ = false;
};

Win32Files::Win32Files() = default;
Win32Files::~Win32Files() = default;

std::unique_ptr<HeldLock> Win32Files::PinFolder(const std::wstring& folder, bool must_be_itself) {
  // Reading the listing makes the share mode count: without delete sharing nobody can rename or
  // replace the folder while it is held.
  ScopedHandle handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | (must_be_itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                                  nullptr));
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    throw common::MakeError(IsNotThere(error) ? common::kErrorPathNotFound : error, folder);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!ReadFileFacts(handle.get(), info)) ThrowLastError(folder);
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) throw common::MakeError(common::kErrorPathNotFound, folder);
  Pinned pinned{std::move(handle), {}};
  pinned.final_path = relative::FinalPath(pinned.folder.get());
  if (pinned.final_path.empty()) ThrowLastError(folder);
  if (must_be_itself) {
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ThrowLink(folder);
    // Its parent may be reached through a link; the folder itself must lie in that parent.
    std::wstring path = folder;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) throw common::MakeError(common::kErrorPathNotFound, folder);
    ScopedHandle parent(CreateFileW(path.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent.valid()) ThrowLastError(folder);
    const std::wstring parent_final = relative::FinalPath(parent.get());
    if (parent_final.empty()) ThrowLastError(folder);
    if (!SamePath(pinned.final_path, Join(parent_final, path.substr(slash + 1)))) ThrowLink(folder);
  }
  return std::make_unique<Pin>(*this, folder, std::move(pinned));
}

FileStatus Win32Files::Status(const std::wstring& path) {
  const auto [folder, name] = Resolve(path);
  const std::optional<Found> found = OpenIn(*folder, name, path, FILE_READ_ATTRIBUTES, kShareAll, 0, true);
  if (!found) return {};
  const BY_HANDLE_FILE_INFORMATION& data = found->info;
  FileStatus status;
  status.exists = true;
  status.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.names = data.nNumberOfLinks;
  status.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  status.write_time = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
  status.attributes = data.dwFileAttributes;
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
  // Fails while another program holds the file open without letting others write or delete it.
  const auto [folder, name] = Resolve(path);
  OpenExistingIn(*folder, name, path, GENERIC_WRITE | DELETE, kShareAll, 0, true);
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
  const Found found = OpenExistingIn(*folder, name, existing, FILE_WRITE_ATTRIBUTES, kShareAll, 0, true);
  if (relative::LinkAs(found.file.get(), folder->folder.get(), Resolve(probe).second) != 0) return false;
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
    relative::Opened opened = relative::Open(folder->folder.get(), name, GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                             FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE,
                                             FILE_ATTRIBUTE_HIDDEN);
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
  Found found = OpenExistingIn(*folder, name, path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, false);
  return std::make_unique<FileSource>(std::move(found.file), path);
}

void Win32Files::CopyIntoNew(const std::wstring& source, const std::wstring& target,
                             const std::uint32_t* attributes) {
  const auto [source_folder, source_name] = Resolve(source);
  const Found input = OpenExistingIn(*source_folder, source_name, source, GENERIC_READ, FILE_SHARE_READ,
                                     FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, false);
  const auto [target_folder, target_name] = Resolve(target);
  auto output = std::make_unique<NewFile>(*target_folder, target_name, target);
  std::vector<char> chunk(kCopyChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input.file.get(), chunk.data(), kCopyChunk, &got, nullptr)) ThrowLastError(source);
    if (got == 0) break;
    WriteAll(output->get(), chunk.data(), got, target);
  }
  SetFileTime(output->get(), nullptr, nullptr, &input.info.ftLastWriteTime);
  SetAttributes(output->get(), attributes ? *attributes : input.info.dwFileAttributes, target);
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
    const Found found = OpenExistingIn(*folder, name, existing, FILE_WRITE_ATTRIBUTES, kShareAll, 0, false);
    if (relative::LinkAs(found.file.get(), folder->folder.get(), Resolve(kept).second) == 0) return;
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
  const Found found = OpenExistingIn(*folder, name, from, DELETE, kShareAll, FILE_WRITE_THROUGH, true);
  if (const DWORD error = relative::RenameTo(found.file.get(), folder->folder.get(), to_name)) {
    throw common::MakeError(error, to);
  }
}

void Win32Files::Delete(const std::wstring& path) {
  unflushed_.erase(path);  // our own open handle would refuse the delete
  const auto [folder, name] = Resolve(path);
  // The name goes, never what it might point to: a link is refused before anything is marked.
  const std::optional<Found> found = OpenIn(*folder, name, path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, 0, true);
  if (!found) return;
  if (const DWORD error = relative::MarkForDeletion(found->file.get())) throw common::MakeError(error, path);
}

void Win32Files::Pause(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace install
