#include "install/folder_relative.h"

#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "common/setup_error.h"

// In ntdll since Windows NT; MinGW's winternl.h leaves it out.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);

namespace install::relative {
namespace {

using rights::Call;

constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011L);

// A name whose deletion waits for another program's handle is that program's doing, not a
// permission: Windows' own mapping would make it access denied.
DWORD FromStatus(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  return status == kStatusDeletePending ? ERROR_DELETE_PENDING : RtlNtStatusToDosError(status);
}

DWORD LastErrorUnless(BOOL ok) { return ok ? 0 : GetLastError(); }

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION share this layout.
template <typename Info>
DWORD SetName(const Handle& file, const Handle& folder, const std::wstring& name, bool replace,
              FILE_INFORMATION_CLASS kind) {
  const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(Info) + name_bytes);
  auto* info = reinterpret_cast<Info*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = folder.get();
  info->FileNameLength = name_bytes;
  name.copy(info->FileName, name.size());
  IO_STATUS_BLOCK io{};
  return FromStatus(NtSetInformationFile(file.get(), &io, info, static_cast<ULONG>(buffer.size()), kind));
}

template <typename Info>
DWORD Query(const Handle& file, Call call, Info& info, FILE_INFORMATION_CLASS kind) {
  file.Require(call);
  IO_STATUS_BLOCK io{};
  return FromStatus(NtQueryInformationFile(file.get(), &io, &info, sizeof info, kind));
}

}  // namespace

void Handle::Require(Call call) const {
  if (rights::Allows(granted_, call)) return;
  common::SetupError error = common::MakeError(common::kErrorAccessDenied, path_, common::Cause::kMissingRight);
  error.operation = rights::NameOf(call);
  throw error;
}

Opened Open(const Handle& folder, const std::wstring& name, const std::wstring& path, const OpenKind& kind) {
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name.c_str());
  unicode_name.Length = unicode_name.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicode_name, OBJ_CASE_INSENSITIVE, folder.get(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const ACCESS_MASK desired = kind.access | SYNCHRONIZE;
  const NTSTATUS status = NtCreateFile(&file, desired, &object, &io, nullptr, kind.attributes, kind.share,
                                       kind.disposition,
                                       kind.options | (kind.follow ? 0 : FILE_OPEN_REPARSE_POINT) |
                                           FILE_SYNCHRONOUS_IO_NONALERT,
                                       nullptr, 0);
  Opened opened;
  if (NT_SUCCESS(status)) {
    opened.file = Handle(file, desired, path);
  } else {
    opened.error = FromStatus(status);
  }
  return opened;
}

Handle OpenPath(const std::wstring& path, const OpenKind& kind) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (kind.follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE handle = CreateFileW(path.c_str(), kind.access, kind.share, nullptr, OPEN_EXISTING, flags, nullptr);
  return handle == INVALID_HANDLE_VALUE ? Handle() : Handle(handle, kind.access, path);
}

DWORD QueryFacts(const Handle& file, Facts& facts) {
  FILE_BASIC_INFORMATION basic{};
  FILE_STANDARD_INFORMATION standard{};
  if (const DWORD error = Query(file, Call::kQueryBasic, basic, FileBasicInformation)) return error;
  if (const DWORD error = Query(file, Call::kQueryStandard, standard, FileStandardInformation)) return error;
  facts.attributes = basic.FileAttributes;
  facts.write_time = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
  facts.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  facts.links = standard.NumberOfLinks;
  return 0;
}

DWORD QueryReparseTag(const Handle& file, std::uint32_t& tag) {
  FILE_ATTRIBUTE_TAG_INFORMATION info{};
  const DWORD error = Query(file, Call::kQueryAttributeTag, info, FileAttributeTagInformation);
  tag = info.ReparseTag;
  return error;
}

DWORD QueryFileId(const Handle& file, std::uint64_t& id) {
  FILE_INTERNAL_INFORMATION info{};
  const DWORD error = Query(file, Call::kQueryInternal, info, FileInternalInformation);
  id = static_cast<std::uint64_t>(info.IndexNumber.QuadPart);
  return error;
}

DWORD QueryGrantedAccess(const Handle& file, std::uint32_t& access) {
  FILE_ACCESS_INFORMATION info{};
  const DWORD error = Query(file, Call::kQueryAccess, info, FileAccessInformation);
  access = info.AccessFlags;
  return error;
}

DWORD SetAttributes(const Handle& file, std::uint32_t attributes) {
  file.Require(Call::kSetBasic);
  FILE_BASIC_INFO info{};  // times left at 0 stay as they are
  info.FileAttributes = attributes;
  return LastErrorUnless(SetFileInformationByHandle(file.get(), FileBasicInfo, &info, sizeof info));
}

DWORD QueryOwnDacl(const Handle& file, std::string& descriptor) {
  file.Require(Call::kQueryDacl);
  descriptor.clear();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (const DWORD error =
          GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd)) {
    return error;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool own = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
  for (DWORD i = 0; dacl && !own && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    own = GetAce(dacl, i, &ace) && !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
  }
  if (own) descriptor.assign(static_cast<const char*>(sd), GetSecurityDescriptorLength(sd));
  LocalFree(sd);
  return 0;
}

DWORD SetDacl(const Handle& file, const std::string& descriptor) {
  file.Require(Call::kSetDacl);
  std::string copy = descriptor;  // the call takes it writable
  const PSECURITY_DESCRIPTOR sd = copy.data();
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(sd, &control, &revision)) return GetLastError();
  const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  // The old file's whole DACL, its inherited entries from the same folder included, set as it is
  // (NtSetSecurityObject). SetSecurityInfo would work out the inherited entries again from the
  // parent it finds by the file's name, which is a name query of its own: under Wine one that
  // faults once the folder was moved from under its handle.
  return LastErrorUnless(SetKernelObjectSecurity(file.get(), what, sd));
}

DWORD SetWriteTime(const Handle& file, std::uint64_t write_time) {
  file.Require(Call::kSetTimes);
  const FILETIME time{static_cast<DWORD>(write_time), static_cast<DWORD>(write_time >> 32)};
  return LastErrorUnless(SetFileTime(file.get(), nullptr, &time, &time));
}

DWORD ReadAt(const Handle& file, std::uint64_t offset, void* buffer, DWORD size, DWORD& got) {
  file.Require(Call::kRead);
  got = 0;
  // NtReadFile with no completion context: ReadFile passes its OVERLAPPED as one, and Wine then
  // asks its server, once for every read, whether a completion port wants it.
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  const NTSTATUS status = NtReadFile(file.get(), nullptr, nullptr, nullptr, &io, buffer, size, &at, nullptr);
  if (status == kStatusEndOfFile) return 0;
  if (NT_SUCCESS(status)) got = static_cast<DWORD>(io.Information);
  return FromStatus(status);
}

DWORD Write(const Handle& file, const void* data, DWORD size, DWORD& written) {
  file.Require(Call::kWrite);
  written = 0;
  return LastErrorUnless(WriteFile(file.get(), data, size, &written, nullptr));
}

DWORD Flush(const Handle& file) {
  file.Require(Call::kFlush);
  return LastErrorUnless(FlushFileBuffers(file.get()));
}

DWORD FlushEntries(const Handle& folder) {
  folder.Require(Call::kFlush);
  const DWORD error = LastErrorUnless(FlushFileBuffers(folder.get()));
  // A file system that keeps no entries of its own to flush refuses the call: FAT's driver and
  // others as invalid (STATUS_INVALID_DEVICE_REQUEST) or unsupported, a network redirector as
  // an invalid parameter, older Samba servers as access denied. The renames it follows have
  // succeeded all the same; nothing is gained by undoing them.
  switch (error) {
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_ACCESS_DENIED:
      return 0;
    default:
      return error;
  }
}

DWORD SetWriteThrough(const Handle& file) {
  file.Require(Call::kSetMode);
  struct {
    ULONG Mode;
  } info{FILE_WRITE_THROUGH | FILE_SYNCHRONOUS_IO_NONALERT};  // the handle stays synchronous
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtSetInformationFile(file.get(), &io, &info, sizeof info, FileModeInformation);
  // Wine has no such mode to set (its renames reach the disk as the host's rename does,
  // whatever an open asked): nothing is lost by going on.
  if (status == static_cast<NTSTATUS>(0xC0000002L) /* STATUS_NOT_IMPLEMENTED */) return 0;
  return FromStatus(status);
}

DWORD RenameTo(const Handle& file, const Handle& folder, const std::wstring& name, bool replace) {
  file.Require(Call::kRename);
  return SetName<FILE_RENAME_INFORMATION>(file, folder, name, replace, FileRenameInformation);
}


DWORD MarkForDeletion(const Handle& file) {
  // POSIX semantics (Windows 10 1709 and later): the name goes at once, also while another
  // program, a scanner say, still holds the file, so that it can be made again straight away.
  file.Require(Call::kDisposeEx);
  struct {
    ULONG Flags;
  } ex{0x1 | 0x2};  // FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS
  constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
  IO_STATUS_BLOCK ex_io{};
  const NTSTATUS status = NtSetInformationFile(file.get(), &ex_io, &ex, sizeof ex, kFileDispositionInformationEx);
  // Older systems, and volumes without it (FAT), refuse the class or the flag: then the name
  // goes with the last handle.
  const bool refused = status == static_cast<NTSTATUS>(0xC0000003L) /* STATUS_INVALID_INFO_CLASS */ ||
                       status == static_cast<NTSTATUS>(0xC000000DL) /* STATUS_INVALID_PARAMETER */ ||
                       status == static_cast<NTSTATUS>(0xC00000BBL) /* STATUS_NOT_SUPPORTED */ ||
                       status == static_cast<NTSTATUS>(0xC0000010L) /* STATUS_INVALID_DEVICE_REQUEST */ ||
                       status == static_cast<NTSTATUS>(0xC0000002L) /* STATUS_NOT_IMPLEMENTED */;
  if (!refused) return FromStatus(status);
  file.Require(Call::kDispose);
  FILE_DISPOSITION_INFORMATION info{};
  info.DoDeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  return FromStatus(NtSetInformationFile(file.get(), &io, &info, sizeof info, FileDispositionInformation));
}

DWORD QueryVolume(const Handle& file, VolumeFacts& facts) {
  file.Require(Call::kQueryVolumeFlags);
  struct {
    ULONG FileSystemAttributes;
    LONG MaximumComponentNameLength;
    ULONG FileSystemNameLength;
    WCHAR FileSystemName[32];
  } attributes{};  // FILE_FS_ATTRIBUTE_INFORMATION
  constexpr auto kFileFsAttributeInformation = static_cast<FS_INFORMATION_CLASS>(5);
  constexpr ULONG kSupportsHardLinks = 0x00400000;  // FILE_SUPPORTS_HARD_LINKS
  IO_STATUS_BLOCK attributes_io{};
  NTSTATUS status = NtQueryVolumeInformationFile(file.get(), &attributes_io, &attributes, sizeof attributes,
                                                 kFileFsAttributeInformation);
  // A long file system name overflows the buffer after the flags, which are all that is read.
  if (!NT_SUCCESS(status) && status != static_cast<NTSTATUS>(0x80000005L) /* STATUS_BUFFER_OVERFLOW */) {
    return FromStatus(status);
  }
  facts.hard_links = (attributes.FileSystemAttributes & kSupportsHardLinks) != 0;
  file.Require(Call::kQueryVolumeSize);
  struct {
    LARGE_INTEGER TotalAllocationUnits, CallerAvailableAllocationUnits, ActualAvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit, BytesPerSector;
  } info{};  // FILE_FS_FULL_SIZE_INFORMATION
  constexpr auto kFileFsFullSizeInformation = static_cast<FS_INFORMATION_CLASS>(7);
  IO_STATUS_BLOCK io{};
  status = NtQueryVolumeInformationFile(file.get(), &io, &info, sizeof info, kFileFsFullSizeInformation);
  facts.cluster = static_cast<std::uint64_t>(info.SectorsPerAllocationUnit) * info.BytesPerSector;
  facts.available = static_cast<std::uint64_t>(info.CallerAvailableAllocationUnits.QuadPart) * facts.cluster;
  return FromStatus(status);
}

namespace {

// A name that keeps growing between the question of its size and the reading of it is given up.
constexpr int kNameQueries = 4;

DWORD FinalPathByHandle(const Handle& file, DWORD flags, std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int query = 0; query < kNameQueries; ++query) {
    // The length without its NUL when it fits; the room needed, NUL included, when it does not.
    const DWORD length = GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), flags);
    if (length == 0) return GetLastError();
    if (length < buffer.size()) {
      path.assign(buffer.data(), length);
      return 0;
    }
    buffer.resize(length + 1);
  }
  return ERROR_INTERNAL_ERROR;
}

}  // namespace

bool Identity::operator==(const Identity& other) const {
  return volume == other.volume && std::equal(std::begin(id), std::end(id), std::begin(other.id));
}

DWORD QueryIdentity(const Handle& file, Identity& identity) {
  struct {
    ULONGLONG VolumeSerialNumber;
    BYTE Identifier[16];
  } info{};  // FILE_ID_INFORMATION
  constexpr auto kFileIdInformation = static_cast<FILE_INFORMATION_CLASS>(59);
  const DWORD error = Query(file, Call::kQueryIdentity, info, kFileIdInformation);
  identity.volume = info.VolumeSerialNumber;
  std::copy(std::begin(info.Identifier), std::end(info.Identifier), std::begin(identity.id));
  return error;
}

DWORD NormalizedPath(const Handle& file, std::wstring& path) {
  file.Require(Call::kQueryNormalized);
  return FinalPathByHandle(file, FILE_NAME_NORMALIZED | VOLUME_NAME_NT, path);
}

DWORD DosPath(const Handle& file, std::wstring& path) {
  file.Require(Call::kQueryDosPath);
  if (const DWORD error = FinalPathByHandle(file, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, path)) return error;
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    path = path.substr(4);
  }
  return 0;
}

FinalPathOf FinalPath(const Handle& file) {
  file.Require(Call::kQueryName);
  // The object's own name, as GetFinalPathNameByHandleW gets it, without that call's look-up of
  // a drive letter: one round trip instead of several, and the same for a folder and its files.
  std::vector<unsigned char> buffer(sizeof(OBJECT_NAME_INFORMATION) + 1024 * sizeof(wchar_t));
  for (int query = 0; query < kNameQueries; ++query) {
    ULONG needed = 0;
    const NTSTATUS status = NtQueryObject(file.get(), ObjectNameInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
    const bool too_small = status == static_cast<NTSTATUS>(0xC0000004L) /* STATUS_INFO_LENGTH_MISMATCH */ ||
                           status == static_cast<NTSTATUS>(0x80000005L) /* STATUS_BUFFER_OVERFLOW */ ||
                           status == static_cast<NTSTATUS>(0xC0000023L) /* STATUS_BUFFER_TOO_SMALL */;
    if (too_small && needed > buffer.size()) {
      buffer.resize(needed);
      continue;
    }
    if (!NT_SUCCESS(status)) return {{}, FromStatus(status)};
    // Only what lies wholly inside the buffer is read: a name the system could not map (a folder
    // moved from under its handle, under Wine) must not send the read anywhere else.
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
    const auto at = reinterpret_cast<std::uintptr_t>(info->Name.Buffer);
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data()) + sizeof(OBJECT_NAME_INFORMATION);
    const auto end = reinterpret_cast<std::uintptr_t>(buffer.data()) + buffer.size();
    const bool inside = at >= begin && at <= end && info->Name.Length <= end - at;
    if (!inside || info->Name.Length == 0 || info->Name.Length % sizeof(wchar_t) != 0) return {{}, ERROR_INTERNAL_ERROR};
    return {std::wstring(info->Name.Buffer, info->Name.Length / sizeof(wchar_t)), 0};
  }
  return {{}, ERROR_INTERNAL_ERROR};
}

}  // namespace install::relative
