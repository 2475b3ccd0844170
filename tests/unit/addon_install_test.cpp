#include "install/addon_install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "common/setup_error.h"
#include "install/addon_files.h"
#include "install/file_transaction.h"
#include "fake_volume.h"
#include "install/folder.h"
#include "install/virtual_store.h"

namespace {

using install::kAddonFileList;

using fake::FakeFiles;
using fake::Killed;

std::string Lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line" + std::to_string(i) + "\r\n";
  return text;
}

std::string Rewritten(std::string lines) {
  return lines.replace(lines.find("line7"), 5, "kolven10");
}

// How a run can end before it is done, at any of its steps.
struct Ending {
  const char* what;
  bool power_cut, hard_links, atomic_replace, times_kept;
};
constexpr Ending kEndings[] = {
    {"killed", false, true, true, true},
    {"power cut", true, true, true, true},
    // No hard links, no atomic replace, and a time set on a copy does not take.
    {"power cut on exFAT", true, false, false, false},
};

class AddonInstallTest : public testing::Test {
 protected:
  const std::wstring source_dir = L"E:\\";
  const std::wstring install_dir = L"C:\\K\\";
  const std::wstring data_dir = L"C:\\K\\data\\";
  FakeFiles fs;
  std::map<std::wstring, std::string> before;

  void SetUp() override {
    fs.folders.insert({data_dir, source_dir});
    for (const wchar_t* name : kAddonFileList) fs.files[source_dir + name] = New(L"new ", name);
    // Half the add-on files are already installed in an older version.
    for (std::size_t i = 0; i < kAddonFileList.size(); i += 2) {
      fs.files[data_dir + kAddonFileList[i]] = New(L"old ", kAddonFileList[i]);
    }
    fs.files[data_dir + L"30.dat"] = std::make_shared<std::string>(Lines(25));
    fs.files[data_dir + L"readme.txt"] = std::make_shared<std::string>("not ours");
    before = fs.Contents(data_dir);
  }

  static std::shared_ptr<std::string> New(const wchar_t* what, const wchar_t* name) {
    std::wstring text = std::wstring(what) + name;
    return std::make_shared<std::string>(text.begin(), text.end());
  }

  void Reset() {
    fs = FakeFiles();
    SetUp();
  }
  void Reset(const Ending& ending) {
    Reset();
    fs.power_cut = ending.power_cut;
    fs.hard_links = ending.hard_links;
    fs.atomic_replace = ending.atomic_replace;
    fs.times_kept = ending.times_kept;
  }

  // The write at which a run is killed with the add-on files up to 63.dat in place.
  int KilledInTheRenames() {
    Install();
    const auto move = std::find(fs.log.begin(), fs.log.end(), L"move " + data_dir + L"63.dat");
    return static_cast<int>(move - fs.log.begin()) + 2;
  }

  // A fresh folder, and a run ended as `ending` says in its renames; returns the write it ended at.
  int KillInTheRenames(const Ending& ending) {
    Reset(ending);
    const int killed_at = KilledInTheRenames();
    Reset(ending);
    InstallKilledAt(killed_at);
    return killed_at;
  }

  // What a journal that owes only a note on these names holds.
  static std::string Owing(const std::vector<std::wstring>& names) { return install::FormatJournal({}, install::Notes{names, {}}); }

  void Install() { install::InstallAddons(fs, source_dir, install_dir); }

  // A run killed at its n-th write of any kind, counted from now.
  void InstallKilledAt(int n) {
    fs.Revive();
    fs.kill_at = fs.writes() + n;
    // What catches the kill (an undo's tidying) must not go on doing anything.
    try {
      Install();
    } catch (const Killed&) {
    } catch (const common::SetupError&) {
    }
    EXPECT_TRUE(fs.killed());
    fs.Revive();
  }

  // A later run refused at its checks (no room), after its rollback: one that leaves the
  // add-on files where they are, so that the rollback finds the copies of the new files there.
  common::SetupError InstallRefused() {
    const std::uint64_t room = fs.available;
    fs.available = 0;
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.cause, common::Cause::kNotEnoughRoom) << error.number;
    fs.available = room;
    return error;
  }

  std::vector<std::wstring> Logged(const std::wstring& kind) const {
    std::vector<std::wstring> paths;
    for (const std::wstring& entry : fs.log) {
      if (entry.rfind(kind + L" ", 0) == 0) paths.push_back(entry.substr(kind.size() + 1));
    }
    return paths;
  }

  void ExpectWholeFiles(const std::map<std::wstring, std::string>& installed) {
    for (const auto& [name, bytes] : fs.Contents(data_dir)) {
      if (name.find(L".setup-") != std::wstring::npos || name.rfind(L"setup.", 0) == 0) continue;
      const bool whole = (before.count(name) && before.at(name) == bytes) || installed.at(name) == bytes;
      EXPECT_TRUE(whole) << "torn: " << name.c_str();
    }
  }

  common::SetupError InstallExpectingFailure() {
    try {
      Install();
    } catch (const common::SetupError& error) {
      return error;
    }
    ADD_FAILURE() << "no failure";
    return {};
  }

  std::map<std::wstring, std::string> Installed() const {
    std::map<std::wstring, std::string> after = before;
    for (const wchar_t* name : kAddonFileList) after[name] = *fs.files.at(source_dir + name);
    after[L"30.dat"] = Rewritten(Lines(25));
    return after;
  }
};

TEST_F(AddonInstallTest, StagesKeepsAndJournalsThenMovesInListOrderWithTheDataFileLast) {
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  std::vector<std::wstring> phases;
  for (const std::wstring& entry : fs.log) {
    std::wstring kind = entry.substr(0, entry.find(L' '));
    // A new file's making is one phase.
    if (kind == L"create" || kind == L"attributes" || kind == L"time") kind = L"write";
    if (phases.empty() || phases.back() != kind) phases.push_back(kind);
  }
  // Lock, stage, keep the old files, flush, journal and flush it, move, flush the folder,
  // commit, flush the folder, tidy.
  EXPECT_EQ(phases, (std::vector<std::wstring>{L"lock", L"write", L"link", L"flush", L"write", L"flush", L"move",
                                               L"flush-folder", L"move", L"flush-folder", L"delete"}));
  const std::vector<std::wstring> created = Logged(L"create"), moves = Logged(L"move");
  ASSERT_EQ(created.size(), 25u);
  ASSERT_EQ(moves.size(), 25u);
  for (std::size_t i = 0; i < kAddonFileList.size(); ++i) {
    EXPECT_EQ(created[i], data_dir + kAddonFileList[i] + L".setup-new");
    EXPECT_EQ(moves[i], data_dir + kAddonFileList[i]);
  }
  EXPECT_EQ(moves[23], data_dir + L"30.dat");
  EXPECT_EQ(moves[24], data_dir + L"setup.journal.setup-old") << "renaming the journal away is the commit";
  EXPECT_EQ(Logged(L"link").size(), 13u);
  // The replaced files' attributes (hidden and archive here) are carried over to their staged
  // files, and a new destination gets none.
  std::vector<std::wstring> carried;
  for (std::size_t i = 0; i < kAddonFileList.size(); i += 2) carried.push_back(data_dir + kAddonFileList[i] + L".setup-new");
  carried.push_back(data_dir + L"30.dat.setup-new");
  EXPECT_EQ(Logged(L"attributes"), carried);
}

// A replaced file keeps the permissions set on it, as ReplaceFile keeps a DACL; a new one gets
// only the folder's.
TEST_F(AddonInstallTest, ReplacedFilesKeepTheirOwnPermissions) {
  fs.permissions[data_dir + L"30.dat"] = "Users: write";
  fs.permissions[data_dir + L"21.dat"] = "protected";
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  EXPECT_EQ(fs.permissions, (std::map<std::wstring, std::string>{{data_dir + L"21.dat", "protected"},
                                                                  {data_dir + L"30.dat", "Users: write"}}));
}

TEST_F(AddonInstallTest, ListStartsWith21AndEndsWithTheMusic) {
  EXPECT_EQ(std::wstring(kAddonFileList.front()), L"21.dat");
  EXPECT_EQ(std::wstring(kAddonFileList[21]), L"21-2.mid");
  EXPECT_EQ(std::wstring(kAddonFileList.back()), L"23-2.mid");
  EXPECT_EQ(std::set<std::wstring>(kAddonFileList.begin(), kAddonFileList.end()).size(), 23u);
}

// Whatever stands in the way is found before anything is written.
TEST_F(AddonInstallTest, RefusalsComeBeforeTheFirstWrite) {
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
      {"no room for the old files' copies", [](FakeFiles& f) { f.hard_links = false; f.available = 36 * 4096; },
       common::kErrorDiskFull, d, Cause::kNotEnoughRoom},
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

TEST_F(AddonInstallTest, RoomIsCountedInWholeClustersForTheNewFilesBesideTheOld) {
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
      install::InstallAddons(fs, source_dir, install_dir);
      EXPECT_FALSE(c.refused);
    } catch (const common::SetupError& error) {
      EXPECT_TRUE(c.refused);
      EXPECT_EQ(error.cause, common::Cause::kPathTooLong);
      EXPECT_EQ(error.path, data_dir + c.named);
      EXPECT_TRUE(fs.log.empty()) << "wrote before refusing";
    }
  }
}

// A failure at any step of staging or of putting the files in place leaves the folder as it was.
TEST_F(AddonInstallTest, FailureAtEveryStepLeavesTheFolderAsItWas) {
  const std::map<std::string, int> steps{{"lock", 1},  {"create", 25}, {"attributes", 13}, {"write", 25},
                                         {"time", 23}, {"flush", 25},  {"link", 13},       {"move", 25},
                                         {"flush-folder", 1}};
  for (const auto& [kind, count] : steps) {
    for (int n = 1; n <= count; ++n) {
      SCOPED_TRACE(kind + " #" + std::to_string(n));
      Reset();
      fs.fail_at[kind] = n;
      const common::SetupError error = InstallExpectingFailure();
      EXPECT_EQ(error.number, common::kErrorDiskFull);
      EXPECT_EQ(error.path.find(L"setup."), std::wstring::npos) << "names our own spare file";
      EXPECT_FALSE(error.restore_incomplete);
      EXPECT_EQ(fs.Contents(data_dir), before);
    }
  }
}

// An undo step that cannot be done keeps the journal and says so; it waits for a held file
// within one budget for the whole undo; the next run restores the folder even if it is refused.
TEST_F(AddonInstallTest, AnUndoThatCannotFinishIsReportedAndFinishedByTheNextRun) {
  for (const bool links : {true, false}) {
    SCOPED_TRACE(links ? "hard links" : "copies");
    Reset();
    fs.hard_links = links;
    fs.fail_at["move"] = 24;  // 30.dat, after every add-on file is in place
    fs.held[data_dir + L"21.dat.setup-old"] = -1;
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.number, common::kErrorDiskFull);
    EXPECT_EQ(error.path, data_dir + L"30.dat");
    EXPECT_TRUE(error.restore_incomplete);
    EXPECT_EQ(fs.files.count(data_dir + L"setup.journal"), 1u);
    unsigned waited = 0;
    for (unsigned pause : fs.pauses) waited += pause;
    EXPECT_LE(waited, install::kUndoRetryBudgetMs);

    fs.held.clear();
    InstallRefused();
    EXPECT_EQ(fs.Contents(data_dir), before);
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
  }
}

// Killed at any moment, each file is whole, old or new; a later run that is refused leaves
// the folder as it was before the killed run, unless that run had committed.
TEST_F(AddonInstallTest, KilledAtAnyMomentThenRefusedThenRunAgain) {
  for (const Ending& ending : kEndings) {
    Reset(ending);
    Install();
    const int writes_in_a_run = fs.writes();
    const auto installed = Installed();
    for (int n = 1; n <= writes_in_a_run; ++n) {
      SCOPED_TRACE(std::string(ending.what) + " at write #" + std::to_string(n));
      Reset(ending);
      InstallKilledAt(n);
      ExpectWholeFiles(installed);
      const auto committed = Logged(L"move");
      const bool commit_made = !committed.empty() && committed.back() == data_dir + L"setup.journal.setup-old";
      InstallRefused();
      EXPECT_EQ(fs.Contents(data_dir), commit_made ? installed : before);
      Install();
      EXPECT_EQ(fs.Contents(data_dir), installed);
    }
  }
}

// The commit's steps in their order, each ended at its first write: up to the commit itself the
// next run puts the folder back, from the tidying on the installation stands.
TEST_F(AddonInstallTest, EachStepOfTheCommitEndedLeavesTheOldFilesOrTheNew) {
  const std::wstring d = data_dir;
  const struct {
    const char* step;
    std::wstring first_write;
    bool installed;
    std::wstring first_write_without_links = {};
  } steps[] = {
      {"stage", L"create " + d + L"21.dat.setup-new", false},
      {"keep", L"link " + d + L"21.dat.setup-old", false, L"create " + d + L"21.dat.setup-old"},
      {"flush", L"flush " + d + L"21.dat.setup-new", false},
      {"record", L"create " + d + L"setup.journal", false},
      {"flush the record", L"flush " + d + L"setup.journal", false},
      {"rename", L"move " + d + L"21.dat", false},
      {"commit", L"move " + d + L"setup.journal.setup-old", false},
      {"tidy", L"delete " + d + L"21.dat.setup-old", true},
  };
  for (const Ending& ending : kEndings) {
    Reset(ending);
    Install();
    const std::vector<std::wstring> run = fs.log;
    auto at = run.begin();
    for (const auto& step : steps) {
      SCOPED_TRACE(std::string(ending.what) + " at " + step.step);
      const bool copied = !ending.hard_links && !step.first_write_without_links.empty();
      at = std::find(at, run.end(), copied ? step.first_write_without_links : step.first_write);
      ASSERT_NE(at, run.end()) << "not after the step before it";
      Reset(ending);
      InstallKilledAt(static_cast<int>(at - run.begin()) + 1);
      ExpectWholeFiles(Installed());
      InstallRefused();
      EXPECT_EQ(fs.Contents(data_dir), step.installed ? Installed() : before);
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
    }
  }
}

// A rollback killed at any of its steps is finished by the run after it.
TEST_F(AddonInstallTest, RollbackKilledAtEveryStepIsFinishedByTheNextRun) {
  for (const Ending& ending : kEndings) {
    SCOPED_TRACE(ending.what);
    const int killed_at = KillInTheRenames(ending);
    const int start = fs.writes();
    InstallRefused();
    EXPECT_EQ(fs.Contents(data_dir), before);
    const int rollback_writes = fs.writes() - start;
    for (int n = 1; n <= rollback_writes; ++n) {
      SCOPED_TRACE("rollback ended at write #" + std::to_string(n));
      Reset(ending);
      InstallKilledAt(killed_at);
      InstallKilledAt(n);
      ExpectWholeFiles(Installed());
      const common::SetupError error = InstallRefused();
      EXPECT_EQ(fs.Contents(data_dir), before);
      // Every file was put back, whatever time its kept copy carries.
      EXPECT_TRUE(error.unrestored.empty()) << error.unrestored.front().c_str();
      EXPECT_TRUE(error.set_aside.empty()) << error.set_aside.front().c_str();
    }
  }
}

// After a run killed in its renames, others may have touched the spare files. The next run
// puts back all it can, is never silent about a file it cannot, and never leaves the user stuck.
TEST_F(AddonInstallTest, RollbackAfterOthersTouchedTheSpareFiles) {
  const int killed_at = KilledInTheRenames();
  const std::wstring d = data_dir;
  auto in_journal = [&](FakeFiles& f, const std::string& text, const std::string& with) {
    std::string journal = *f.files.at(d + L"setup.journal");
    journal.replace(journal.find(text), text.size(), with);
    f.files[d + L"setup.journal"] = std::make_shared<std::string>(journal);
  };
  // 30.dat is the last to be put in place: the run died before it.
  const std::vector<std::wstring> replaced_in_place{L"21.dat", L"16.dat", L"51.dat", L"54.dat",
                                                    L"57.dat", L"60.dat", L"63.dat"};
  const struct {
    const char* what;
    std::function<void(FakeFiles&)> meddle;
    std::vector<std::wstring> unrestored;
    bool created_files_stay;
  } cases[] = {
      {"a kept copy deleted", [&](FakeFiles& f) { f.files.erase(d + L"21.dat.setup-old"); }, {L"21.dat"}, false},
      {"every kept copy deleted",
       [&](FakeFiles& f) {
         for (auto it = f.files.begin(); it != f.files.end();) {
           it = it->first.size() > 10 && it->first.substr(it->first.size() - 10) == L".setup-old" ? f.files.erase(it)
                                                                                                  : std::next(it);
         }
       },
       replaced_in_place, false},
      {"a kept copy already moved back",
       [&](FakeFiles& f) { f.files[d + L"21.dat"] = f.files.extract(d + L"21.dat.setup-old").mapped(); }, {}, false},
      // A power cut inside its rename on FAT leaves this, and so does a program deleting it.
      {"a destination gone before it was replaced", [&](FakeFiles& f) { f.files.erase(d + L"30.dat"); }, {}, false},
      {"the journal damaged", [&](FakeFiles& f) { f.files[d + L"setup.journal"]->resize(40); }, {}, true},
      {"a line of the journal garbled", [&](FakeFiles& f) { in_journal(f, "replaced 21.dat", "xeplaced 21.dat"); },
       {}, true},
      {"a number in the journal too big for 64 bits",
       [&](FakeFiles& f) { in_journal(f, "replaced 21.dat ", "replaced 21.dat 99999999999999999999 1 "); }, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    InstallKilledAt(killed_at);
    std::map<std::wstring, std::string> expected = before;
    const auto owed = [&](const std::wstring& name) {
      return std::find(c.unrestored.begin(), c.unrestored.end(), name) != c.unrestored.end();
    };
    for (const wchar_t* name : kAddonFileList) {
      const bool renamed = !fs.files.count(d + name + L".setup-new");
      if (renamed && (owed(name) || (c.created_files_stay && !before.count(name)))) {
        expected[name] = *fs.files.at(d + name);
      }
    }
    // The note stays owed until a run installs everything.
    if (!c.unrestored.empty()) expected[L"setup.journal"] = Owing(c.unrestored);
    c.meddle(fs);
    std::vector<std::wstring> named;
    for (const std::wstring& name : c.unrestored) named.push_back(d + name);
    for (int refused = 0; refused < 2; ++refused) {
      const common::SetupError error = InstallRefused();
      EXPECT_EQ(error.unrestored, named);
      EXPECT_FALSE(error.restore_incomplete);
      EXPECT_EQ(fs.Contents(data_dir), expected);
    }
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
  }
}

// Another program changes a destination at any step of a run: the game writes 30.dat in place
// and keeps it open or lets it go again, the user puts a file of their own at an add-on file's
// name. What they put there is never lost: a change before the run looked is installed over as
// any older file is, one after it stops the commit, and once the game has let go the next run
// installs from what is there.
TEST_F(AddonInstallTest, AFileChangedByOthersAtAnyStepIsNeverLost) {
  std::string game = Lines(25);
  game.replace(game.find("line3"), 5, "saved3");
  const struct {
    const char* what;
    std::wstring name;
    std::string theirs, installed;  // what they leave, and what a run makes of it
    bool in_place, holds;
  } cases[] = {
      {"30.dat written, held", L"30.dat", game, Rewritten(game), true, true},
      {"30.dat written, let go", L"30.dat", game, Rewritten(game), true, false},
      {"an old file replaced by the user's", L"21.dat", "user's 21", "new 21.dat", false, false},
      {"a file of the user's where there was none", L"15.dat", "user's 15", "new 15.dat", false, false},
  };
  for (const auto& c : cases) {
    for (const bool links : {true, false}) {
      Reset();
      fs.hard_links = links;
      Install();
      const std::vector<std::wstring> run = fs.log;
      const std::wstring path = data_dir + c.name;
      const std::size_t looked_at = std::find_if(run.begin(), run.end(), [](const std::wstring& entry) {
                                      return entry.rfind(L"create ", 0) == 0;
                                    }) - run.begin();
      const std::size_t renamed_at = std::find(run.begin(), run.end(), L"move " + path) - run.begin();
      for (std::size_t n = 0; n < run.size(); ++n) {
        SCOPED_TRACE(std::string(c.what) + (links ? ", hard links" : ", no hard links") + ", before #" +
                     std::to_string(n));
        // Between the last look and the rename only a second name of the old file can show a
        // change, and only one made in place; the instant itself stays open.
        if (n == renamed_at && (!c.in_place || (!links && !c.holds))) continue;
        Reset();
        fs.hard_links = links;
        std::size_t seen = 0;
        fs.meddle = [&](FakeFiles& f, const std::wstring&) {
          if (seen++ != n) return;
          if (!c.in_place) f.files[path] = std::make_shared<std::string>(c.theirs);
          if (c.in_place) f.WriteInPlace(path, c.theirs);
          if (c.holds) f.game_holds.insert(path);
        };
        std::optional<common::SetupError> error;
        try {
          Install();
        } catch (const common::SetupError& e) {
          error = e;
        }
        fs.meddle = nullptr;
        fs.LetGo();
        if (!c.holds && n >= looked_at && n <= renamed_at) EXPECT_TRUE(error) << "replaced what it did not look at";
        std::map<std::wstring, std::string> expected = error ? before : Installed();
        if (error) {
          EXPECT_TRUE(error->cause == common::Cause::kChangedMeanwhile || error->cause == common::Cause::kInUse)
              << error->number;
          EXPECT_EQ(error->path, path);
          EXPECT_FALSE(error->restore_incomplete);
          expected[c.name] = c.theirs;
        } else {
          expected[c.name] = n > renamed_at ? c.theirs : c.installed;
        }
        EXPECT_EQ(fs.Contents(data_dir), expected);
        if (!error) continue;
        Install();
        expected = Installed();
        expected[c.name] = c.installed;
        EXPECT_EQ(fs.Contents(data_dir), expected);
      }
    }
  }
}

// After a run killed in its renames the user puts the add-on files in place by hand, moved or
// copied from the add-on folder: byte for byte and time for time the files the run put there.
// None of them is rolled over or deleted: a file the rollback cannot prove its own, and whose
// contents exist nowhere else, is kept aside under a name the report gives.
TEST_F(AddonInstallTest, FilesPutInPlaceByHandAfterAKillAreNeverLost) {
  const std::wstring d = data_dir;
  // Renamed into place before the kill, in list order; the first seven replaced old files.
  const std::vector<std::wstring> renamed{L"21.dat", L"15.dat", L"16.dat", L"17.dat", L"51.dat", L"52.dat", L"54.dat",
                                          L"55.dat", L"57.dat", L"59.dat", L"60.dat", L"62.dat", L"63.dat"};
  const struct {
    const char* what;
    bool hard_links, moved;
    // Kept aside: the old files beside the user's (hard links tell the user's apart), or the
    // user's own files, which may be the run's for all the volume tells.
    std::vector<std::wstring> set_aside;
  } cases[] = {
      {"moved, NTFS", true, true, {L"21.dat", L"16.dat", L"51.dat", L"54.dat", L"57.dat", L"60.dat", L"63.dat"}},
      {"copied, NTFS", true, false, {L"21.dat", L"16.dat", L"51.dat", L"54.dat", L"57.dat", L"60.dat", L"63.dat"}},
      {"moved, exFAT", false, true, renamed},
      {"copied, exFAT", false, false, {}},  // the add-on folder still holds every one of them
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    fs.hard_links = c.hard_links;
    const int killed_at = KilledInTheRenames();
    Reset();
    fs.hard_links = c.hard_links;
    InstallKilledAt(killed_at);
    for (const wchar_t* name : kAddonFileList) {
      fs.files[d + name] = c.moved ? fs.files.extract(source_dir + name).mapped() : New(L"new ", name);
    }
    const auto placed = fs.Contents(data_dir);
    fs.available = 0;  // refused after the rollback also where the add-on files are still there
    const common::SetupError error = InstallExpectingFailure();
    fs.available = 1ull << 40;
    std::map<std::wstring, std::string> expected = before;
    std::vector<std::wstring> named;
    for (const wchar_t* name : kAddonFileList) {
      const bool was_renamed = std::find(renamed.begin(), renamed.end(), name) != renamed.end();
      const bool aside = std::find(c.set_aside.begin(), c.set_aside.end(), name) != c.set_aside.end();
      if (aside) named.push_back(d + name + L".setup-bak");
      if (aside && c.hard_links) {
        expected[name + std::wstring(L".setup-bak")] = before.at(name);  // the old file, beside the user's
        expected[name] = placed.at(name);
      } else if (aside) {
        expected[name + std::wstring(L".setup-bak")] = placed.at(name);
      } else if (!was_renamed || c.hard_links) {
        expected[name] = placed.at(name);  // never the run's: the user's, and stays
      }
    }
    if (!named.empty()) {
      std::vector<std::wstring> owed;
      for (const std::wstring& path : named) owed.push_back(path.substr(d.size()));
      expected[L"setup.journal"] = install::FormatJournal({}, install::Notes{{}, owed});
    }
    EXPECT_EQ(error.set_aside, named);
    EXPECT_TRUE(error.unrestored.empty());
    EXPECT_FALSE(error.restore_incomplete);
    EXPECT_EQ(fs.Contents(data_dir), expected);
    // The add-on folder whole again, the run installs; what was kept aside stays the user's.
    for (const wchar_t* name : kAddonFileList) fs.files[source_dir + name] = New(L"new ", name);
    Install();
    auto installed = Installed();
    for (const std::wstring& path : named) installed[path.substr(d.size())] = expected.at(path.substr(d.size()));
    EXPECT_EQ(fs.Contents(data_dir), installed);
  }
  // Put there in the moment between the rollback's look at a file of the run's and its delete.
  Reset();
  const int killed_at = KilledInTheRenames();
  Reset();
  InstallKilledAt(killed_at);
  fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
    if (next == L"delete " + d + L"15.dat") f.files[d + L"15.dat"] = std::make_shared<std::string>("user's 15");
  };
  InstallRefused();
  EXPECT_EQ(*fs.files.at(d + L"15.dat"), "user's 15");
}

// Records left by another run: every plain file name in them is followed, whichever version
// wrote them; one no run could have written is damage, and the disk alone is trusted.
TEST_F(AddonInstallTest, RecordsLeftByOtherRunsAndVersions) {
  const std::wstring d = data_dir;
  auto plant = [&](FakeFiles& f, const std::string& lines) {
    f.files[d + L"setup.journal"] = std::make_shared<std::string>(lines);
  };
  const struct {
    const char* what;
    std::function<void(FakeFiles&)> arrange;
    std::map<std::wstring, std::string> after;  // beside what an installation leaves
  } cases[] = {
      {"another version's file, version 2",
       [&](FakeFiles& f) {
         f.files[d + L"74.dat"] = std::make_shared<std::string>("other new");
         f.files[d + L"74.dat.setup-old"] = std::make_shared<std::string>("other old");
         plant(f, "setup.exe rollback journal 2\r\nreplaced 74.dat 1 2\r\nend\r\n");
       },
       {{L"74.dat", "other old"}}},
      {"another version's file, version 3",
       [&](FakeFiles& f) {
         f.files[d + L"74.dat"] = std::make_shared<std::string>("other new");
         f.files[d + L"75.dat"] = std::make_shared<std::string>("other created");
         f.files[d + L"74.dat.setup-old"] = std::make_shared<std::string>("other old");
         plant(f, install::FormatJournal({{L"74.dat", true, 9, 1, 0, install::Placed{f.IdOf(d + L"74.dat"), 0, 0}},
                                          {L"75.dat", false, 0, 0, 0, install::Placed{f.IdOf(d + L"75.dat"), 0, 0}}}));
       },
       {{L"74.dat", "other old"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    c.arrange(fs);
    Install();
    auto expected = Installed();
    for (const auto& [name, bytes] : c.after) expected[name] = bytes;
    EXPECT_EQ(fs.Contents(data_dir), expected);
  }
}

// Another program holds a file open, sharing everything, across two runs: each is told the
// file is in use, never that it is a link to delete; once it lets go, a run installs and
// leaves nothing behind. Under Wine a name deleted meanwhile still opens and counts.
TEST_F(AddonInstallTest, AFileHeldAcrossTwoRunsIsInUseNeverALink) {
  for (const bool wine : {false, true}) {
    for (const wchar_t* held : {L"60.dat", L"30.dat"}) {
      SCOPED_TRACE(std::string(wine ? "Wine, " : "Windows, ") + (held[0] == L'6' ? "60.dat" : "30.dat"));
      Reset();
      fs.pending_opens = wine;
      fs.game_holds.insert(data_dir + held);
      for (int run = 1; run <= 2; ++run) {
        const common::SetupError error = InstallExpectingFailure();
        EXPECT_EQ(error.cause, common::Cause::kInUse) << run << ": " << error.number;
        EXPECT_EQ(error.path, data_dir + held) << run;
        auto after = fs.Contents(data_dir);
        after.erase(held + std::wstring(L".setup-old"));  // stays while the file is held
        after.erase(L"setup.journal.setup-old");           // the probe for hard links, held with 30.dat
        EXPECT_EQ(after, before) << run;
      }
      fs.LetGo();
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
    }
  }
}

// Read-only files after a kill: the program's own names it deletes or replaces all the same;
// a user's read-only file is named, and the report says it is read-only.
TEST_F(AddonInstallTest, ReadOnlyFilesAfterAKill) {
  const std::wstring d = data_dir;
  const struct {
    const char* what;
    std::function<void(FakeFiles&)> arrange;
    common::Cause cause;
    std::wstring path;
    std::vector<std::wstring> set_aside;
  } cases[] = {
      {"a file the run put there, made read-only", [&](FakeFiles& f) { f.read_only.insert(d + L"21.dat"); },
       common::Cause::kNotEnoughRoom, d, {}},
      // Its kept hard link is read-only with it.
      {"30.dat made read-only", [&](FakeFiles& f) { f.read_only.insert(d + L"30.dat"); }, common::Cause::kReadOnly,
       d + L"30.dat", {}},
      {"a file copied by hand from a CD",
       [&](FakeFiles& f) {
         f.files[d + L"21.dat"] = New(L"new ", L"21.dat");
         f.read_only.insert(d + L"21.dat");
       },
       common::Cause::kReadOnly, d + L"21.dat", {d + L"21.dat.setup-bak"}},
  };
  const int killed_at = KilledInTheRenames();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    InstallKilledAt(killed_at);
    c.arrange(fs);
    fs.available = 0;
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.cause, c.cause) << error.number;
    EXPECT_EQ(error.path, c.path);
    EXPECT_EQ(error.set_aside, c.set_aside);
    EXPECT_FALSE(error.restore_incomplete);
    EXPECT_TRUE(error.unrestored.empty());
  }
}

// A run that cannot tidy up after its rollback, or is itself killed or cut off at any step,
// still owes the note on a file it could not put back, until a run installs everything.
TEST_F(AddonInstallTest, TheNoteOnAFileNotPutBackOutlivesAHeldSpareFileAndLaterKills) {
  const std::wstring d = data_dir;
  const std::vector<std::wstring> named{d + L"21.dat"};
  for (const Ending& ending : kEndings) {
    SCOPED_TRACE(ending.what);
    KillInTheRenames(ending);
    fs.files.erase(d + L"21.dat.setup-old");
    fs.held[d + L"30.dat.setup-old"] = -1;  // the game holds 30.dat, and so its hard link
    common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.path, d + L"30.dat");
    EXPECT_EQ(error.cause, common::Cause::kInUse);
    EXPECT_EQ(error.unrestored, named);
    fs.held.clear();
    EXPECT_EQ(InstallRefused().unrestored, named);

    // The next run gets as far as its renames, or any other step, and ends there.
    const FakeFiles owing = fs;
    const int start = fs.writes();
    Install();
    const int writes_in_a_run = fs.writes() - start;
    for (int n = 1; n <= writes_in_a_run; ++n) {
      SCOPED_TRACE("ended at write #" + std::to_string(n));
      fs = owing;
      const std::size_t logged = fs.log.size();
      InstallKilledAt(n);
      const bool committed = std::find(fs.log.begin() + logged, fs.log.end(),
                                       L"move " + d + L"setup.journal.setup-old") != fs.log.end();
      error = InstallRefused();
      EXPECT_EQ(error.unrestored, committed ? std::vector<std::wstring>{} : named);
    }
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
  }
}

TEST_F(AddonInstallTest, RunFromInsideTheDataFolderLeavesItsOwnFilesAlone) {
  for (const wchar_t* name : kAddonFileList) fs.files[data_dir + name] = New(L"new ", name);
  install::InstallAddons(fs, data_dir, install_dir);
  for (const std::wstring& entry : fs.log) {
    const bool ours = entry.find(L"30.dat") != std::wstring::npos || entry.find(L"setup.") != std::wstring::npos;
    EXPECT_TRUE(ours || entry.rfind(L"delete ", 0) == 0 || entry.rfind(L"flush", 0) == 0) << entry.c_str();
  }
  EXPECT_EQ(*fs.files.at(data_dir + L"30.dat"), Rewritten(Lines(25)));
}

// The game's own copy of the data folder, where UAC virtualization keeps its writes: its 30.dat
// gets the update, keeping its own fields, and the add-on files it holds are replaced; it is
// held, recorded and rolled back like the data folder, and a run killed at any write, also
// between the two folders, is finished by the next, which installs both.
TEST_F(AddonInstallTest, TheGamesOwnCopyInTheVirtualStoreIsUpdatedToo) {
  const std::wstring store = L"C:\\Users\\u\\AppData\\Local\\VirtualStore\\K\\data\\";
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
  auto arrange = [&](const std::map<std::wstring, std::string>& there) {
    Reset();
    fs.virtual_store.roots = {L"C:\\K\\"};
    fs.folders.insert(store);
    for (const auto& [name, bytes] : there) fs.files[store + name] = std::make_shared<std::string>(bytes);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    arrange(c.there);
    Install();
    EXPECT_EQ(fs.Contents(data_dir), Installed());
    EXPECT_EQ(fs.Contents(store), c.after);
    const int writes_in_a_run = fs.writes();
    for (int n = 1; n <= writes_in_a_run; ++n) {
      SCOPED_TRACE("killed at write #" + std::to_string(n));
      arrange(c.there);
      InstallKilledAt(n);
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
      EXPECT_EQ(fs.Contents(store), c.after);
    }
  }
  // Refused there, nothing changes anywhere; a link there is refused, not followed.
  arrange({{L"30.dat", Lines(24)}});
  EXPECT_EQ(InstallExpectingFailure().path, store + L"30.dat");
  EXPECT_EQ(fs.Contents(data_dir), before);
  arrange({{L"30.dat", own}});
  fs.links.insert(store);
  EXPECT_EQ(InstallExpectingFailure().cause, common::Cause::kLinkElsewhere);
  EXPECT_EQ(fs.Contents(data_dir), before);
}

// A scanner holds each new file for a moment; the run waits for it, within a budget.
TEST_F(AddonInstallTest, BriefHoldsAreWaitedOutAndLastingOnesFail) {
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

TEST_F(AddonInstallTest, SpareNamesLeftByAnEarlierRunAreRemovedFirst) {
  fs.files[data_dir + L"21.dat.setup-new"] = std::make_shared<std::string>("half");
  fs.files[data_dir + L"30.dat.setup-old"] = std::make_shared<std::string>("old");
  fs.files[data_dir + L"setup.journal.setup-old"] = std::make_shared<std::string>("committed");
  fs.files[data_dir + L"other.setup-new"] = std::make_shared<std::string>("not ours");
  Install();
  auto installed = Installed();
  installed[L"other.setup-new"] = "not ours";
  EXPECT_EQ(fs.Contents(data_dir), installed);
}

// A journal cut short was being written when the run died: nothing had been renamed yet. A line
// that does not read, or names anything but one plain file of the folder's own, is damage.
TEST(Journal, ReadsBackWhatWasWrittenAndNothingElse) {
  const std::vector<std::wstring> required{L"30.dat"};
  const std::vector<install::JournalEntry> entries{
      {L"21.dat", true, 12, 34, 56, install::Placed{7, 0, 0}},
      {L"15.dat", false, 0, 0, 0, install::Placed{0, 9, 10}},
      {L"74.dat", false, 0, 0, 0, install::Placed{11, 0, 0}},  // another version's file: followed too
      {L"30.dat", true, 18446744073709551615u, 0, 1, install::Placed{18446744073709551615u, 0, 0}}};
  const std::string journal = install::FormatJournal(entries, install::Notes{{L"15.dat", L"99.dat"}, {L"21.dat.setup-bak2"}});
  const auto read = install::ParseJournal(journal, required);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->owed.unrestored, (std::vector<std::wstring>{L"15.dat", L"99.dat"}));
  EXPECT_EQ(read->owed.set_aside, std::vector<std::wstring>{L"21.dat.setup-bak2"});
  ASSERT_EQ(read->entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(read->entries[i].name, entries[i].name);
    EXPECT_EQ(read->entries[i].existed, entries[i].existed);
    EXPECT_EQ(read->entries[i].size, entries[i].size);
    EXPECT_EQ(read->entries[i].write_time, entries[i].write_time);
    EXPECT_EQ(read->entries[i].hash, entries[i].hash);
    ASSERT_TRUE(read->entries[i].placed);
    EXPECT_EQ(read->entries[i].placed->id, entries[i].placed->id);
    EXPECT_EQ(read->entries[i].placed->size, entries[i].placed->size);
    EXPECT_EQ(read->entries[i].placed->hash, entries[i].placed->hash);
  }
  for (std::size_t cut = 0; cut < journal.size(); ++cut) {
    EXPECT_FALSE(install::ParseJournal(journal.substr(0, cut), required)) << cut;
  }
  for (const char* damage :
       {"replaced 21.dat 12 34 5 6\r\n", "replaced 21.dat 12 34 5 6 7 x\r\n", "created 15.dat 1\r\n",
        "xeplaced 21.dat 12 34 1 2 3 4\r\n", "replaced 21.dat 99999999999999999999 1 1 2 3 4\r\n",
        "replaced 21.dat 12  34 1 2 3 4\r\n", "replaced 21.dat -1 34 1 2 3 4\r\n", "unrestored 21.dat 1\r\n",
        "unrestored\r\n", "\r\n", "aside 21.dat\r\n", "aside 21.dat.setup-bak1\r\n",
        // Every run needs 30.dat before it starts: none can have created it.
        "created 30.dat 1 2 3\r\n",
        // Names that lead out of the folder, or are the program's own.
        "created ..\\..\\boot.ini 1 2 3\r\n", "created .. 1 2 3\r\n", "created a:b 1 2 3\r\n",
        "created 21.dat.setup-old 1 2 3\r\n", "replaced setup.journal 1 2 3 4 5 6\r\n",
        "unrestored setup.lock\r\n", "created 21.dat.setup-bak 1 2 3\r\n"}) {
    std::string damaged = journal;
    damaged.insert(damaged.find("end"), damage);
    EXPECT_FALSE(install::ParseJournal(damaged, required)) << damage;
  }
}

TEST_F(AddonInstallTest, AKeptFileThatCannotBeDeletedAfterwardsDoesNotFailTheRun) {
  fs.held[data_dir + L"21.dat.setup-old"] = -1;
  Install();
  auto after = fs.Contents(data_dir);
  EXPECT_EQ(after.erase(L"21.dat.setup-old"), 1u);
  EXPECT_EQ(after, Installed());
}

TEST(VirtualStoreCopyOf, OnlyFoldersUnderAVirtualizedOne) {
  const install::VirtualStore store{{L"C:\\Program Files\\", L"C:\\Program Files (x86)", L"C:\\Windows\\"},
                                    L"C:\\Users\\u\\AppData\\Local\\VirtualStore\\"};
  const struct {
    std::wstring folder;
    std::optional<std::wstring> copy;
  } cases[] = {
      {L"C:\\Program Files (x86)\\K\\data\\", L"C:\\Users\\u\\AppData\\Local\\VirtualStore\\Program Files (x86)\\K\\data\\"},
      {L"c:\\PROGRAM FILES\\K\\data", L"C:\\Users\\u\\AppData\\Local\\VirtualStore\\PROGRAM FILES\\K\\data\\"},
      {L"C:\\Program Files Games\\K\\data\\", std::nullopt},  // not inside it, only spelt alike
      {L"C:\\Program Files\\", std::nullopt},
      {L"C:\\Games\\K\\data\\", std::nullopt},
      {L"D:\\Program Files\\K\\data\\", std::nullopt},
      {L"\\\\server\\Program Files\\K\\data\\", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(install::VirtualStoreCopyOf(c.folder, store), c.copy) << c.folder.c_str();
  }
  EXPECT_EQ(install::VirtualStoreCopyOf(L"C:\\Windows\\K\\", {store.roots, L""}), std::nullopt);
}

TEST(SourceDirFrom, AddsOneSeparatorUnlessThereIsOne) {
  EXPECT_EQ(install::SourceDirFrom(L"C:\\Downloads\\K"), L"C:\\Downloads\\K\\");
  EXPECT_EQ(install::SourceDirFrom(L"M:\\"), L"M:\\");
  EXPECT_EQ(install::SourceDirFrom(L"\\\\server\\share\\"), L"\\\\server\\share\\");
}

}  // namespace
