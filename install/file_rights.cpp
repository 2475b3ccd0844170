#include "install/file_rights.h"

namespace install::rights {
namespace {

constexpr std::uint32_t kStandardRightsRead = kReadControl;
constexpr std::uint32_t kFileGenericRead = kStandardRightsRead | kReadData | kReadAttributes | kReadEa | kSynchronize;
constexpr std::uint32_t kFileGenericWrite =
    kStandardRightsRead | kWriteData | kWriteAttributes | kWriteEa | kAppendData | kSynchronize;
constexpr std::uint32_t kFileGenericExecute = kStandardRightsRead | kReadAttributes | kTraverse | kSynchronize;

struct Rule {
  Call call;
  std::uint32_t required;
  const wchar_t* name;
};

// From Microsoft's pages for each call; "no specific access" is 0.
constexpr Rule kRules[] = {
    {Call::kQueryBasic, kReadAttributes, L"NtQueryInformationFile(FileBasicInformation)"},
    {Call::kQueryStandard, 0, L"NtQueryInformationFile(FileStandardInformation)"},
    {Call::kQueryAttributeTag, kReadAttributes, L"NtQueryInformationFile(FileAttributeTagInformation)"},
    {Call::kQueryInternal, 0, L"NtQueryInformationFile(FileInternalInformation)"},
    {Call::kQueryAccess, 0, L"NtQueryInformationFile(FileAccessInformation)"},
    {Call::kQueryName, 0, L"NtQueryObject(ObjectNameInformation)"},
    {Call::kQueryNormalized, 0, L"GetFinalPathNameByHandleW(FILE_NAME_NORMALIZED)"},
    {Call::kQueryDosPath, 0, L"GetFinalPathNameByHandleW(VOLUME_NAME_DOS)"},
    {Call::kQueryIdentity, 0, L"NtQueryInformationFile(FileIdInformation)"},
    {Call::kQueryVolumeSize, 0, L"NtQueryVolumeInformationFile(FileFsFullSizeInformation)"},
    {Call::kQueryVolumeFlags, 0, L"NtQueryVolumeInformationFile(FileFsAttributeInformation)"},
    {Call::kSetBasic, kWriteAttributes, L"NtSetInformationFile(FileBasicInformation)"},
    {Call::kSetTimes, kWriteAttributes, L"SetFileTime"},
    {Call::kQueryDacl, kReadControl, L"GetSecurityInfo(DACL_SECURITY_INFORMATION)"},
    {Call::kSetDacl, kWriteDac, L"SetSecurityInfo(DACL_SECURITY_INFORMATION)"},
    {Call::kRename, kDelete, L"NtSetInformationFile(FileRenameInformation)"},
    {Call::kDispose, kDelete, L"NtSetInformationFile(FileDispositionInformation)"},
    {Call::kDisposeEx, kDelete, L"NtSetInformationFile(FileDispositionInformationEx)"},
    // Kept by the I/O manager for the handle, not by the file system: the class table lists none.
    {Call::kSetMode, 0, L"NtSetInformationFile(FileModeInformation)"},
    {Call::kList, kReadData, L"NtQueryDirectoryFile(FileNamesInformation)"},
    {Call::kRead, kReadData, L"NtReadFile"},
    {Call::kWrite, kWriteData, L"WriteFile"},
    {Call::kFlush, kWriteData, L"FlushFileBuffers"},
};

const Rule& RuleOf(Call call) {
  for (const Rule& rule : kRules) {
    if (rule.call == call) return rule;
  }
  return kRules[0];  // every Call has a row; the unit test checks it
}

}  // namespace

std::uint32_t Granted(std::uint32_t desired) {
  std::uint32_t granted = desired & ~(kGenericRead | kGenericWrite | kGenericExecute);
  if (desired & kGenericRead) granted |= kFileGenericRead;
  if (desired & kGenericWrite) granted |= kFileGenericWrite;
  if (desired & kGenericExecute) granted |= kFileGenericExecute;
  return granted;
}

std::uint32_t Required(Call call) { return RuleOf(call).required; }

const wchar_t* NameOf(Call call) { return RuleOf(call).name; }

Reparse Judge(std::uint32_t attributes, std::uint32_t tag) {
  if (!(attributes & kAttributeReparsePoint)) return Reparse::kPlain;
  // Symbolic links, junctions, WSL's links and whatever else stands for another name.
  if (tag & kTagNameSurrogate) return Reparse::kLink;
  if ((tag & ~kTagCloudMask) == kTagCloud) return Reparse::kContents;
  switch (tag) {
    case kTagWof:
    case kTagDedup:
    case kTagHsm:
    case kTagHsm2:
    case kTagSis:
    case kTagWim:
    case kTagPlaceholder:
    case kTagStorageSync:
      return Reparse::kContents;
    case kTagAppExecLink:  // an alias that starts another program: no file's contents
    case kTagNfs:
      return Reparse::kLink;
    default:
      return Reparse::kUnknown;
  }
}

}  // namespace install::rights
