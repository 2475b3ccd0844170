#include "install/addon_install.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/setup_error.h"
#include "install/addon_files.h"
#include "install/data_file30.h"
#include "install/file_transaction.h"
#include "install/virtual_store.h"

namespace install {
namespace {

using common::Cause;
using common::MakeError;

struct Copy {
  std::wstring name;
  File* source;
  std::unique_ptr<Replaced> replaced;  // the destination, held open since it was looked at
};

// The add-on files, open to be read, held from the first look until the last copy.
using Sources = std::vector<std::pair<std::wstring, std::unique_ptr<File>>>;

// What the run will write in one folder, checked against everything that could stop it halfway.
struct Plan {
  Folder* folder = nullptr;
  std::vector<Copy> copies;
  std::unique_ptr<Replaced> dataFile30;  // none in a virtual store copy that has none
  std::string newDataFile30;
  std::string readDataFile30;  // what the new one was made from
  bool hardLinks = false;
  bool empty() const { return copies.empty() && !dataFile30; }
};

// One folder the run writes in, held and locked: the data folder, or the game's own copy of it.
struct Target {
  // The folders on the way to a copy, from the profile folder, held as they are, and the name of
  // each next one in it.
  std::vector<std::unique_ptr<Folder>> way;
  std::vector<std::wstring> names;
  std::unique_ptr<Folder> folder;
  std::unique_ptr<File> lock;
  Notes owed;  // what its last rollback owes the report
};

// Takes the folder's lock, or reports that another setup.exe holds it.
std::unique_ptr<File> LockFolder(Folder& folder) {
  try {
    return folder.Lock(folder.Record(kLockName));
  } catch (common::SetupError& error) {
    if (error.number == common::kErrorSharingViolation || error.number == common::kErrorLockViolation) {
      error.cause = common::Cause::kAnotherSetupRunning;
    }
    throw;
  }
}

std::vector<std::wstring> DestinationNames() {
  std::vector<std::wstring> names(kAddonFileList.begin(), kAddonFileList.end());
  names.push_back(kDataFile30);
  return names;
}

// Whether every other name of the file is one of the program's own in the folder. The start's
// tidying has deleted them all; a name that is still there lingers because another program
// holds the file (a deleted name stays until the last handle closes, under Wine always).
bool OnlyOwnNamesBeside(Folder& folder, const Name& name, const FileStatus& status) {
  if (!status.id) return false;
  const std::wstring own[] = {Kept(name.name()), Staged(name.name()), Kept(kJournalName), Staged(kJournalName)};
  std::uint32_t names = 1;
  for (const std::wstring& spare : own) {
    const FileStatus other = folder.Look(folder.Spare(spare, name.name()));
    if (other.exists && !other.directory && other.id == status.id) ++names;
  }
  return names >= status.names;
}

// Refuses, before anything is written, a destination that could not be replaced. A second
// name of the file may lie anywhere, in a folder its user cannot read.
void CheckReplaceable(Folder& folder, Replaced* destination, const Name& name) {
  if (!destination) return;
  const FileStatus& status = destination->status();
  if (status.names > 1) {
    if (!OnlyOwnNamesBeside(folder, name, status)) throw name.Error(common::kErrorCantAccessFile, Cause::kLinkElsewhere);
    throw name.Error(common::kErrorSharingViolation, Cause::kInUse);
  }
  if (status.directory) throw name.Error(common::kErrorAccessDenied, Cause::kFolderInTheWay);
  if (status.read_only) throw name.Error(common::kErrorAccessDenied, Cause::kReadOnly);
  destination->CheckFree();
}

std::uint64_t OnDisk(std::uint64_t size, std::uint64_t cluster) {
  return (size + cluster - 1) / cluster * cluster;
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

Sources OpenSources(Folder& sourceDir) {
  Sources sources;
  for (const wchar_t* name : kAddonFileList) {
    const Name source = sourceDir.Own(name);
    std::unique_ptr<File> file = sourceDir.OpenForReading(source);
    if (!file || file->status().directory) throw source.Error(common::kErrorFileNotFound, Cause::kAddonFileMissing);
    sources.emplace_back(name, std::move(file));
  }
  return sources;
}

// The data file's new contents (RewriteDataFile), and in `read` what they were made from, for the
// check that the file still holds it when it is replaced.
std::string UpdateDataFile30(Replaced& dataFile30, const Name& name, std::string& read) {
  struct Recording : ByteSource {
    Recording(ByteSource& source, std::string& read) : source(source), read(read) {}
    std::size_t Read(char* buf, std::size_t n) override {
      const std::size_t got = source.Read(buf, n);
      read.append(buf, got);
      return got;
    }
    ByteSource& source;
    std::string& read;
  };
  const std::unique_ptr<ByteSource> input = dataFile30.Read();
  Recording recording(*input, read);
  std::optional<std::string> rewritten = RewriteDataFile(recording);
  if (!rewritten) throw name.Error(common::kErrorHandleEof);
  return *rewritten;
}

// every_file: the data folder, which gets every add-on file and must have 30.dat; otherwise the
// game's copy of it, in which only the files it holds are replaced.
Plan MakePlan(Folder& dir, Sources& sources, bool every_file) {
  Plan plan;
  plan.folder = &dir;
  // A name the folder does not list is new; the commit fails should one appear meanwhile.
  const Listing listed = dir.List();
  for (auto& [name, source] : sources) {
    std::unique_ptr<Replaced> replaced = listed.MayHold(name) ? dir.OpenToReplace(dir.Own(name)) : nullptr;
    if (every_file || replaced) plan.copies.push_back(Copy{name, source.get(), std::move(replaced)});
  }
  const Name dataFile30 = dir.Own(kDataFile30);
  plan.dataFile30 = dir.OpenToReplace(dataFile30);
  if (every_file && (!plan.dataFile30 || plan.dataFile30->status().directory)) {
    throw dataFile30.Error(common::kErrorFileNotFound);
  }
  for (Copy& copy : plan.copies) CheckReplaceable(dir, copy.replaced.get(), dir.Own(copy.name));
  if (plan.dataFile30) {
    CheckReplaceable(dir, plan.dataFile30.get(), dataFile30);
    plan.newDataFile30 = UpdateDataFile30(*plan.dataFile30, dataFile30, plan.readDataFile30);
  }
  return plan;
}

// The old files stay until every new one is in place, so all the new ones must fit beside them.
void CheckRoom(Plan& plan) {
  Folder& dir = *plan.folder;
  const VolumeFacts space = dir.Volume();
  const std::uint64_t cluster = space.cluster_size ? space.cluster_size : 1;
  std::uint64_t needed = plan.dataFile30 ? OnDisk(plan.newDataFile30.size(), cluster) : 0;
  for (const Copy& copy : plan.copies) needed += OnDisk(copy.source->status().size, cluster);
  plan.hardLinks = space.hard_links;
  if (needed > space.available) {
    common::SetupError error = MakeError(common::kErrorDiskFull, dir.path(), Cause::kNotEnoughRoom);
    error.bytes_needed = needed;
    error.bytes_available = space.available;
    error.drive = space.root;
    throw error;
  }
}

void CommitPlan(Plan plan, const Elsewhere& elsewhere, const Notes& owed) {
  FileTransaction transaction(*plan.folder, plan.hardLinks, elsewhere, owed);
  for (Copy& copy : plan.copies) transaction.StageCopy(*copy.source, copy.name, std::move(copy.replaced));
  if (plan.dataFile30) {
    transaction.StageContents(kDataFile30, plan.newDataFile30, std::move(plan.dataFile30), plan.readDataFile30);
  }
  transaction.Commit();
}

// A profile folder that is not on this PC (a roaming profile, a disk taken away) has no copy.
bool IsNotThere(const common::SetupError& error) {
  switch (error.number) {
    case common::kErrorFileNotFound:
    case common::kErrorPathNotFound:
    case common::kErrorNotReady:
    case common::kErrorBadNetPath:
    case common::kErrorBadNetName:
      return true;
    default:
      return false;
  }
}

// The game's own copy of the data folder in one account's virtual store, reached one name at a
// time from the profile folder, every folder on the way held so that none can be swapped for a
// link meanwhile; none where the game never wrote there. Only the profile folder may itself be
// reached through a link: an administrator may have moved it.
std::optional<Target> ReachCopy(InstallFiles& files, const std::wstring& profile,
                                const std::vector<std::wstring>& names) {
  Target target;
  target.names = names;
  try {
    target.folder = PinFolder(files, profile, false);
  } catch (const common::SetupError& error) {
    if (IsNotThere(error)) return std::nullopt;
    throw;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::unique_ptr<Folder> next = target.folder->OpenFolder(target.folder->Own(names[i]), i + 1 == names.size());
    if (!next) return std::nullopt;
    target.way.push_back(std::move(target.folder));
    target.folder = std::move(next);
  }
  return target;
}

// Every account's copy of the data folder where UAC virtualization keeps the game's writes, the
// desktop user's first, held, locked and checked for names too long like the data folder.
void AddCopies(InstallFiles& files, std::vector<Target>& targets, const std::vector<std::wstring>& names,
               const UserFolders& users) {
  const std::optional<std::vector<std::wstring>> way =
      VirtualStoreNames(targets.front().folder->WhereItLies(), users.virtualized);
  if (!way || !users.profiles) return;
  for (const std::wstring& profile : users.profiles()) {
    std::optional<Target> copy = ReachCopy(files, profile, *way);
    if (!copy) continue;
    // A profile listed twice (a .bak entry the system keeps beside a damaged one) is one copy.
    const bool again = std::any_of(targets.begin(), targets.end(),
                                   [&](const Target& known) { return known.folder->IsSameFolder(*copy->folder); });
    if (again) continue;
    CheckNamesFit(copy->folder->path(), names);
    copy->lock = LockFolder(*copy->folder);
    targets.push_back(std::move(*copy));
  }
}

// Every folder on the way to the target still where it was when it was held: each name still
// leads, and not through a link, to the very folder held. Windows refuses to move a folder while
// it is held; Wine does not stop a rename made outside it, and would then follow, by the name it
// keeps, a link put in the folder's place.
void CheckInPlace(Target& target) {
  for (std::size_t i = 0; i < target.names.size(); ++i) {
    Folder& parent = *target.way[i];
    const Folder& held = i + 1 < target.way.size() ? *target.way[i + 1] : *target.folder;
    const Name name = parent.Own(target.names[i]);
    const std::unique_ptr<Folder> now = parent.OpenFolder(name, false);
    if (!now || !now->IsSameFolder(held)) throw name.Error(common::kErrorCantAccessFile, Cause::kLinkElsewhere);
  }
}

void Install(InstallFiles& files, const std::wstring& sourcePath, const std::wstring& dataPath,
             const UserFolders& users) {
  const std::vector<std::wstring> names = DestinationNames();
  // Every folder stays held as it is now until the run ends; everything in them is then
  // reached by name from them, never through a link.
  std::vector<Target> targets;
  targets.push_back(Target{{}, {}, PinFolder(files, dataPath, true), nullptr, {}});
  const std::unique_ptr<Folder> sourceDir = PinFolder(files, sourcePath, false);
  CheckNamesFit(dataPath, names);
  targets.front().lock = LockFolder(*targets.front().folder);
  AddCopies(files, targets, names, users);
  // The add-on files are where copies of the new ones are; 30.dat's new contents are made again
  // from the old file by the next run.
  const Elsewhere elsewhere{sourceDir.get(), {kDataFile30}};
  for (Target& target : targets) target.owed = RecoverInterruptedRun(*target.folder, names, {kDataFile30}, elsewhere);
  try {
    Sources sources = OpenSources(*sourceDir);
    std::vector<Plan> plans;
    for (Target& target : targets) {
      const bool data = &target == &targets.front();
      // Run from inside the data folder, a file is already where it belongs.
      if (data && sourceDir->IsSameFolder(*target.folder)) {
        Sources none;
        plans.push_back(MakePlan(*target.folder, none, true));
      } else {
        plans.push_back(MakePlan(*target.folder, sources, data));
      }
    }
    for (Plan& plan : plans) CheckRoom(plan);
    // Each folder whole or not at all, the data folder first; a run that ends between them is
    // finished by the next, which installs both.
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (plans[i].empty()) continue;
      CheckInPlace(targets[i]);
      CommitPlan(std::move(plans[i]), elsewhere, targets[i].owed);
    }
  } catch (common::SetupError& error) {
    // Installed whole, the files would have been replaced anyway; refused, the user must know.
    for (const Target& target : targets) AddTo(error, *target.folder, Restored{true, target.owed});
    throw;
  }
}

}  // namespace

std::wstring SourceDirFrom(const std::wstring& executable_dir) {
  if (!executable_dir.empty() && executable_dir.back() == L'\\') return executable_dir;
  return executable_dir + L"\\";
}

void InstallAddons(InstallFiles& files, const std::wstring& sourceDir, const std::wstring& installDir,
                   const UserFolders& users) {
  Install(files, sourceDir, installDir + kDataFolder, users);
}

}  // namespace install
