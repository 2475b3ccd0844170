// The file system through Win32: every operation on one plain name inside a folder held open,
// through the NT calls that take the folder's handle. No path is parsed again, so nothing that
// replaces a folder on the way (a junction, a mount point) can send them elsewhere.
//
// Every handle knows the rights it was granted, and every call on it is first held against the
// right Windows requires for that call (install/file_rights.h): Wine lets some of them through
// without it, Windows does not. Every failure throws common::SetupError naming the file as a
// report names it.
#include "install/win32_files.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

#include "common/scoped_handle.h"
#include "common/setup_error.h"

// In ntdll since Windows NT; MinGW's winternl.h leaves it out.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                               PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS kind, BOOLEAN single, PUNICODE_STRING pattern,
                                               BOOLEAN restart);

namespace install {
namespace {

using rights::Call;

static_assert(opens::kShareRead == FILE_SHARE_READ && opens::kShareWrite == FILE_SHARE_WRITE &&
              opens::kShareDelete == FILE_SHARE_DELETE);
static_assert(opens::kExisting == FILE_OPEN && opens::kNew == FILE_CREATE);
static_assert(opens::kFolderOnly == FILE_DIRECTORY_FILE && opens::kWriteThrough == FILE_WRITE_THROUGH &&
              opens::kSequential == FILE_SEQUENTIAL_ONLY && opens::kFileOnly == FILE_NON_DIRECTORY_FILE &&
              opens::kDeleteOnClose == FILE_DELETE_ON_CLOSE);

constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011L);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
// A name that keeps growing between the question of its size and the reading of it is given up.
constexpr int kNameQueries = 4;

// A name whose deletion waits for another program's handle is that program's doing, not a
// permission: Windows' own mapping would make it access denied.
DWORD FromStatus(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  return status == kStatusDeletePending ? ERROR_DELETE_PENDING : RtlNtStatusToDosError(status);
}

bool IsNotThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

// An open file or folder: the rights it was granted, and the name a failure on it reports.
class Handle {
 public:
  Handle() = default;
  // desired: the access asked for, which is what Windows grants when the open succeeds.
  Handle(HANDLE handle, ACCESS_MASK desired, std::wstring path)
      : handle_(handle), granted_(rights::Granted(desired)), path_(std::move(path)) {}
  HANDLE get() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  std::uint32_t granted() const { return granted_; }
  const std::wstring& path() const { return path_; }
  void Rename(std::wstring path) { path_ = std::move(path); }

  // Refused unless the handle was opened with the rights the call needs (access denied,
  // Cause::kMissingRight, naming the call).
  void Require(Call call) const {
    if (rights::Allows(granted_, call)) return;
    common::SetupError error = common::MakeError(common::kErrorAccessDenied, path_, common::Cause::kMissingRight);
    error.operation = rights::NameOf(call);
    throw error;
  }
  void Check(DWORD error) const {
    if (error) throw common::MakeError(error, path_);
  }
  void CheckStatus(NTSTATUS status) const { Check(FromStatus(status)); }
  void CheckOk(BOOL ok) const {
    if (!ok) Check(GetLastError());
  }

  template <typename Info>
  NTSTATUS Query(Call call, Info& info, FILE_INFORMATION_CLASS kind) const {
    Require(call);
    IO_STATUS_BLOCK io{};
    return NtQueryInformationFile(get(), &io, &info, sizeof info, kind);
  }
  template <typename Info>
  NTSTATUS QueryVolume(Call call, Info& info, FS_INFORMATION_CLASS kind) const {
    Require(call);
    IO_STATUS_BLOCK io{};
    return NtQueryVolumeInformationFile(get(), &io, &info, sizeof info, kind);
  }
  template <typename Info>
  NTSTATUS Set(Info& info, ULONG size, FILE_INFORMATION_CLASS kind) const {
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(get(), &io, &info, size, kind);
  }

 private:
  common::ScopedHandle handle_;
  std::uint32_t granted_ = 0;
  std::wstring path_;
};

struct Opened {
  Handle file;
  DWORD error = 0;  // a Win32 error number; 0 when file is open
};

// NtCreateFile of name in folder as kind, with synchronous I/O. path: the file as a report names it.
Opened OpenIn(const Handle& folder, const std::wstring& name, const std::wstring& path, const OpenKind& kind) {
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name.c_str());
  unicode_name.Length = unicode_name.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicode_name, OBJ_CASE_INSENSITIVE, folder.get(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const ACCESS_MASK desired = kind.access | SYNCHRONIZE;
  const ULONG options = kind.options | (kind.follow ? 0 : FILE_OPEN_REPARSE_POINT) | FILE_SYNCHRONOUS_IO_NONALERT;
  const NTSTATUS status = NtCreateFile(&file, desired, &object, &io, nullptr, kind.attributes, kind.share,
                                       kind.disposition, options, nullptr, 0);
  if (!NT_SUCCESS(status)) return {Handle(), FromStatus(status)};
  return {Handle(file, desired, path), 0};
}

// A folder by its whole path, as it is pinned; invalid on failure, with the error in GetLastError.
Handle OpenPath(const std::wstring& path, const OpenKind& kind, const std::wstring& reported) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (kind.follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle = CreateFileW(path.c_str(), kind.access, kind.share, nullptr, OPEN_EXISTING, flags, nullptr);
  return handle == INVALID_HANDLE_VALUE ? Handle() : Handle(handle, kind.access, reported);
}

FileStatus StatusOf(const Handle& file) {
  FILE_BASIC_INFORMATION basic{};
  FILE_STANDARD_INFORMATION standard{};
  file.CheckStatus(file.Query(Call::kQueryBasic, basic, FileBasicInformation));
  file.CheckStatus(file.Query(Call::kQueryStandard, standard, FileStandardInformation));
  FileStatus status;
  status.exists = true;
  status.attributes = basic.FileAttributes;
  status.directory = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.write_time = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
  status.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  status.names = standard.NumberOfLinks;
  return status;
}

std::uint64_t FileIdOf(const Handle& file) {
  FILE_INTERNAL_INFORMATION info{};
  file.CheckStatus(file.Query(Call::kQueryInternal, info, FileInternalInformation));
  return static_cast<std::uint64_t>(info.IndexNumber.QuadPart);
}

// A file's identity on the system: its volume and its id there. FileInternalInformation alone is
// unique only on NTFS and says nothing of the volume. Nothing where the file system gives none.
struct Identity {
  std::uint64_t volume = 0;
  std::uint8_t id[16] = {};
  bool operator==(const Identity& other) const {
    return volume == other.volume && std::equal(std::begin(id), std::end(id), std::begin(other.id));
  }
};

std::optional<Identity> IdentityOf(const Handle& file) {
  struct {
    ULONGLONG VolumeSerialNumber;
    BYTE Identifier[16];
  } info{};  // FILE_ID_INFORMATION
  constexpr auto kFileIdInformation = static_cast<FILE_INFORMATION_CLASS>(59);
  if (!NT_SUCCESS(file.Query(Call::kQueryIdentity, info, kFileIdInformation))) return std::nullopt;
  Identity identity;
  identity.volume = info.VolumeSerialNumber;
  std::copy(std::begin(info.Identifier), std::end(info.Identifier), std::begin(identity.id));
  return identity;
}

// GetFinalPathNameByHandleW's path as flags ask for it; nothing where the system gives none.
std::optional<std::wstring> FinalPathByHandle(const Handle& file, Call call, DWORD flags) {
  file.Require(call);
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int query = 0; query < kNameQueries; ++query) {
    // The length without its NUL when it fits; the room needed, NUL included, when it does not.
    const DWORD length = GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), flags);
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);
  }
  return std::nullopt;
}

// The path in its NT form with every name in its long form (no 8.3 spelling), links and all.
std::optional<std::wstring> NormalizedPath(const Handle& file) {
  return FinalPathByHandle(file, Call::kQueryNormalized, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
}

// The path as the system resolved it, links and all, with its drive letter (or \\server\share):
// for naming and comparing, never for opening it again.
std::optional<std::wstring> DosPath(const Handle& file) {
  std::optional<std::wstring> path = FinalPathByHandle(file, Call::kQueryDosPath, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (!path) return path;
  if (path->rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path->substr(8);
  if (path->rfind(L"\\\\?\\", 0) == 0) return path->substr(4);
  return path;
}

// The full path as the system resolved it (its NT name, on which GetFinalPathNameByHandleW
// builds), links and all, without that call's look-up of a drive letter: one round trip instead
// of several, and the same for a folder and its files.
std::wstring FinalPath(const Handle& file) {
  file.Require(Call::kQueryName);
  std::vector<unsigned char> buffer(sizeof(OBJECT_NAME_INFORMATION) + 1024 * sizeof(wchar_t));
  for (int query = 0; query < kNameQueries; ++query) {
    ULONG needed = 0;
    const NTSTATUS status = NtQueryObject(file.get(), ObjectNameInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
    const bool too_small = status == static_cast<NTSTATUS>(0xC0000004L) /* STATUS_INFO_LENGTH_MISMATCH */ ||
                           status == kStatusBufferOverflow ||
                           status == static_cast<NTSTATUS>(0xC0000023L) /* STATUS_BUFFER_TOO_SMALL */;
    if (too_small && needed > buffer.size()) {
      buffer.resize(needed);
      continue;
    }
    file.CheckStatus(status);
    // Only what lies wholly inside the buffer is read: a name the system could not map (a folder
    // moved from under its handle, under Wine) must not send the read anywhere else.
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
    const auto at = reinterpret_cast<std::uintptr_t>(info->Name.Buffer);
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data()) + sizeof(OBJECT_NAME_INFORMATION);
    const auto end = reinterpret_cast<std::uintptr_t>(buffer.data()) + buffer.size();
    const bool inside = at >= begin && at <= end && info->Name.Length <= end - at;
    if (!inside || info->Name.Length == 0 || info->Name.Length % sizeof(wchar_t) != 0) break;
    return std::wstring(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
  }
  file.Check(ERROR_INTERNAL_ERROR);
  return {};
}

// A reparse point is judged by its tag: links and kinds this program does not know are refused
// (as `name`, or the folder's path where there is none), files whose contents a filter or cloud
// provider keeps are files. True for the latter.
bool ContentsElsewhere(const Handle& file, std::uint32_t attributes, const Name* name) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  FILE_ATTRIBUTE_TAG_INFORMATION info{};
  file.CheckStatus(file.Query(Call::kQueryAttributeTag, info, FileAttributeTagInformation));
  common::Cause cause = common::Cause::kUnknownReparse;
  switch (rights::Judge(attributes, info.ReparseTag)) {
    case rights::Reparse::kPlain: return false;
    case rights::Reparse::kContents: return true;
    case rights::Reparse::kLink: cause = common::Cause::kLinkElsewhere; break;
    case rights::Reparse::kUnknown: break;
  }
  if (name) throw name->Error(common::kErrorCantAccessFile, cause);
  throw common::MakeError(common::kErrorCantAccessFile, file.path(), cause);
}

[[noreturn]] void ThrowLink(const Name& name) {
  throw name.Error(common::kErrorCantAccessFile, common::Cause::kLinkElsewhere);
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

// Whether the open file, whose final path is file_final, is name in folder by where it leads. The
// names as opened come first; a path spelt otherwise on the way (an 8.3 name in an old uninstall
// entry) is compared again in long form before it is taken for somewhere else. folder_long: the
// folder's long form, once read; empty where it cannot be had.
bool LiesIn(const Handle& file, const std::wstring& file_final, const Handle& folder, const std::wstring& folder_final,
            const std::wstring& name, std::optional<std::wstring>& folder_long) {
  if (SamePath(file_final, Join(folder_final, name))) return true;
  const std::optional<std::wstring> file_long = NormalizedPath(file);
  if (!file_long) return false;
  if (!folder_long) folder_long = NormalizedPath(folder).value_or(std::wstring());
  return !folder_long->empty() && SamePath(*file_long, Join(*folder_long, name));
}

class Win32Folder;

// An open file; its contents, where they are elsewhere, through Win32Folder::OpenContents.
class Win32File : public File {
 public:
  // contents: the kind of that second open, where there is one.
  Win32File(const Win32Folder& folder, Name name, Handle file, FileStatus status, const OpenKind& kind,
            const OpenKind* contents)
      : folder_(folder), name_(std::move(name)), file_(std::move(file)), status_(status), kind_(kind),
        contents_kind_(contents) {}
  const FileStatus& status() const override { return status_; }
  std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) override {
    const Handle& file = Contents();
    file.Require(Call::kRead);
    // NtReadFile with no completion context: ReadFile passes its OVERLAPPED as one, and Wine then
    // asks its server, once for every read, whether a completion port wants it.
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    const NTSTATUS status = NtReadFile(file.get(), nullptr, nullptr, nullptr, &io, buf,
                                       static_cast<ULONG>(n > kCopyChunk ? kCopyChunk : n), &at, nullptr);
    if (status == kStatusEndOfFile) return 0;
    file.CheckStatus(status);
    return io.Information;
  }
  void Write(const char* data, std::size_t size) override {
    file_.Require(Call::kWrite);
    while (size > 0) {
      DWORD written = 0;
      file_.CheckOk(WriteFile(file_.get(), data, static_cast<DWORD>(size > kCopyChunk ? kCopyChunk : size), &written,
                              nullptr));
      if (written == 0) file_.Check(ERROR_DISK_FULL);
      data += written;
      size -= written;
    }
  }
  void Flush() override {
    file_.Require(Call::kFlush);
    file_.CheckOk(FlushFileBuffers(file_.get()));
  }
  // The last access too: some exFAT drivers drop a time set that leaves the other one as it is.
  void SetTime(std::uint64_t write_time) override {
    file_.Require(Call::kSetTimes);
    const FILETIME time{static_cast<DWORD>(write_time), static_cast<DWORD>(write_time >> 32)};
    file_.CheckOk(SetFileTime(file_.get(), nullptr, &time, &time));
  }
  void SetAttributes(std::uint32_t attributes) override {
    file_.Require(Call::kSetBasic);
    FILE_BASIC_INFO info{};  // times left at 0 stay as they are
    info.FileAttributes = attributes;
    file_.CheckOk(SetFileInformationByHandle(file_.get(), FileBasicInfo, &info, sizeof info));
  }
  // The DACL, as a self-relative security descriptor, where it has entries of its own (not
  // inherited) or is protected from inheritance.
  std::string Permissions() override {
    file_.Require(Call::kQueryDacl);
    // One query where the descriptor fits, as nearly every file's does; GetSecurityInfo always
    // asks twice, which under Wine is a round trip each.
    std::vector<unsigned char> buffer(1024);
    DWORD needed = 0;
    while (!GetKernelObjectSecurity(file_.get(), DACL_SECURITY_INFORMATION, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &needed)) {
      const DWORD error = GetLastError();
      if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) file_.Check(error ? error : ERROR_INTERNAL_ERROR);
      buffer.resize(needed);
    }
    const PSECURITY_DESCRIPTOR sd = buffer.data();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present) dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool own = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
    for (DWORD i = 0; dacl && !own && i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      own = GetAce(dacl, i, &ace) && !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
    }
    std::string descriptor;
    if (own) descriptor.assign(static_cast<const char*>(sd), GetSecurityDescriptorLength(sd));
    return descriptor;
  }
  void SetPermissions(const std::string& permissions) override {
    file_.Require(Call::kSetDacl);
    std::string copy = permissions;  // the call takes it writable
    const PSECURITY_DESCRIPTOR sd = copy.data();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    file_.CheckOk(GetSecurityDescriptorControl(sd, &control, &revision));
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
    // The old file's whole DACL, its inherited entries from the same folder included, set as it
    // is (NtSetSecurityObject). SetSecurityInfo would work out the inherited entries again from
    // the parent it finds by the file's name, which is a name query of its own: under Wine one
    // that faults once the folder was moved from under its handle.
    file_.CheckOk(SetKernelObjectSecurity(file_.get(), what, sd));
  }
  std::uint64_t Id() override { return FileIdOf(file_); }
  void RenameTo(const Name& to, bool replace) override;
  void Delete() override;
  const Handle& handle() const { return file_; }
  const Handle& Contents();

 private:
  const Win32Folder& folder_;
  Name name_;
  Handle file_;
  FileStatus status_;
  const OpenKind& kind_;
  const OpenKind* contents_kind_;
  Handle contents_;
};

class Win32Folder : public Directory {
 public:
  Win32Folder(std::wstring path, Handle handle, std::wstring final_path)
      : path_(std::move(path)), handle_(std::move(handle)), final_path_(std::move(final_path)),
        identity_(IdentityOf(handle_)) {
    handle_.Rename(path_);
  }

  const std::wstring& path() const override { return path_; }
  const Handle& handle() const { return handle_; }

  // Opens name as kind, and refuses it unless it is what its name in the folder claims: not a
  // link by its reparse tag, not somewhere else by its final path (under Wine a unix symlink is
  // followed whatever the open asked).
  std::unique_ptr<File> Open(const Name& name, const OpenKind& kind) override {
    Opened opened = OpenIn(handle_, name.name(), name.reported(), kind);
    if (!kind.Creates() && IsNotThere(opened.error)) return nullptr;
    if (opened.error) throw name.Error(opened.error);
    if (kind.Creates()) {
      FileStatus status;
      status.exists = true;
      return std::make_unique<Win32File>(*this, name, std::move(opened.file), status, kind, nullptr);
    }
    const Handle& file = opened.file;
    FileStatus status = StatusOf(file);
    const bool elsewhere = ContentsElsewhere(file, status.attributes, &name);
    status.id = FileIdOf(file);
    if (!LiesIn(file, FinalPath(file), handle_, final_path_, name.name(), normalized_)) ThrowLink(name);
    // A file to read, which nobody may write meanwhile, also not through the contents' open.
    const bool nobody_writes = !(kind.share & opens::kShareWrite);
    const OpenKind* contents = !elsewhere ? nullptr : nobody_writes ? &opens::kContents : &opens::kSharedContents;
    auto result = std::make_unique<Win32File>(*this, name, std::move(opened.file), status, kind, contents);
    if (nobody_writes && !status.directory) result->Contents();
    return result;
  }

  // In one pass: under Wine every open of a name that is not there reads the whole folder again,
  // looking for the name in another case. Through an open of its own, the held folder opened again
  // by an empty name in it, as ReOpenFile does: Wine lists a handle's folder as it first read it.
  std::vector<std::wstring> List() override {
    Opened opened = OpenIn(handle_, L"", path_, opens::kListing);
    handle_.Check(opened.error);
    const Handle& folder = opened.file;
    folder.Require(Call::kList);
    std::vector<std::wstring> names;
    std::vector<unsigned char> buffer(kCopyChunk);
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
      IO_STATUS_BLOCK io{};
      const NTSTATUS status = NtQueryDirectoryFile(folder.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), FileNamesInformation, FALSE,
                                                   nullptr, restart);
      if (status == kStatusNoMoreFiles) return names;
      folder.CheckStatus(status);
      // Only what lies wholly inside what was filled in is read.
      const std::size_t filled = io.Information < buffer.size() ? io.Information : buffer.size();
      constexpr std::size_t kHeader = offsetof(FILE_NAMES_INFORMATION, FileName);
      for (std::size_t at = 0; at + kHeader <= filled;) {
        const auto* entry = reinterpret_cast<const FILE_NAMES_INFORMATION*>(buffer.data() + at);
        if (entry->FileNameLength > filled - at - kHeader) break;
        names.emplace_back(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
      }
    }
  }

  // A folder whose file system keeps no entries of its own to flush refuses the call: FAT's
  // driver and others as invalid (STATUS_INVALID_DEVICE_REQUEST) or unsupported, a network
  // redirector as an invalid parameter, older Samba servers as access denied. The renames it
  // follows have succeeded all the same; nothing is gained by undoing them.
  void FlushEntries() override {
    handle_.Require(Call::kFlush);
    if (FlushFileBuffers(handle_.get())) return;
    const DWORD error = GetLastError();
    switch (error) {
      case ERROR_INVALID_FUNCTION:
      case ERROR_NOT_SUPPORTED:
      case ERROR_INVALID_PARAMETER:
      case ERROR_ACCESS_DENIED:
        return;
      default:
        handle_.Check(error);
    }
  }

  // From the folder held, so that a game moved to another disk through a junction is told about
  // the disk it is on, not the one the junction is on.
  VolumeFacts Volume() override {
    VolumeFacts facts;
    struct {
      ULONG FileSystemAttributes;
      LONG MaximumComponentNameLength;
      ULONG FileSystemNameLength;
      WCHAR FileSystemName[32];
    } attributes{};  // FILE_FS_ATTRIBUTE_INFORMATION
    constexpr auto kFileFsAttributeInformation = static_cast<FS_INFORMATION_CLASS>(5);
    constexpr ULONG kSupportsHardLinks = 0x00400000;  // FILE_SUPPORTS_HARD_LINKS
    const NTSTATUS status = handle_.QueryVolume(Call::kQueryVolumeFlags, attributes, kFileFsAttributeInformation);
    // A long file system name overflows the buffer after the flags, which are all that is read.
    if (status != kStatusBufferOverflow) handle_.CheckStatus(status);
    facts.hard_links = (attributes.FileSystemAttributes & kSupportsHardLinks) != 0;
    struct {
      LARGE_INTEGER TotalAllocationUnits, CallerAvailableAllocationUnits, ActualAvailableAllocationUnits;
      ULONG SectorsPerAllocationUnit, BytesPerSector;
    } size{};  // FILE_FS_FULL_SIZE_INFORMATION
    constexpr auto kFileFsFullSizeInformation = static_cast<FS_INFORMATION_CLASS>(7);
    handle_.CheckStatus(handle_.QueryVolume(Call::kQueryVolumeSize, size, kFileFsFullSizeInformation));
    const std::uint64_t cluster = static_cast<std::uint64_t>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    facts.cluster_size = cluster ? cluster : 4096;
    facts.available = static_cast<std::uint64_t>(size.CallerAvailableAllocationUnits.QuadPart) * cluster;
    if (const std::optional<std::wstring> resolved = DosPath(handle_)) {
      std::vector<wchar_t> root(resolved->size() + 2);
      if (GetVolumePathNameW(resolved->c_str(), root.data(), static_cast<DWORD>(root.size()))) facts.root = root.data();
    }
    if (facts.root.empty()) facts.root = path_;
    return facts;
  }

  std::unique_ptr<Directory> OpenFolder(const Name& name, bool to_write) override {
    Opened opened = OpenIn(handle_, name.name(), name.reported(), to_write ? opens::kDataFolder : opens::kFolderOnTheWay);
    // A file of that name is no folder the game could have written in.
    if (IsNotThere(opened.error) || opened.error == ERROR_DIRECTORY) return nullptr;
    if (opened.error) throw name.Error(opened.error);
    const FileStatus status = StatusOf(opened.file);
    ContentsElsewhere(opened.file, status.attributes, &name);  // a link is refused
    if (!status.directory) return nullptr;
    std::wstring final_path = FinalPath(opened.file);
    if (!LiesIn(opened.file, final_path, handle_, final_path_, name.name(), normalized_)) ThrowLink(name);
    return std::make_unique<Win32Folder>(Join(name.path(), L""), std::move(opened.file), std::move(final_path));
  }

  // A volume the system gives no DOS path is known by the path the folder was opened by.
  std::wstring WhereItLies() override { return Join(DosPath(handle_).value_or(path_), L""); }

  bool IsSameFolder(const Directory& other) const override {
    // By identity, whatever the spelling of the paths they were opened by (an 8.3 name in an
    // old uninstall entry); by where they lead only where the file system gives no identity.
    // Every folder of this process is one of these.
    const auto& win32 = static_cast<const Win32Folder&>(other);
    if (identity_ && win32.identity_) return *identity_ == *win32.identity_;
    return SamePath(Join(final_path_, L""), Join(win32.final_path_, L""));
  }

  // The contents of a file that a filter or cloud provider supplies, through a second open of
  // the same name that lets the filter act; the first, which shares no delete, keeps the name
  // from being swapped meanwhile, and both must be one file.
  Handle OpenContents(const Handle& first, const Name& name, const OpenKind& kind) const {
    Opened second = OpenIn(handle_, name.name(), name.reported(), kind);
    if (second.error) throw name.Error(second.error);
    if (!SameFile(first, second.file)) ThrowLink(name);
    return std::move(second.file);
  }

 private:
  // One file, by its identity on the system; where the file system gives none, by its id.
  static bool SameFile(const Handle& first, const Handle& second) {
    const std::optional<Identity> a = IdentityOf(first), b = IdentityOf(second);
    if (a && b) return *a == *b;
    return FileIdOf(first) == FileIdOf(second);
  }

  std::wstring path_;
  Handle handle_;
  std::wstring final_path_;
  std::optional<Identity> identity_;
  mutable std::optional<std::wstring> normalized_;  // the folder's long form: see LiesIn
};

const Handle& Win32File::Contents() {
  if (!contents_kind_) return file_;
  if (!contents_.valid()) contents_ = folder_.OpenContents(file_, name_, *contents_kind_);
  return contents_;
}

void Win32File::RenameTo(const Name& to, bool replace) {
  // Each rename on disk before the next, as FILE_WRITE_THROUGH at the open has it. Wine has no
  // such mode to set (its renames reach the disk as the host's rename does, whatever an open
  // asked): nothing is lost by going on.
  if (!(kind_.options & FILE_WRITE_THROUGH)) {
    file_.Require(Call::kSetMode);
    struct {
      ULONG Mode;
    } mode{FILE_WRITE_THROUGH | FILE_SYNCHRONOUS_IO_NONALERT};  // the handle stays synchronous
    const NTSTATUS status = file_.Set(mode, sizeof mode, FileModeInformation);
    if (status != kStatusNotImplemented) file_.CheckStatus(status);
  }
  file_.Require(Call::kRename);
  const std::wstring& name = to.name();
  const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + name_bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = folder_.handle().get();
  info->FileNameLength = name_bytes;
  name.copy(info->FileName, name.size());
  if (const DWORD error = FromStatus(file_.Set(*info, static_cast<ULONG>(buffer.size()), FileRenameInformation))) {
    throw to.Error(error);
  }
  name_ = to;
  file_.Rename(to.reported());
}

// POSIX semantics (Windows 10 1709 and later): the name goes at once, also while another program,
// a scanner say, still holds the file, so that it can be made again straight away. Older systems,
// and volumes without it (FAT), refuse the class or the flag: then the name goes with the last
// handle.
void Win32File::Delete() {
  file_.Require(Call::kDisposeEx);
  struct {
    ULONG Flags;
  } ex{0x1 | 0x2};  // FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS
  constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
  const NTSTATUS status = file_.Set(ex, sizeof ex, kFileDispositionInformationEx);
  const bool refused = status == static_cast<NTSTATUS>(0xC0000003L) /* STATUS_INVALID_INFO_CLASS */ ||
                       status == static_cast<NTSTATUS>(0xC000000DL) /* STATUS_INVALID_PARAMETER */ ||
                       status == static_cast<NTSTATUS>(0xC00000BBL) /* STATUS_NOT_SUPPORTED */ ||
                       status == static_cast<NTSTATUS>(0xC0000010L) /* STATUS_INVALID_DEVICE_REQUEST */ ||
                       status == kStatusNotImplemented;
  if (!refused) {
    file_.CheckStatus(status);
    return;
  }
  file_.Require(Call::kDispose);
  FILE_DISPOSITION_INFORMATION info{};
  info.DoDeleteFile = TRUE;
  file_.CheckStatus(file_.Set(info, sizeof info, FileDispositionInformation));
}

}  // namespace

Rights RightsOf(File& file) {
  const Handle& handle = static_cast<Win32File&>(file).handle();
  FILE_ACCESS_INFORMATION info{};
  handle.CheckStatus(handle.Query(Call::kQueryAccess, info, FileAccessInformation));
  return {handle.granted(), info.AccessFlags};
}

std::unique_ptr<Directory> Win32Files::PinFolder(const std::wstring& folder, bool must_be_itself) {
  Handle handle = OpenPath(folder, must_be_itself ? opens::kDataFolder : opens::kFolder, folder);
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    if (IsNotThere(error)) ThrowFolderNotFound(folder);
    throw common::MakeError(error, folder);
  }
  const FileStatus status = StatusOf(handle);
  if (!status.directory) throw common::MakeError(common::kErrorPathNotFound, folder);
  std::wstring final_path = FinalPath(handle);
  if (must_be_itself) {
    // A OneDrive folder is a reparse point too, and no link.
    ContentsElsewhere(handle, status.attributes, nullptr);
    // Its parent may be reached through a link; the folder itself must lie in that parent.
    std::wstring path = folder;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) throw common::MakeError(common::kErrorPathNotFound, folder);
    const Handle parent = OpenPath(path.substr(0, slash + 1), opens::kParent, folder);
    if (!parent.valid()) throw common::MakeError(GetLastError(), folder);
    std::optional<std::wstring> parent_long;
    if (!LiesIn(handle, final_path, parent, FinalPath(parent), path.substr(slash + 1), parent_long)) {
      throw common::MakeError(common::kErrorCantAccessFile, folder, common::Cause::kLinkElsewhere);
    }
  }
  return std::make_unique<Win32Folder>(Join(folder, L""), std::move(handle), std::move(final_path));
}

void Win32Files::Pause(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace install
