#include "install/win32_files.h"

#include <windows.h>

#include <vector>

#include "common/scoped_handle.h"
#include "common/setup_error.h"

namespace install {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowLastError(const std::wstring& path) {
  throw common::MakeError(GetLastError(), path);
}

using common::ScopedHandle;

ScopedHandle OpenExisting(const std::wstring& path, DWORD access, DWORD share, DWORD flags = 0) {
  return ScopedHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
}

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
  FileSource(HANDLE file, std::wstring path) : file_(file), path_(std::move(path)) {}
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
  explicit Win32Lock(HANDLE file) : file_(file) {}

 private:
  ScopedHandle file_;
};

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
  explicit NewFile(const std::wstring& path)
      : path_(path),
        handle_(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    if (!handle_.valid()) ThrowLastError(path);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (kept_) return;
    handle_.reset();
    DeleteFileW(path_.c_str());
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

FileStatus Win32Files::Status(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    throw common::MakeError(error, path);
  }
  FileStatus status;
  status.exists = true;
  status.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  status.attributes = data.dwFileAttributes;
  return status;
}

bool Win32Files::IsSameFile(const std::wstring& a, const std::wstring& b) {
  ScopedHandle first = OpenExisting(a, FILE_READ_ATTRIBUTES, kShareAll);
  ScopedHandle second = OpenExisting(b, FILE_READ_ATTRIBUTES, kShareAll);
  if (!first.valid() || !second.valid()) return false;
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  if (!GetFileInformationByHandle(first.get(), &x) || !GetFileInformationByHandle(second.get(), &y)) {
    return false;
  }
  return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

void Win32Files::ProbeReplaceable(const std::wstring& path) {
  // Fails while another program holds the file open without letting others write or delete it.
  ScopedHandle probe = OpenExisting(path, GENERIC_WRITE | DELETE, kShareAll);
  if (!probe.valid()) ThrowLastError(path);
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
  if (!CreateHardLinkW(probe.c_str(), existing.c_str(), nullptr)) return false;
  DeleteFileW(probe.c_str());  // left over, it goes with the next run's spare names
  return true;
}

std::unique_ptr<HeldLock> Win32Files::Lock(const std::wstring& path) {
  // Delete-on-close: the file goes with the last handle, which Windows closes also for a
  // killed process; one left by a power cut is simply opened again.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowLastError(path);
  return std::make_unique<Win32Lock>(file);
}

std::unique_ptr<ByteSource> Win32Files::OpenForReading(const std::wstring& path) {
  ScopedHandle file = OpenExisting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file.valid()) ThrowLastError(path);
  return std::make_unique<FileSource>(file.release(), path);
}

void Win32Files::CopyIntoNew(const std::wstring& source, const std::wstring& target, bool keep_attributes) {
  ScopedHandle input = OpenExisting(source, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!input.valid()) ThrowLastError(source);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(input.get(), &info)) ThrowLastError(source);

  auto output = std::make_unique<NewFile>(target);
  std::vector<char> chunk(kCopyChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input.get(), chunk.data(), kCopyChunk, &got, nullptr)) ThrowLastError(source);
    if (got == 0) break;
    WriteAll(output->get(), chunk.data(), got, target);
  }
  SetFileTime(output->get(), nullptr, nullptr, &info.ftLastWriteTime);
  if (keep_attributes) SetAttributes(output->get(), info.dwFileAttributes, target);
  unflushed_[target] = std::move(output);
}

void Win32Files::CopyToNew(const std::wstring& source, const std::wstring& target) {
  // Plain attributes: files from a CD are read-only, and the copy must stay replaceable.
  CopyIntoNew(source, target, false);
}

void Win32Files::WriteToNew(const std::wstring& target, const std::string& bytes,
                            std::uint32_t attributes) {
  auto output = std::make_unique<NewFile>(target);
  WriteAll(output->get(), bytes.data(), bytes.size(), target);
  SetAttributes(output->get(), attributes, target);
  unflushed_[target] = std::move(output);
}

void Win32Files::FlushNewFiles() {
  for (auto& [path, file] : unflushed_) file->Keep();
  unflushed_.clear();
}

void Win32Files::KeepAside(const std::wstring& existing, const std::wstring& kept) {
  if (CreateHardLinkW(kept.c_str(), existing.c_str(), nullptr)) return;
  // FAT and exFAT volumes and some network shares have no hard links: keep a copy instead.
  CopyIntoNew(existing, kept, true);
}

void Win32Files::MoveReplacing(const std::wstring& from, const std::wstring& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLastError(to);
  }
}

void Win32Files::Delete(const std::wstring& path) {
  unflushed_.erase(path);  // our own open handle would refuse the delete
  if (DeleteFileW(path.c_str())) return;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  throw common::MakeError(error, path);
}

void Win32Files::Pause(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace install
