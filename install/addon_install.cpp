#include "install/addon_install.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/setup_error.h"
#include "install/addon_files.h"
#include "install/file_transaction.h"
#include "install/retrying_files.h"

namespace install {
namespace {

struct Copy {
  std::wstring source;
  std::wstring destination;
  std::uint64_t size;
};

// Refuses, before anything is written, a destination that could not be replaced.
void CheckReplaceable(InstallFiles& files, const std::wstring& path) {
  const FileStatus status = files.Status(path);
  if (!status.exists) return;
  if (status.directory || status.read_only) throw app::MakeError(app::kErrorAccessDenied, path);
  files.ProbeReplaceable(path);
}

std::uint64_t OnDisk(std::uint64_t size, std::uint64_t cluster) {
  return (size + cluster - 1) / cluster * cluster;
}

// The old files stay until every new one is in place, so all the new ones must fit beside them.
void CheckRoom(InstallFiles& files, const std::wstring& dataDir, const std::vector<Copy>& copies,
               std::uint64_t dataFile30Size) {
  const DiskSpace space = files.FreeSpace(dataDir);
  const std::uint64_t cluster = space.cluster_size ? space.cluster_size : 1;
  std::uint64_t needed = OnDisk(dataFile30Size, cluster);
  for (const Copy& copy : copies) needed += OnDisk(copy.size, cluster);
  if (needed > space.available) throw app::MakeError(app::kErrorDiskFull, dataDir);
}

}  // namespace

std::wstring SourceDirFrom(const std::wstring& executable_dir) {
  if (!executable_dir.empty() && executable_dir.back() == L'\\') return executable_dir;
  return executable_dir + L"\\";
}

void InstallAddons(InstallFiles& platform, const std::wstring& sourceDir, const std::wstring& installDir) {
  RetryingFiles files(platform);
  const std::wstring dataDir = installDir + kDataFolder;
  const std::wstring dataFile30 = dataDir + kDataFile30;

  if (!files.Status(dataDir).directory) throw app::MakeError(app::kErrorPathNotFound, dataDir);
  std::vector<std::wstring> destinations;
  for (const wchar_t* name : kAddonFileList) destinations.push_back(dataDir + name);
  destinations.push_back(dataFile30);
  RemoveLeftovers(files, destinations);

  std::vector<Copy> copies;
  for (const wchar_t* name : kAddonFileList) {
    const std::wstring source = sourceDir + name;
    const FileStatus status = files.Status(source);
    if (!status.exists || status.directory) throw app::MakeError(app::kErrorFileNotFound, source);
    copies.push_back(Copy{source, dataDir + name, status.size});
  }
  const FileStatus dataFile30Status = files.Status(dataFile30);
  if (!dataFile30Status.exists || dataFile30Status.directory) {
    throw app::MakeError(app::kErrorFileNotFound, dataFile30);
  }

  // Run from inside the data folder, a file is already where it belongs.
  copies.erase(std::remove_if(copies.begin(), copies.end(),
                              [&](const Copy& copy) { return files.IsSameFile(copy.source, copy.destination); }),
               copies.end());
  for (const Copy& copy : copies) CheckReplaceable(files, copy.destination);
  CheckReplaceable(files, dataFile30);
  const std::string newDataFile30 = UpdateDataFile30(files, dataFile30);
  CheckRoom(files, dataDir, copies, newDataFile30.size());

  FileTransaction transaction(files);
  for (const Copy& copy : copies) transaction.StageCopy(copy.source, copy.destination);
  transaction.StageContents(dataFile30, newDataFile30, dataFile30Status.attributes);
  transaction.Commit();
}

std::string UpdateDataFile30(InstallFiles& files, const std::wstring& path) {
  std::optional<std::string> rewritten;
  {
    std::unique_ptr<ByteSource> input = files.OpenForReading(path);
    rewritten = RewriteDataFile(*input);
  }  // closed before the file is replaced
  if (!rewritten) throw app::MakeError(app::kErrorHandleEof, path);
  return *rewritten;
}

}  // namespace install
