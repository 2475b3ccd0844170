// The installation: what it checks, in what order it writes, and where it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "common/setup_error.h"
#include "install/addon_files.h"
#include "install/addon_install.h"
#include "install/file_transaction.h"
#include "install/folder.h"
#include "install/virtual_store.h"
#include "install_fixture.h"

namespace {

using namespace install_test;

class InstallationTest : public InstallTest {};

TEST_F(InstallationTest, StagesAndJournalsThenRenamesAsideAndInPlaceInListOrderWithTheDataFileLast) {
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  std::vector<std::wstring> phases;
  for (const std::wstring& entry : fs.log) {
    std::wstring kind = entry.substr(0, entry.find(L' '));
    // A new file's making is one phase.
    if (kind == L"create" || kind == L"attributes" || kind == L"time") kind = L"write";
    if (phases.empty() || phases.back() != kind) phases.push_back(kind);
  }
  // Lock, stage, flush, journal and flush it and the folder, rename aside and in place, flush
  // the folder, commit, flush the folder, delete the kept files, flush the folder, the record.
  EXPECT_EQ(phases, (std::vector<std::wstring>{L"lock", L"write", L"flush", L"write", L"flush", L"flush-folder",
                                               L"move", L"flush-folder", L"move", L"flush-folder", L"delete",
                                               L"flush-folder", L"delete"}));
  const std::vector<std::wstring> created = Logged(L"create");
  ASSERT_EQ(created.size(), 25u);
  std::vector<std::wstring> moves;
  for (std::size_t i = 0; i < kAddonFileList.size(); ++i) {
    EXPECT_EQ(created[i], data_dir + kAddonFileList[i] + L".setup-new");
    // Each old file renamed aside, and the new one in place right after it.
    if (i % 2 == 0) moves.push_back(data_dir + kAddonFileList[i] + L".setup-old");
    moves.push_back(data_dir + kAddonFileList[i]);
  }
  moves.push_back(data_dir + L"30.dat.setup-old");
  moves.push_back(data_dir + L"30.dat");
  moves.push_back(data_dir + L"setup.journal.setup-old");  // renaming the journal away is the commit
  EXPECT_EQ(Logged(L"move"), moves);
  // The replaced files' attributes (hidden and archive here) are carried over to their staged
  // files, and a new destination gets none.
  std::vector<std::wstring> carried;
  for (std::size_t i = 0; i < kAddonFileList.size(); i += 2) carried.push_back(data_dir + kAddonFileList[i] + L".setup-new");
  carried.push_back(data_dir + L"30.dat.setup-new");
  EXPECT_EQ(Logged(L"attributes"), carried);
}

// A replaced file keeps the permissions set on it, as ReplaceFile keeps a DACL, and its hidden and
// archive flags; a new one gets only the folder's permissions, and archive. An old file a rollback
// puts back from its kept copy is as it was too.
TEST_F(InstallationTest, ReplacedFilesKeepTheirOwnPermissionsAndAttributes) {
  constexpr std::uint32_t kHiddenArchive = 0x22, kArchive = 0x20;
  auto expect_attributes = [&](bool installed) {
    for (std::size_t i = 0; i < kAddonFileList.size(); ++i) {
      const std::wstring path = data_dir + kAddonFileList[i];
      if (i % 2 == 0) EXPECT_EQ(fs.AttributesOf(path), kHiddenArchive) << path.c_str();
      if (i % 2 == 1 && installed) EXPECT_EQ(fs.AttributesOf(path), kArchive) << path.c_str();
    }
    EXPECT_EQ(fs.AttributesOf(data_dir + L"30.dat"), kHiddenArchive);
  };
  for (const bool wine10 : {false, true}) {
    for (const bool hard_links : {true, false}) {
      SCOPED_TRACE(std::string(wine10 ? "a time set drops attributes, " : "") + (hard_links ? "NTFS" : "exFAT"));
      Reset();
      fs.hard_links = hard_links;
      fs.time_set_drops_attributes = wine10;
      fs.permissions[data_dir + L"30.dat"] = "Users: write";
      fs.permissions[data_dir + L"21.dat"] = "protected";
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
      EXPECT_EQ(fs.permissions, (std::map<std::wstring, std::string>{{data_dir + L"21.dat", "protected"},
                                                                      {data_dir + L"30.dat", "Users: write"}}));
      expect_attributes(true);
    }
  }
  const Ending& exfat = kEndings[2];
  Reset(exfat);
  fs.time_set_drops_attributes = true;
  const int killed_at = KilledInTheRenames();
  Reset(exfat);
  fs.time_set_drops_attributes = true;
  InstallKilledAt(killed_at);
  InstallRefused();
  EXPECT_EQ(fs.Contents(data_dir), before);
  expect_attributes(false);
}

TEST_F(InstallationTest, ListStartsWith21AndEndsWithTheMusic) {
  EXPECT_EQ(std::wstring(kAddonFileList.front()), L"21.dat");
  EXPECT_EQ(std::wstring(kAddonFileList[21]), L"21-2.mid");
  EXPECT_EQ(std::wstring(kAddonFileList.back()), L"23-2.mid");
  EXPECT_EQ(std::set<std::wstring>(kAddonFileList.begin(), kAddonFileList.end()).size(), 23u);
}

// Whatever stands in the way is found before anything is written.
TEST_F(InstallationTest, RefusalsComeBeforeTheFirstWrite) {
  using common::Cause;
  struct Case {
    const char* what;
    std::function<void(FakeFiles&)> arrange;
    std::uint32_t number;
    std::wstring path;
    Cause cause = Cause::kNumber;
  };
  const std::wstring d = data_dir, s = source_dir;
  const std::uint32_t link = common::kErrorCantAccessFile;
  const std::vector<Case> cases{
      {"no data folder", [](FakeFiles& f) { f.folders.clear(); }, common::kErrorPathNotFound, d},
      {"another setup.exe holds the folder",
       [&](FakeFiles& f) {
         f.files[d + L"setup.lock"] = std::make_shared<std::string>();
         f.held[d + L"setup.lock"] = -1;
       },
       common::kErrorSharingViolation, d, Cause::kAnotherSetupRunning},
      {"first source missing", [&](FakeFiles& f) { f.files.erase(s + L"21.dat"); }, common::kErrorFileNotFound,
       s + L"21.dat", Cause::kAddonFileMissing},
      {"last source missing", [&](FakeFiles& f) { f.files.erase(s + L"23-2.mid"); }, common::kErrorFileNotFound,
       s + L"23-2.mid", Cause::kAddonFileMissing},
      {"source is a folder", [&](FakeFiles& f) { f.files.erase(s + L"15.dat"); f.folders.insert(s + L"15.dat"); },
       common::kErrorFileNotFound, s + L"15.dat", Cause::kAddonFileMissing},
      {"30.dat missing", [&](FakeFiles& f) { f.files.erase(d + L"30.dat"); }, common::kErrorFileNotFound, d + L"30.dat"},
      {"read-only destination", [&](FakeFiles& f) { f.read_only.insert(d + L"54.dat"); }, common::kErrorAccessDenied,
       d + L"54.dat", Cause::kReadOnly},
      {"destination is a folder", [&](FakeFiles& f) { f.files.erase(d + L"15.dat"); f.folders.insert(d + L"15.dat"); },
       common::kErrorAccessDenied, d + L"15.dat", Cause::kFolderInTheWay},
      {"destination held for good", [&](FakeFiles& f) { f.held[d + L"54.dat"] = -1; }, common::kErrorSharingViolation,
       d + L"54.dat", Cause::kInUse},
      {"destination's attributes unreadable", [&](FakeFiles& f) { f.unreadable[d + L"54.dat"] = 1117; }, 1117,
       d + L"54.dat"},
      {"read-only 30.dat", [&](FakeFiles& f) { f.read_only.insert(d + L"30.dat"); }, common::kErrorAccessDenied,
       d + L"30.dat", Cause::kReadOnly},
      {"30.dat held for good", [&](FakeFiles& f) { f.held[d + L"30.dat"] = -1; }, common::kErrorSharingViolation,
       d + L"30.dat", Cause::kInUse},
      {"30.dat one field short", [&](FakeFiles& f) { *f.files[d + L"30.dat"] = Lines(24); }, common::kErrorHandleEof,
       d + L"30.dat"},
      {"no room", [](FakeFiles& f) { f.available = 23 * 4096; }, common::kErrorDiskFull, d, Cause::kNotEnoughRoom},
      // Planted links, and second names of files that lie elsewhere, are named for removal.
      {"data folder is a link", [&](FakeFiles& f) { f.links.insert(d); }, link, d, Cause::kLinkElsewhere},
      {"lock is a link", [&](FakeFiles& f) { f.links.insert(d + L"setup.lock"); }, link, d + L"setup.lock",
       Cause::kLinkElsewhere},
      {"spare name is a link", [&](FakeFiles& f) { f.links.insert(d + L"30.dat.setup-old"); }, link,
       d + L"30.dat.setup-old", Cause::kLinkElsewhere},
      {"journal is a link", [&](FakeFiles& f) { f.files[d + L"setup.journal"] = std::make_shared<std::string>(); f.links.insert(d + L"setup.journal"); },
       link, d + L"setup.journal", Cause::kLinkElsewhere},
      {"journal names a created file that is a link",
       [&](FakeFiles& f) {
         f.files[d + L"setup.journal"] = std::make_shared<std::string>(install::FormatJournal({{L"51.dat", false, 0, 0, 0, std::nullopt}}));
         f.links.insert(d + L"51.dat");
       },
       link, d + L"51.dat", Cause::kLinkElsewhere},
      // Left by a tool or planted: named for the user to remove.
      {"a folder at the journal's name", [&](FakeFiles& f) { f.folders.insert(d + L"setup.journal"); },
       common::kErrorAccessDenied, d + L"setup.journal", Cause::kFolderAtOwnName},
      {"a folder at a spare name", [&](FakeFiles& f) { f.folders.insert(d + L"21.dat.setup-old"); },
       common::kErrorAccessDenied, d + L"21.dat.setup-old", Cause::kFolderAtOwnName},
      {"a folder at the lock's name", [&](FakeFiles& f) { f.folders.insert(d + L"setup.lock"); },
       common::kErrorAccessDenied, d + L"setup.lock", Cause::kFolderAtOwnName},
      {"a folder at the staged record's name", [&](FakeFiles& f) { f.folders.insert(d + L"setup.journal.setup-new"); },
       common::kErrorAccessDenied, d + L"setup.journal.setup-new", Cause::kFolderAtOwnName},
      {"30.dat is a link", [&](FakeFiles& f) { f.links.insert(d + L"30.dat"); }, link, d + L"30.dat",
       Cause::kLinkElsewhere},
      {"30.dat has a second name elsewhere", [&](FakeFiles& f) { f.files[L"C:\\secret"] = f.files[d + L"30.dat"]; },
       link, d + L"30.dat", Cause::kLinkElsewhere},
      {"destination has a second name elsewhere", [&](FakeFiles& f) { f.files[L"C:\\secret"] = f.files[d + L"21.dat"]; },
       link, d + L"21.dat", Cause::kLinkElsewhere},
      {"source is a link", [&](FakeFiles& f) { f.links.insert(s + L"52.dat"); }, link, s + L"52.dat",
       Cause::kLinkElsewhere},
      {"source has a second name elsewhere", [&](FakeFiles& f) { f.files[L"C:\\secret"] = f.files[s + L"52.dat"]; },
       link, s + L"52.dat", Cause::kLinkElsewhere},
      // The 12 old add-on files and 30.dat are kept as copies where there are no hard links.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    c.arrange(fs);
    const auto arranged = fs.Contents(data_dir);
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.number, c.number);
    EXPECT_EQ(error.path, c.path);
    EXPECT_EQ(error.cause, c.cause);
    EXPECT_FALSE(error.restore_incomplete);
    EXPECT_EQ(fs.Contents(data_dir), arranged);
    for (const std::wstring& entry : fs.log) {
      EXPECT_TRUE(entry.rfind(L"delete ", 0) == 0 || entry.rfind(L"lock ", 0) == 0) << "wrote " << entry.c_str();
    }
  }
  Reset();
  fs.available = 23 * 4096;
  const common::SetupError room = InstallExpectingFailure();
  EXPECT_EQ(room.drive, L"C:\\");
  EXPECT_EQ(room.bytes_needed, 24u * 4096);
  EXPECT_EQ(room.bytes_available, 23u * 4096);
}

// setup.lock goes with the run that holds it, but not with a power cut: the next run takes over
// the one left, as it is left, and installs.
TEST_F(InstallationTest, ALockLeftByAPowerCutIsTakenOver) {
  const std::wstring lock = data_dir + L"setup.lock";
  const struct {
    const char* what;
    std::function<void(FakeFiles&)> arrange;
  } cases[] = {
      {"left empty", [&](FakeFiles& f) { f.files[lock] = std::make_shared<std::string>(); }},
      {"left read-only",
       [&](FakeFiles& f) {
         f.files[lock] = std::make_shared<std::string>();
         f.read_only.insert(lock);
       }},
      {"left by a run cut off at its first write after the lock", [&](FakeFiles& f) {
         f.power_cut = true;
         f.kill_at = 2;
         try {
           install::InstallAddons(f, source_dir, install_dir, user_folders);
         } catch (const Killed&) {
         }
         f.Revive();
         EXPECT_EQ(f.files.count(lock), 1u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    c.arrange(fs);
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
  }
}

TEST_F(InstallationTest, RoomIsCountedInWholeClustersForTheNewFilesBesideTheOld) {
  // 23 one-cluster files and the new 30.dat: exactly 24 clusters, whatever is already there;
  // without hard links, 13 more for the copies of the old files.
  for (const bool links : {true, false}) {
    Reset();
    fs.hard_links = links;
    fs.available = (links ? 24 : 37) * 4096;
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
  }
}

// Every name the program writes must be a path Windows can open where the destination is one.
TEST(AddonInstallPaths, NamesTooLongForTheSpareFilesAreRefusedFirst) {
  const std::wstring source_dir = L"E:\\";
  // Length of the data folder's path, and the file named in the refusal ("" for the folder).
  // The longest names written: "setup.journal.setup-old" (23), "21-2.mid.setup-bak9" (19), which a
  // rollback may keep a file aside as.
  const struct {
    std::size_t data_dir_length;
    bool refused;
    std::wstring named;
  } cases[] = {{236, false, L""}, {237, true, L""}, {241, true, L"21-2.mid"}, {244, true, L"21.dat"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data_dir_length);
    const std::wstring install_dir = L"C:\\" + std::wstring(c.data_dir_length - 9, L'k') + L"\\";
    const std::wstring data_dir = install_dir + L"data\\";
    ASSERT_EQ(data_dir.size(), c.data_dir_length);
    FakeFiles fs;
    fs.folders.insert({data_dir, source_dir});
    for (const wchar_t* name : kAddonFileList) fs.files[source_dir + name] = std::make_shared<std::string>("new");
    fs.files[data_dir + L"30.dat"] = std::make_shared<std::string>(Lines(25));
    try {
      install::InstallAddons(fs, source_dir, install_dir, {});
      EXPECT_FALSE(c.refused);
    } catch (const common::SetupError& error) {
      EXPECT_TRUE(c.refused);
      EXPECT_EQ(error.cause, common::Cause::kPathTooLong);
      EXPECT_EQ(error.path, data_dir + c.named);
      EXPECT_TRUE(fs.log.empty()) << "wrote before refusing";
    }
  }
}

TEST_F(InstallationTest, RunFromInsideTheDataFolderLeavesItsOwnFilesAlone) {
  for (const wchar_t* name : kAddonFileList) fs.files[data_dir + name] = New(L"new ", name);
  install::InstallAddons(fs, data_dir, install_dir, user_folders);
  for (const std::wstring& entry : fs.log) {
    const bool ours = entry.find(L"30.dat") != std::wstring::npos || entry.find(L"setup.") != std::wstring::npos;
    EXPECT_TRUE(ours || entry.rfind(L"delete ", 0) == 0 || entry.rfind(L"flush", 0) == 0) << entry.c_str();
  }
  EXPECT_EQ(*fs.files.at(data_dir + L"30.dat"), Rewritten(Lines(25)));
}

// The game's own copy of the data folder, where UAC virtualization keeps its writes, in every
// account that has one: its 30.dat gets the update, keeping its own fields, and the add-on files
// it holds are replaced; it is held, recorded and rolled back like the data folder, and a run
// killed at any write, also between two folders, is finished by the next, which installs all.
// Every folder on the way to a copy is held from the first look to the end: at no write can
// another program swap one for a link.
TEST_F(InstallationTest, TheGamesOwnCopiesInTheVirtualStoresAreUpdatedToo) {
  const std::wstring users = L"C:\\Users\\", way = L"AppData\\Local\\VirtualStore\\Program Files\\K\\data\\";
  const std::wstring store = users + L"u\\" + way, other = users + L"v\\" + way;
  std::string own = Lines(25);
  own.replace(own.find("line3"), 5, "own3");
  const struct {
    const char* what;
    std::map<std::wstring, std::string> there, after;
  } cases[] = {
      {"30.dat and an add-on file",
       {{L"30.dat", own}, {L"21.dat", "game's 21"}, {L"save.txt", "saved"}},
       {{L"30.dat", Rewritten(own)}, {L"21.dat", "new 21.dat"}, {L"save.txt", "saved"}}},
      {"an add-on file only", {{L"52.dat", "game's 52"}}, {{L"52.dat", "new 52.dat"}}},
      {"nothing of ours", {{L"save.txt", "saved"}}, {{L"save.txt", "saved"}}},
  };
  // The data folder, given in 8.3 form, lies in Program Files; a third account has no profile
  // folder on this PC, and the second has its copy too.
  auto arrange = [&](const std::map<std::wstring, std::string>& there) {
    Reset();
    fs.spellings[L"C:\\K\\"] = L"C:\\Program Files\\K\\";
    user_folders.profiles = [&] { return std::vector<std::wstring>{users + L"u\\", users + L"gone\\", users + L"v\\"}; };
    for (const std::wstring& copy : {store, other}) {
      fs.folders.insert(copy);
      for (const auto& [name, bytes] : there) fs.files[copy + name] = std::make_shared<std::string>(bytes);
    }
  };
  std::vector<std::wstring> levels;
  for (std::size_t at = store.find(L'\\'); at != std::wstring::npos; at = store.find(L'\\', at + 1)) {
    levels.push_back(store.substr(0, at + 1));
  }
  // From the data folder's lock on, which is taken before the copies are looked for.
  int swapped = 0;
  auto try_swaps = [&](FakeFiles& files, const std::wstring& what) {
    if (what == L"lock " + data_dir + L"setup.lock") return;
    for (const std::wstring& level : levels) swapped += files.SwapForLink(level);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    arrange(c.there);
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
    EXPECT_EQ(fs.Contents(store), c.after);
    EXPECT_EQ(fs.Contents(other), c.after);
    const int writes_in_a_run = fs.writes();
    for (int n = 1; n <= writes_in_a_run; ++n) {
      SCOPED_TRACE("killed at write #" + std::to_string(n));
      arrange(c.there);
      fs.meddle = try_swaps;
      InstallKilledAt(n);
      fs.meddle = nullptr;
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
      EXPECT_EQ(fs.Contents(store), c.after);
      EXPECT_EQ(fs.Contents(other), c.after);
    }
  }
  EXPECT_EQ(swapped, 0) << "a folder on the way was let go before the run ended";
  // Refused there, nothing changes anywhere.
  arrange({{L"30.dat", Lines(24)}});
  EXPECT_EQ(InstallExpectingFailure().path, store + L"30.dat");
  EXPECT_EQ(fs.Contents(data_dir), before);
  // A link anywhere below the profile folder is refused by name before anything changes.
  for (const std::wstring& level : levels) {
    if (level.size() <= users.size() + 2) continue;
    SCOPED_TRACE(level.c_str());
    arrange({{L"30.dat", own}});
    fs.links.insert(level);
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.cause, common::Cause::kLinkElsewhere);
    EXPECT_EQ(error.path, level.substr(0, level.size() - 1));
    EXPECT_EQ(fs.Contents(data_dir), before);
    EXPECT_EQ(fs.Contents(other), (std::map<std::wstring, std::string>{{L"30.dat", own}}));
  }
  // A profile folder moved by an administrator, through a link, is used as it is.
  arrange({{L"30.dat", own}});
  fs.links.insert(users + L"u\\");
  Install();
  EXPECT_EQ(fs.Contents(store), (std::map<std::wstring, std::string>{{L"30.dat", Rewritten(own)}}));
  // A data folder outside the virtualized folders has no copy, whatever lies at its would-be place,
  // and nobody's account is looked up for it.
  arrange({{L"30.dat", own}});
  fs.spellings.clear();
  const std::wstring lookalike = users + L"u\\AppData\\Local\\VirtualStore\\K\\data\\";
  fs.files[lookalike + L"30.dat"] = std::make_shared<std::string>(own);
  bool asked = false;
  user_folders.profiles = [&] {
    asked = true;
    return std::vector<std::wstring>{users + L"u\\"};
  };
  Install();
  EXPECT_FALSE(asked);
  EXPECT_EQ(*fs.files.at(lookalike + L"30.dat"), own);
  EXPECT_EQ(fs.Contents(store), (std::map<std::wstring, std::string>{{L"30.dat", own}}));
}

// A scanner holds each new file for a moment; the run waits for it, within a budget.
TEST_F(InstallationTest, BriefHoldsAreWaitedOutAndLastingOnesFail) {
  const std::wstring staged30 = data_dir + L"30.dat.setup-new";
  fs.held[staged30] = 3;
  fs.held[data_dir + L"21.dat"] = 2;
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  // 21.dat's first refusal is held by the open that looks at it, and met again when it is checked.
  EXPECT_EQ(fs.pauses, (std::vector<unsigned>{25, 25, 50, 100}));

  Reset();
  fs.held[staged30] = -1;
  const common::SetupError error = InstallExpectingFailure();
  EXPECT_EQ(error.number, common::kErrorSharingViolation);
  EXPECT_EQ(error.cause, common::Cause::kInUse);
  EXPECT_EQ(error.path, data_dir + L"30.dat");
  EXPECT_FALSE(error.restore_incomplete) << "the held file was never moved in";
  unsigned waited = 0;
  for (unsigned pause : fs.pauses) waited += pause;
  // Once for the move, once, within the undo's budget, for deleting the staged file.
  EXPECT_GE(waited, install::kRetryBudgetMs + install::kUndoRetryBudgetMs);
  EXPECT_LT(waited, install::kRetryBudgetMs + install::kLongestRetryPauseMs + install::kUndoRetryBudgetMs);
  auto after = fs.Contents(data_dir);
  EXPECT_EQ(after.erase(L"30.dat.setup-new"), 1u) << "a file held for good cannot be deleted";
  EXPECT_EQ(after, before);
}

TEST(RetryingFiles, OnlyWhatAnotherProgramCausesIsWorthRetrying) {
  for (std::uint32_t number : {common::kErrorSharingViolation, common::kErrorLockViolation, common::kErrorAccessDenied,
                               common::kErrorDeletePending}) {
    EXPECT_TRUE(install::IsWorthRetrying(number)) << number;
  }
  for (std::uint32_t number : {common::kErrorFileNotFound, common::kErrorDiskFull, common::kErrorHandleEof}) {
    EXPECT_FALSE(install::IsWorthRetrying(number)) << number;
  }
}

TEST(VirtualStoreNames, FromTheProfileFolderForFoldersUnderAVirtualizedOne) {
  const std::vector<std::wstring> virtualized{L"C:\\Program Files\\", L"C:\\Program Files (x86)", L"C:\\Windows\\"};
  using Names = std::vector<std::wstring>;
  const struct {
    std::wstring folder;
    std::optional<Names> names;
  } cases[] = {
      {L"C:\\Program Files (x86)\\K\\data\\",
       Names{L"AppData", L"Local", L"VirtualStore", L"Program Files (x86)", L"K", L"data"}},
      {L"c:\\PROGRAM FILES\\K\\data", Names{L"AppData", L"Local", L"VirtualStore", L"PROGRAM FILES", L"K", L"data"}},
      {L"C:\\Program Files Games\\K\\data\\", std::nullopt},  // not inside it, only spelt alike
      {L"C:\\Program Files\\", std::nullopt},
      {L"C:\\Program Files\\K\\..\\data\\", std::nullopt},
      {L"C:\\Program Files\\K\\\\data\\", std::nullopt},
      {L"C:\\Games\\K\\data\\", std::nullopt},
      {L"D:\\Program Files\\K\\data\\", std::nullopt},
      {L"\\\\server\\Program Files\\K\\data\\", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(install::VirtualStoreNames(c.folder, virtualized), c.names) << c.folder.c_str();
  EXPECT_EQ(install::VirtualStoreNames(L"C:\\Windows\\K\\", {}), std::nullopt);
}

TEST(SourceDirFrom, AddsOneSeparatorUnlessThereIsOne) {
  EXPECT_EQ(install::SourceDirFrom(L"C:\\Downloads\\K"), L"C:\\Downloads\\K\\");
  EXPECT_EQ(install::SourceDirFrom(L"M:\\"), L"M:\\");
  EXPECT_EQ(install::SourceDirFrom(L"\\\\server\\share\\"), L"\\\\server\\share\\");
}

}  // namespace
