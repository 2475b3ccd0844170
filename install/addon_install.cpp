#include "install/addon_install.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/setup_error.h"
#include "install/addon_files.h"
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
};

// A second name of the file may lie anywhere, in a folder its user cannot read.
void CheckOneName(const FileStatus& status, const std::wstring& path) {
  if (status.names > 1) throw MakeError(common::kErrorCantAccessFile, path, Cause::kLinkElsewhere);
}

// Refuses, before anything is written, a destination that could not be replaced; returns its
// size, 0 when there is none.
std::uint64_t CheckReplaceable(RetryingFiles& files, const std::wstring& path) {
  const FileStatus status = files.Status(path);
  if (!status.exists) return 0;
  CheckOneName(status, path);
  if (status.directory) throw MakeError(common::kErrorAccessDenied, path, Cause::kFolderInTheWay);
  if (status.read_only) throw MakeError(common::kErrorAccessDenied, path, Cause::kReadOnly);
  files.ProbeReplaceable(path);
  return status.size;
}

std::uint64_t OnDisk(std::uint64_t size, std::uint64_t cluster) {
  return (size + cluster - 1) / cluster * cluster;
}

// Every name the program writes must fit where the destination does; a destination that does
// not fit itself is the system's to refuse.
void CheckNamesFit(const std::wstring& dataDir, const std::vector<std::wstring>& names) {
  auto too_long = [](const std::wstring& path) { return path.size() > kLongestPath; };
  const std::size_t suffix = std::max(std::char_traits<wchar_t>::length(kStagedSuffix),
                                      std::char_traits<wchar_t>::length(kKeptSuffix));
  for (const std::wstring& name : names) {
    const std::wstring destination = dataDir + name;
    if (!too_long(destination) && destination.size() + suffix > kLongestPath) {
      throw MakeError(common::kErrorFilenameTooLong, destination, Cause::kPathTooLong);
    }
  }
  for (const std::wstring& own : {std::wstring(kLockName), std::wstring(kJournalName) + kKeptSuffix}) {
    if (!too_long(dataDir) && too_long(dataDir + own)) {
      throw MakeError(common::kErrorFilenameTooLong, dataDir, Cause::kPathTooLong);
    }
  }
}

// A report names the user's own file or folder, never one of the program's spare names; but a
// link is named as it is, for the user to remove.
std::wstring UserFacingPath(std::wstring path, const std::wstring& dataDir, Cause cause) {
  if (cause == Cause::kLinkElsewhere) return path;
  for (const wchar_t* suffix : {kStagedSuffix, kKeptSuffix}) {
    const std::size_t length = std::char_traits<wchar_t>::length(suffix);
    if (path.size() > length && path.compare(path.size() - length, length, suffix) == 0) {
      path.resize(path.size() - length);
    }
  }
  if (path == dataDir + kJournalName || path == dataDir + kLockName) return dataDir;
  return path;
}

std::unique_ptr<HeldLock> LockDataFolder(RetryingFiles& files, const std::wstring& dataDir) {
  try {
    return files.Lock(dataDir + kLockName);
  } catch (const common::SetupError& error) {
    if (error.number != common::kErrorSharingViolation && error.number != common::kErrorLockViolation) throw;
    throw MakeError(error.number, dataDir, Cause::kAnotherSetupRunning);
  }
}

void Install(RetryingFiles& files, const std::wstring& sourceDir, const std::wstring& dataDir) {
  const std::wstring dataFile30 = dataDir + kDataFile30;
  std::vector<std::wstring> names(kAddonFileList.begin(), kAddonFileList.end());
  names.push_back(kDataFile30);

  // Both folders stay held as they are now until the run ends; everything in them is then
  // reached by name from them, never through a link.
  const std::unique_ptr<HeldLock> dataFolder = files.PinFolder(dataDir, true);
  const std::unique_ptr<HeldLock> sourceFolder = files.PinFolder(sourceDir, false);
  CheckNamesFit(dataDir, names);
  const std::unique_ptr<HeldLock> lock = LockDataFolder(files, dataDir);
  RecoverInterruptedRun(files, dataDir, names);

  std::vector<Copy> copies;
  for (const wchar_t* name : kAddonFileList) {
    const std::wstring source = sourceDir + name;
    const FileStatus status = files.Status(source);
    if (!status.exists || status.directory) {
      throw MakeError(common::kErrorFileNotFound, source, Cause::kAddonFileMissing);
    }
    CheckOneName(status, source);
    copies.push_back(Copy{source, name, status.size});
  }
  const FileStatus dataFile30Status = files.Status(dataFile30);
  if (!dataFile30Status.exists || dataFile30Status.directory) {
    throw MakeError(common::kErrorFileNotFound, dataFile30);
  }

  // Run from inside the data folder, a file is already where it belongs.
  copies.erase(std::remove_if(copies.begin(), copies.end(),
                              [&](const Copy& copy) { return files.IsSameFile(copy.source, dataDir + copy.name); }),
               copies.end());
  std::vector<std::uint64_t> old_sizes;
  for (const Copy& copy : copies) old_sizes.push_back(CheckReplaceable(files, dataDir + copy.name));
  old_sizes.push_back(CheckReplaceable(files, dataFile30));
  const std::string newDataFile30 = UpdateDataFile30(files, dataFile30);

  // The old files stay until every new one is in place, so all the new ones must fit beside
  // them; where the volume has no hard links the old ones are kept as copies, which take room too.
  const DiskSpace space = files.FreeSpace(dataDir);
  const std::uint64_t cluster = space.cluster_size ? space.cluster_size : 1;
  std::uint64_t needed = OnDisk(newDataFile30.size(), cluster);
  for (const Copy& copy : copies) needed += OnDisk(copy.size, cluster);
  if (!files.HardLinksWork(dataFile30, dataFile30 + kKeptSuffix)) {
    for (std::uint64_t size : old_sizes) needed += OnDisk(size, cluster);
  }
  if (needed > space.available) {
    common::SetupError error = MakeError(common::kErrorDiskFull, dataDir, Cause::kNotEnoughRoom);
    error.bytes_needed = needed;
    error.bytes_available = space.available;
    error.drive = space.volume;
    throw error;
  }

  FileTransaction transaction(files, dataDir);
  for (const Copy& copy : copies) transaction.StageCopy(copy.source, copy.name);
  transaction.StageContents(kDataFile30, newDataFile30, dataFile30Status.attributes);
  transaction.Commit();
}

}  // namespace

std::wstring SourceDirFrom(const std::wstring& executable_dir) {
  if (!executable_dir.empty() && executable_dir.back() == L'\\') return executable_dir;
  return executable_dir + L"\\";
}

void InstallAddons(InstallFiles& platform, const std::wstring& sourceDir, const std::wstring& installDir) {
  RetryingFiles files(platform);
  const std::wstring dataDir = installDir + kDataFolder;
  try {
    Install(files, sourceDir, dataDir);
  } catch (common::SetupError& error) {
    error.path = UserFacingPath(error.path, dataDir, error.cause);
    throw;
  }
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
