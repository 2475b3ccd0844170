#include "install/file_rights.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

namespace r = install::rights;
using r::Call;
using r::Reparse;

// Windows refuses a call on a handle without the right its documentation names; the program
// refuses it first, so that Wine, which lets some through, tests what Windows will do.
TEST(FileRights, EachCallNeedsWhatWindowsDocuments) {
  const struct {
    const char* what;
    std::uint32_t desired;
    Call call;
    bool allowed;
  } cases[] = {
      // The handles that once asked a file for its facts without the right to read them.
      {"DELETE only, basic facts", r::kDelete, Call::kQueryBasic, false},
      {"GENERIC_WRITE|DELETE, basic facts", r::kGenericWrite | r::kDelete, Call::kQueryBasic, false},
      {"FILE_WRITE_ATTRIBUTES, basic facts", r::kWriteAttributes, Call::kQueryBasic, false},
      {"DELETE only, reparse tag", r::kDelete, Call::kQueryAttributeTag, false},
      {"GENERIC_READ, basic facts", r::kGenericRead, Call::kQueryBasic, true},
      {"DELETE only, standard facts", r::kDelete, Call::kQueryStandard, true},
      {"GENERIC_WRITE, set time", r::kGenericWrite, Call::kSetTimes, true},
      {"GENERIC_READ, flush", r::kGenericRead, Call::kFlush, false},
      // The pinned data folder flushes its entries; the source folder, maybe on a CD, must not.
      {"folder opened to list, flush", r::kReadData | r::kTraverse | r::kReadAttributes, Call::kFlush, false},
      {"folder with FILE_ADD_FILE, flush", r::kReadData | r::kWriteData, Call::kFlush, true},
      {"folder held for the run, its names", r::kReadData | r::kTraverse | r::kReadAttributes, Call::kList, true},
      {"folder opened for its facts, its names", r::kReadAttributes | r::kSynchronize, Call::kList, false},
      // A replacement's permissions: read through the destination, set on the staged file.
      {"GENERIC_READ, read the DACL", r::kGenericRead, Call::kQueryDacl, true},
      {"DELETE only, read the DACL", r::kDelete, Call::kQueryDacl, false},
      {"GENERIC_WRITE|DELETE, set the DACL", r::kGenericWrite | r::kDelete, Call::kSetDacl, false},
      {"GENERIC_WRITE|DELETE|WRITE_DAC, set the DACL", r::kGenericWrite | r::kDelete | r::kWriteDac, Call::kSetDacl,
       true},
      {"DELETE only, POSIX delete", r::kDelete, Call::kDisposeEx, true},
      {"no right, the volume's room", 0, Call::kQueryVolumeSize, true},
      {"no right, what the volume supports", 0, Call::kQueryVolumeFlags, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(r::Allows(r::Granted(c.desired), c.call), c.allowed) << c.what;
  }
  // As Wine reports FileAccessInformation for the same asks.
  EXPECT_EQ(r::Granted(r::kGenericWrite | r::kDelete | r::kSynchronize), 0x00130116u);
  EXPECT_EQ(r::Granted(r::kDelete | r::kSynchronize), 0x00110000u);
  EXPECT_EQ(std::wstring(r::NameOf(Call::kQueryBasic)), L"NtQueryInformationFile(FileBasicInformation)");
  EXPECT_EQ(std::wstring(r::NameOf(Call::kFlush)), L"FlushFileBuffers");
  std::set<std::wstring> names;  // every call has a rule of its own
  for (int call = 0; call <= static_cast<int>(Call::kFlush); ++call) names.insert(r::NameOf(static_cast<Call>(call)));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(Call::kFlush) + 1);
}

// A reparse point is a link only by its tag; files kept by a filter or a cloud provider are files.
TEST(FileRights, ReparsePointsAreJudgedByTheirTag) {
  const std::uint32_t reparse = r::kAttributeReparsePoint | 0x20;  // and archive
  const struct {
    const char* what;
    std::uint32_t attributes, tag;
    Reparse verdict;
  } cases[] = {
      {"plain file", 0x20, 0, Reparse::kPlain},
      {"symbolic link", reparse, r::kTagSymlink, Reparse::kLink},
      {"junction", reparse, r::kTagMountPoint, Reparse::kLink},
      {"app execution alias", reparse, r::kTagAppExecLink, Reparse::kLink},
      {"OneDrive file", reparse, r::kTagCloud, Reparse::kContents},
      {"OneDrive file, provider 6", reparse, 0x9000601A, Reparse::kContents},
      {"compact /exe", reparse, r::kTagWof, Reparse::kContents},
      {"deduplicated", reparse, r::kTagDedup, Reparse::kContents},
      {"WIMBoot", reparse, 0x80000008, Reparse::kContents},
      {"OneDrive on Windows 8.1", reparse, 0x80000015, Reparse::kContents},
      {"Azure File Sync", reparse, 0x8000001E, Reparse::kContents},
      {"NFS symbolic link, no surrogate bit", reparse, 0x80000014, Reparse::kLink},
      {"unknown Microsoft tag", reparse, 0x80000025, Reparse::kUnknown},
      {"someone else's tag", reparse, 0x00001234, Reparse::kUnknown},
      {"unknown name surrogate", reparse, 0x20001234, Reparse::kLink},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(r::Judge(c.attributes, c.tag), c.verdict) << c.what;
  }
}

}  // namespace
