#include "install/win32_files.h"

#include <windows.h>

#include <vector>

#include "app/setup_error.h"

namespace install {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowLastError(const std::wstring& path) {
  throw app::MakeError(GetLastError(), path);
}

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { Close(); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

ScopedHandle OpenExisting(const std::wstring& path, DWORD access, DWORD share, DWORD flags = 0) {
  return ScopedHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
}

// A new file beside its target that becomes the target in one rename, or is deleted.
class TempFileBeside {
 public:
  explicit TempFileBeside(const std::wstring& target) : target_(target) {
    std::vector<wchar_t> name(MAX_PATH + 1);
    if (!GetTempFileNameW(FolderOf(target).c_str(), L"stp", 0, name.data())) ThrowLastError(target);
    path_ = name.data();
  }
  TempFileBeside(const TempFileBeside&) = delete;
  TempFileBeside& operator=(const TempFileBeside&) = delete;
  ~TempFileBeside() {
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  const std::wstring& path() const { return path_; }

  void MoveOverTarget() {
    if (!MoveFileExW(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ThrowLastError(target_);
    }
    path_.clear();
  }

 private:
  std::wstring target_;
  std::wstring path_;
};

void WriteAll(HANDLE file, const char* data, std::size_t size, const std::wstring& path_for_errors) {
  while (size > 0) {
    const DWORD chunk = size > kCopyChunk ? kCopyChunk : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) ThrowLastError(path_for_errors);
    if (written == 0) throw app::MakeError(app::kErrorDiskFull, path_for_errors);
    data += written;
    size -= written;
  }
}

void FlushOrThrow(HANDLE file, const std::wstring& path_for_errors) {
  if (!FlushFileBuffers(file)) ThrowLastError(path_for_errors);
}

// Refuses, before anything is written, a destination that could not be replaced.
void CheckReplaceable(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    throw app::MakeError(error, path);
  }
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
    throw app::MakeError(app::kErrorAccessDenied, path);
  }
  // Fails while another program holds the file open without letting others write or delete it.
  ScopedHandle probe = OpenExisting(path, GENERIC_WRITE | DELETE, kShareAll);
  if (!probe.valid()) ThrowLastError(path);
}

bool IsSameFile(HANDLE open_file, const std::wstring& other_path) {
  ScopedHandle other = OpenExisting(other_path, FILE_READ_ATTRIBUTES, kShareAll);
  if (!other.valid()) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  if (!GetFileInformationByHandle(open_file, &a) || !GetFileInformationByHandle(other.get(), &b)) {
    return false;
  }
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
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

bool Win32Files::IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Win32Files::IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void Win32Files::CopyReplacing(const std::wstring& source, const std::wstring& destination) {
  ScopedHandle input = OpenExisting(source, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!input.valid()) ThrowLastError(source);
  // Run from inside the data folder: the file is already where it belongs.
  if (IsSameFile(input.get(), destination)) return;
  CheckReplaceable(destination);

  FILETIME written_at{};
  GetFileTime(input.get(), nullptr, nullptr, &written_at);

  TempFileBeside temp(destination);
  {
    // Plain attributes: files from a CD are read-only, and the copy must stay replaceable.
    ScopedHandle output(CreateFileW(temp.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) ThrowLastError(destination);
    std::vector<char> chunk(kCopyChunk);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(input.get(), chunk.data(), kCopyChunk, &got, nullptr)) ThrowLastError(source);
      if (got == 0) break;
      WriteAll(output.get(), chunk.data(), got, destination);
    }
    SetFileTime(output.get(), nullptr, nullptr, &written_at);
    FlushOrThrow(output.get(), destination);
  }
  input.Close();
  temp.MoveOverTarget();
}

std::unique_ptr<ByteSource> Win32Files::OpenForReading(const std::wstring& path) {
  ScopedHandle file = OpenExisting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file.valid()) ThrowLastError(path);
  return std::make_unique<FileSource>(file.Release(), path);
}

void Win32Files::ReplaceContents(const std::wstring& path, const std::string& bytes) {
  CheckReplaceable(path);
  const DWORD old_attributes = GetFileAttributesW(path.c_str());
  TempFileBeside temp(path);
  {
    ScopedHandle output(CreateFileW(temp.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) ThrowLastError(path);
    WriteAll(output.get(), bytes.data(), bytes.size(), path);
    FlushOrThrow(output.get(), path);
  }
  if (old_attributes != INVALID_FILE_ATTRIBUTES) {
    constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD carried = old_attributes & kCarried;
    SetFileAttributesW(temp.path().c_str(), carried ? carried : FILE_ATTRIBUTE_NORMAL);
  }
  temp.MoveOverTarget();
}

}  // namespace install
