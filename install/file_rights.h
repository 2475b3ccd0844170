// Windows' rules for a file handle, checked by the program itself: Wine lets through some calls
// that Windows refuses for want of an access right, so every call the file layer makes on a
// handle is first held against the right Microsoft documents for it. A call without it fails in
// every build as it would on Windows, naming the call.
//
// Also the verdict on a reparse point: a link, which is never followed, or a file whose contents
// a filter or a cloud provider keeps (compressed, deduplicated, OneDrive), which is a plain file.
#pragma once

#include <cstdint>

namespace install::rights {

// Access rights, as winnt.h defines them.
inline constexpr std::uint32_t kReadData = 0x0001;        // FILE_READ_DATA, FILE_LIST_DIRECTORY
inline constexpr std::uint32_t kWriteData = 0x0002;       // FILE_WRITE_DATA, FILE_ADD_FILE
inline constexpr std::uint32_t kAppendData = 0x0004;      // FILE_APPEND_DATA
inline constexpr std::uint32_t kReadEa = 0x0008;          // FILE_READ_EA
inline constexpr std::uint32_t kWriteEa = 0x0010;         // FILE_WRITE_EA
inline constexpr std::uint32_t kTraverse = 0x0020;        // FILE_TRAVERSE, FILE_EXECUTE
inline constexpr std::uint32_t kReadAttributes = 0x0080;  // FILE_READ_ATTRIBUTES
inline constexpr std::uint32_t kWriteAttributes = 0x0100; // FILE_WRITE_ATTRIBUTES
inline constexpr std::uint32_t kDelete = 0x00010000;      // DELETE
inline constexpr std::uint32_t kReadControl = 0x00020000; // READ_CONTROL
inline constexpr std::uint32_t kWriteDac = 0x00040000;    // WRITE_DAC
inline constexpr std::uint32_t kSynchronize = 0x00100000; // SYNCHRONIZE
inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kGenericExecute = 0x20000000;

// What a handle is granted for the access it asked: the generic rights mapped as the file
// object type maps them (FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE).
std::uint32_t Granted(std::uint32_t desired);

// The calls the file layer makes on a handle.
enum class Call {
  kQueryBasic,         // FileBasicInformation: attributes, times
  kQueryStandard,      // FileStandardInformation: size, links
  kQueryAttributeTag,  // FileAttributeTagInformation: the reparse tag
  kQueryInternal,      // FileInternalInformation: the file id
  kQueryAccess,        // FileAccessInformation: the granted rights
  kQueryName,          // the object's name (NtQueryObject)
  kQueryNormalized,    // GetFinalPathNameByHandleW: the path with every name in its long form
  kQueryDosPath,       // GetFinalPathNameByHandleW: the path with its drive letter
  kQueryIdentity,      // FileIdInformation: the volume's serial number and the 128-bit file id
  kQueryVolumeSize,    // FileFsFullSizeInformation: the volume's room and cluster size
  kQueryVolumeFlags,   // FileFsAttributeInformation: what the file system supports
  kSetBasic,           // FileBasicInformation set: attributes
  kSetTimes,           // SetFileTime
  kQueryDacl,          // GetSecurityInfo: the DACL
  kSetDacl,            // SetSecurityInfo: the DACL
  kRename,             // FileRenameInformation
  kDispose,            // FileDispositionInformation: delete on close
  kDisposeEx,          // FileDispositionInformationEx: delete, the name at once
  kSetMode,            // FileModeInformation set: write-through
  kList,               // NtQueryDirectoryFile: a folder's names
  kRead,               // NtReadFile
  kWrite,              // WriteFile
  kFlush,              // FlushFileBuffers
};

// The rights Microsoft documents for the call (ZwQueryInformationFile's and
// ZwSetInformationFile's class tables, NtReadFile, WriteFile, SetFileTime, FlushFileBuffers).
std::uint32_t Required(Call call);
// The call's name as a report gives it.
const wchar_t* NameOf(Call call);
inline bool Allows(std::uint32_t granted, Call call) { return (granted & Required(call)) == Required(call); }

// Reparse tags the program knows, as winnt.h defines them.
inline constexpr std::uint32_t kTagMountPoint = 0xA0000003;  // junction, mounted volume
inline constexpr std::uint32_t kTagSymlink = 0xA000000C;
inline constexpr std::uint32_t kTagAppExecLink = 0x8000001B;  // app execution alias
inline constexpr std::uint32_t kTagWof = 0x80000017;          // compact /exe, WIMBoot
inline constexpr std::uint32_t kTagDedup = 0x80000013;        // Data Deduplication
inline constexpr std::uint32_t kTagHsm = 0xC0000004;
inline constexpr std::uint32_t kTagHsm2 = 0x80000006;
inline constexpr std::uint32_t kTagSis = 0x80000007;          // single-instance storage
inline constexpr std::uint32_t kTagWim = 0x80000008;          // WIMBoot
inline constexpr std::uint32_t kTagNfs = 0x80000014;          // an NFS symbolic link, without the surrogate bit
inline constexpr std::uint32_t kTagPlaceholder = 0x80000015;  // OneDrive on Windows 8.1
inline constexpr std::uint32_t kTagStorageSync = 0x8000001E;  // Azure File Sync
inline constexpr std::uint32_t kTagCloud = 0x9000001A;        // and 0x9000101A ... 0x9000F01A
inline constexpr std::uint32_t kTagCloudMask = 0x0000F000;
inline constexpr std::uint32_t kTagNameSurrogate = 0x20000000;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

enum class Reparse {
  kPlain,    // not a reparse point
  kContents, // a file whose contents a filter or provider supplies: read through a normal open
  kLink,     // leads elsewhere: never used
  kUnknown,  // a tag this program does not know: not used
};
Reparse Judge(std::uint32_t attributes, std::uint32_t tag);

}  // namespace install::rights
