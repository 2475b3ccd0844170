#include "install/folder_relative.h"

#include <winternl.h>

#include <vector>

namespace install::relative {
namespace {

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION share this layout.
template <typename Info>
DWORD SetName(HANDLE file, HANDLE folder, const std::wstring& name, bool replace, FILE_INFORMATION_CLASS kind) {
  const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(Info) + name_bytes);
  auto* info = reinterpret_cast<Info*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = folder;
  info->FileNameLength = name_bytes;
  name.copy(info->FileName, name.size());
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtSetInformationFile(file, &io, info, static_cast<ULONG>(buffer.size()), kind);
  return NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status);
}

}  // namespace

Opened Open(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
            ULONG options, ULONG attributes) {
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name.c_str());
  unicode_name.Length = unicode_name.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicode_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS status = NtCreateFile(&file, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                                       disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                                       nullptr, 0);
  Opened opened;
  if (NT_SUCCESS(status)) {
    opened.file = common::ScopedHandle(file);
  } else {
    opened.error = RtlNtStatusToDosError(status);
  }
  return opened;
}

DWORD RenameTo(HANDLE file, HANDLE folder, const std::wstring& name) {
  return SetName<FILE_RENAME_INFORMATION>(file, folder, name, true, FileRenameInformation);
}

DWORD LinkAs(HANDLE file, HANDLE folder, const std::wstring& name) {
  return SetName<FILE_LINK_INFORMATION>(file, folder, name, false, FileLinkInformation);
}

DWORD MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFORMATION info{};
  info.DoDeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtSetInformationFile(file, &io, &info, sizeof info, FileDispositionInformation);
  return NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status);
}

std::wstring FinalPath(HANDLE file) {
  // The object's own name, as GetFinalPathNameByHandleW gets it, without that call's look-up of
  // a drive letter: one round trip instead of several, and the same for a folder and its files.
  std::vector<unsigned char> buffer(sizeof(OBJECT_NAME_INFORMATION) + 1024 * sizeof(wchar_t));
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = NtQueryObject(file, ObjectNameInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
    if (NT_SUCCESS(status)) {
      const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
      return std::wstring(info->Name.Buffer, info->Name.Length / sizeof(wchar_t));
    }
    if (needed <= buffer.size()) return {};
    buffer.resize(needed);
  }
}

}  // namespace install::relative
