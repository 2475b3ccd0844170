#include "install/addon_install.h"

#include <cstdint>
#include <vector>

#include "common/setup_error.h"
#include "install/addon_files.h"
#include "install/data_file30.h"
#include "install/file_transaction.h"
#include "install/retrying_files.h"

namespace install {
namespace {

using common::Cause;
using common::MakeError;

struct Copy {
  std::wstring source;
  std::wstring name;
  std::uint64_t size;
  FileStatus replaced;  // the destination as it is
};

// What the run will write, checked against everything that could stop it halfway.
struct Plan {
  std::vector<Copy> copies;
  std::string newDataFile30;
  FileStatus dataFile30;
};

std::vector<std::wstring> DestinationNames() {
  std::vector<std::wstring> names(kAddonFileList.begin(), kAddonFileList.end());
  names.push_back(kDataFile30);
  return names;
}

// A second name of the file may lie anywhere, in a folder its user cannot read.
void CheckOneName(const FileStatus& status, const std::wstring& path) {
  if (status.names > 1) throw MakeError(common::kErrorCantAccessFile, path, Cause::kLinkElsewhere);
}

// Refuses, before anything is written, a destination that could not be replaced.
void CheckReplaceable(RetryingFiles& files, const std::wstring& path, const FileStatus& status) {
  if (!status.exists) return;
  CheckOneName(status, path);
  if (status.directory) throw MakeError(common::kErrorAccessDenied, path, Cause::kFolderInTheWay);
  if (status.read_only) throw MakeError(common::kErrorAccessDenied, path, Cause::kReadOnly);
  files.ProbeReplaceable(path);
}

std::uint64_t OnDisk(std::uint64_t size, std::uint64_t cluster) {
  return (size + cluster - 1) / cluster * cluster;
}

// Both folders stay held as they are now until the run ends; everything in them is then reached
// by name from them, never through a link.
std::vector<std::unique_ptr<HeldLock>> PinFolders(RetryingFiles& files, const std::wstring& sourceDir,
                                                  const std::wstring& dataDir) {
  std::vector<std::unique_ptr<HeldLock>> pins;
  pins.push_back(files.PinFolder(dataDir, true));
  pins.push_back(files.PinFolder(sourceDir, false));
  return pins;
}

// Every name the program writes must fit where the destination does; a destination that does
// not fit itself is the system's to refuse.
void CheckNamesFit(const std::wstring& dataDir, const std::vector<std::wstring>& names) {
  auto too_long = [](std::size_t length) { return length > kLongestPath; };
  for (const std::wstring& name : names) {
    const std::wstring destination = dataDir + name;
    if (!too_long(destination.size()) && too_long(destination.size() + kLongestSpareSuffix)) {
      throw MakeError(common::kErrorFilenameTooLong, destination, Cause::kPathTooLong);
    }
  }
  if (!too_long(dataDir.size()) && too_long(dataDir.size() + kLongestOwnName)) {
    throw MakeError(common::kErrorFilenameTooLong, dataDir, Cause::kPathTooLong);
  }
}

Plan MakePlan(RetryingFiles& files, const std::wstring& sourceDir, const std::wstring& dataDir) {
  Plan plan;
  for (const wchar_t* name : kAddonFileList) {
    const std::wstring source = sourceDir + name;
    const FileStatus status = files.Status(source);
    if (!status.exists || status.directory) {
      throw MakeError(common::kErrorFileNotFound, source, Cause::kAddonFileMissing);
    }
    CheckOneName(status, source);
    // Run from inside the data folder, a file is already where it belongs.
    if (!files.IsSameFile(source, dataDir + name)) plan.copies.push_back(Copy{source, name, status.size, {}});
  }
  const std::wstring dataFile30 = dataDir + kDataFile30;
  plan.dataFile30 = files.Status(dataFile30);
  if (!plan.dataFile30.exists || plan.dataFile30.directory) throw MakeError(common::kErrorFileNotFound, dataFile30);
  for (Copy& copy : plan.copies) {
    copy.replaced = files.Status(dataDir + copy.name);
    CheckReplaceable(files, dataDir + copy.name, copy.replaced);
  }
  CheckReplaceable(files, dataFile30, plan.dataFile30);
  plan.newDataFile30 = UpdateDataFile30(files, dataFile30);
  return plan;
}

// The old files stay until every new one is in place, so all the new ones must fit beside them;
// where the volume has no hard links the old ones are kept as copies, which take room too.
void CheckRoom(RetryingFiles& files, const std::wstring& dataDir, const Plan& plan) {
  const std::wstring dataFile30 = dataDir + kDataFile30;
  const DiskSpace space = files.FreeSpace(dataDir);
  const std::uint64_t cluster = space.cluster_size ? space.cluster_size : 1;
  std::uint64_t needed = OnDisk(plan.newDataFile30.size(), cluster);
  for (const Copy& copy : plan.copies) needed += OnDisk(copy.size, cluster);
  if (!files.HardLinksWork(dataFile30, dataFile30 + kKeptSuffix)) {
    for (const Copy& copy : plan.copies) needed += OnDisk(copy.replaced.size, cluster);
    needed += OnDisk(plan.dataFile30.size, cluster);
  }
  if (needed > space.available) {
    common::SetupError error = MakeError(common::kErrorDiskFull, dataDir, Cause::kNotEnoughRoom);
    error.bytes_needed = needed;
    error.bytes_available = space.available;
    error.drive = space.volume;
    throw error;
  }
}

void CommitPlan(RetryingFiles& files, const std::wstring& dataDir, const Plan& plan,
                const std::vector<std::wstring>& owed) {
  FileTransaction transaction(files, dataDir, owed);
  for (const Copy& copy : plan.copies) transaction.StageCopy(copy.source, copy.name, copy.replaced);
  transaction.StageContents(kDataFile30, plan.newDataFile30, plan.dataFile30);
  transaction.Commit();
}

void Install(RetryingFiles& files, const std::wstring& sourceDir, const std::wstring& dataDir) {
  const std::vector<std::wstring> names = DestinationNames();
  const auto folders = PinFolders(files, sourceDir, dataDir);
  CheckNamesFit(dataDir, names);
  const std::unique_ptr<HeldLock> lock = LockFolder(files, dataDir);
  const std::vector<std::wstring> unrestored = RecoverInterruptedRun(files, dataDir, names);
  try {
    const Plan plan = MakePlan(files, sourceDir, dataDir);
    CheckRoom(files, dataDir, plan);
    CommitPlan(files, dataDir, plan, unrestored);
  } catch (common::SetupError& error) {
    // Installed whole, the files would have been replaced anyway; refused, the user must know.
    AddUnrestored(error, dataDir, unrestored);
    throw;
  }
}

}  // namespace

std::wstring SourceDirFrom(const std::wstring& executable_dir) {
  if (!executable_dir.empty() && executable_dir.back() == L'\\') return executable_dir;
  return executable_dir + L"\\";
}

void InstallAddons(InstallFiles& platform, const std::wstring& sourceDir, const std::wstring& installDir) {
  RetryingFiles files(platform);
  Install(files, sourceDir, installDir + kDataFolder);
}

std::string UpdateDataFile30(InstallFiles& files, const std::wstring& path) {
  std::optional<std::string> rewritten;
  {
    std::unique_ptr<ByteSource> input = files.OpenForReading(path);
    rewritten = RewriteDataFile(*input);
  }  // closed before the file is replaced
  if (!rewritten) throw common::MakeError(common::kErrorHandleEof, path);
  return *rewritten;
}

}  // namespace install
