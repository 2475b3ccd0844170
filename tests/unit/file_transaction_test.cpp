// All or nothing: the commit, the undo and the rollback of an interrupted run, ended at every
// step, with others touching the folder between runs.
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
#include "install_fixture.h"

namespace {

using namespace install_test;

class TransactionTest : public InstallTest {};

// A failure at any step of staging or of putting the files in place leaves the folder as it was.
TEST_F(TransactionTest, FailureAtEveryStepLeavesTheFolderAsItWas) {
  // 13 old files renamed aside, 24 new ones in place, the commit; the folder flushed after the
  // record and after the renames.
  const std::map<std::string, int> steps{{"lock", 1}, {"create", 25}, {"attributes", 13}, {"write", 25},
                                         {"time", 23}, {"flush", 25}, {"move", 38},       {"flush-folder", 2}};
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
// Held for good, or by a scanner that lets it be read but not renamed back: either way the run's
// new file is in its place meanwhile, not nothing.
TEST_F(TransactionTest, AnUndoThatCannotFinishIsReportedAndFinishedByTheNextRun) {
  constexpr install::OpenKind kScanner{"scanner", install::rights::kGenericRead,
                                       install::opens::kShareRead | install::opens::kShareWrite,
                                       install::opens::kExisting, 0, false};
  for (const bool links : {true, false}) {
    for (const bool scanner : {false, true}) {
      SCOPED_TRACE(std::string(links ? "hard links" : "copies") + (scanner ? ", a scanner" : ", held for good"));
      Reset();
      fs.hard_links = links;
      fs.fail_at["move"] = 37;  // 30.dat, after every add-on file is in place
      // The old 21.dat, renamed aside, is held from then on; a scanner's open, which shares no
      // delete, can only begin once the undo has let go of the run's own.
      std::unique_ptr<install::Directory> folder;
      std::unique_ptr<install::File> hold;
      bool failed = false;
      fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
        if (folder) return;
        if (!failed) {
          failed = next == L"move " + data_dir + L"30.dat";  // the move that fails
          if (!failed || scanner) return;
        }
        if (!scanner) {
          f.held[data_dir + L"21.dat.setup-old"] = -1;
          return;
        }
        folder = f.PinFolder(data_dir, false);
        const install::Folder names(f, f.PinFolder(data_dir, false));
        hold = folder->Open(names.Spare(L"21.dat.setup-old", L"21.dat"), kScanner);
      };
      const common::SetupError error = InstallExpectingFailure();
      EXPECT_EQ(error.number, common::kErrorDiskFull);
      EXPECT_EQ(error.path, data_dir + L"30.dat");
      EXPECT_TRUE(error.restore_incomplete);
      EXPECT_EQ(fs.files.count(data_dir + L"setup.journal"), 1u);
      EXPECT_EQ(fs.Contents(data_dir)[L"21.dat"], "new 21.dat");
      unsigned waited = 0;
      for (unsigned pause : fs.pauses) waited += pause;
      EXPECT_LE(waited, install::kUndoRetryBudgetMs);

      hold.reset();
      folder.reset();
      fs.held.clear();
      fs.meddle = nullptr;
      InstallRefused();
      EXPECT_EQ(fs.Contents(data_dir), before);
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
    }
  }
}

// A file the renames never reached, held for good from the first of them: the undo puts the others
// back without waiting for it, and the folder is as it was, with no record left.
TEST_F(TransactionTest, AnUndoLeavesAFileTheRenamesNeverReachedAsItWas) {
  for (const bool links : {true, false}) {
    SCOPED_TRACE(links ? "hard links" : "copies");
    Reset();
    fs.hard_links = links;
    fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
      if (next == L"move " + data_dir + L"21.dat.setup-old") f.held[data_dir + L"30.dat"] = -1;
    };
    const common::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.path, data_dir + L"30.dat");
    EXPECT_FALSE(error.restore_incomplete);
    EXPECT_EQ(fs.Contents(data_dir), before);
  }
}

// Killed at any moment, each file is whole, old or new; a later run that is refused leaves
// the folder as it was before the killed run, unless that run had committed.
TEST_F(TransactionTest, KilledAtAnyMomentThenRefusedThenRunAgain) {
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
      ExpectNoNameLost();
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
TEST_F(TransactionTest, EachStepOfTheCommitEndedLeavesTheOldFilesOrTheNew) {
  const std::wstring d = data_dir;
  const struct {
    const char* step;
    std::wstring first_write;
    bool installed;
  } steps[] = {
      {"stage", L"create " + d + L"21.dat.setup-new", false},
      {"flush", L"flush " + d + L"21.dat.setup-new", false},
      {"record", L"create " + d + L"setup.journal", false},
      {"flush the record", L"flush " + d + L"setup.journal", false},
      {"flush the folder", L"flush-folder " + d, false},
      {"rename aside", L"move " + d + L"21.dat.setup-old", false},
      {"rename in place", L"move " + d + L"21.dat", false},
      {"rename aside the last", L"move " + d + L"30.dat.setup-old", false},
      {"rename in place the last", L"move " + d + L"30.dat", false},
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
      at = std::find(at, run.end(), step.first_write);
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
TEST_F(TransactionTest, RollbackKilledAtEveryStepIsFinishedByTheNextRun) {
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
      ExpectNoNameLost();
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
TEST_F(TransactionTest, RollbackAfterOthersTouchedTheSpareFiles) {
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
      // A power cut inside a rename on FAT leaves both names on one file: the old one, set aside
      // or put back, or the new one, put in place or renamed aside by a rollback.
      {"a rename aside torn", [&](FakeFiles& f) { f.files[d + L"30.dat.setup-old"] = f.files.at(d + L"30.dat"); }, {},
       false},
      {"a rename in place torn", [&](FakeFiles& f) { f.files[d + L"63.dat.setup-new"] = f.files.at(d + L"63.dat"); },
       {}, false},
      {"a rename back torn",
       [&](FakeFiles& f) { f.files[d + L"63.dat"] = f.files.extract(d + L"63.dat.setup-old").mapped();
                           f.files[d + L"63.dat.setup-old"] = f.files.at(d + L"63.dat"); },
       {}, false},
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
TEST_F(TransactionTest, AFileChangedByOthersAtAnyStepIsNeverLost) {
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
        bool refused = false;
        fs.meddle = [&](FakeFiles& f, const std::wstring&) {
          if (seen++ != n) return;
          if (!c.in_place) refused = !f.SwapByRename(path, c.theirs);
          // Between the two renames the game's open file is the one renamed aside.
          if (c.in_place) f.WriteInPlace(f.files.count(path) ? path : path + L".setup-old", c.theirs);
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
        if (refused) {  // held by the run's open that checked it, until it was renamed aside
          EXPECT_FALSE(error);
          continue;
        }
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
        auto contents = fs.Contents(data_dir);
        // A kept file held at the tidying keeps the committed record for the next run to delete.
        if (c.holds && !error) contents.erase(L"setup.journal.setup-old");
        EXPECT_EQ(contents, expected);
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
TEST_F(TransactionTest, FilesPutInPlaceByHandAfterAKillAreNeverLost) {
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
      {"moved, exFAT", false, true, {L"21.dat", L"16.dat", L"51.dat", L"54.dat", L"57.dat", L"60.dat", L"63.dat"}},
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
      if (aside) {
        expected[name + std::wstring(L".setup-bak")] = before.at(name);  // the old file, beside the user's
        expected[name] = placed.at(name);
      } else if (!c.hard_links && !c.moved) {
        // Byte for byte the add-on folder's: removed whether the run or the user put it there,
        // as a rename torn on FAT leaves the staged name and the destination on the run's file.
        if (before.count(name) && !was_renamed) expected[name] = placed.at(name);
      } else if (!was_renamed || c.hard_links || c.moved) {
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
  // Between the rename aside of the run's file and the rename back of the old one: the old one
  // is kept beside the user's.
  fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
    if (next == L"move " + d + L"21.dat") f.files[d + L"21.dat"] = std::make_shared<std::string>("user's 21");
  };
  const common::SetupError error = InstallRefused();
  EXPECT_EQ(fs.Contents(data_dir)[L"21.dat"], "user's 21");
  EXPECT_EQ(fs.Contents(data_dir)[L"21.dat.setup-bak"], "old 21.dat");
  EXPECT_EQ(error.set_aside, std::vector<std::wstring>{d + L"21.dat.setup-bak"});
}

// Records left by another run: every plain file name in them is followed, whichever version
// wrote them; one no run could have written is damage, and the disk alone is trusted.
TEST_F(TransactionTest, RecordsLeftByOtherRunsAndVersions) {
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
       {{L"74.dat", "other new"}, {L"74.dat.setup-bak", "other old"}}},
      {"another version's file, version 3",
       [&](FakeFiles& f) {
         f.files[d + L"74.dat"] = std::make_shared<std::string>("other new");
         f.files[d + L"75.dat"] = std::make_shared<std::string>("other created");
         f.files[d + L"74.dat.setup-old"] = std::make_shared<std::string>("other old");
         plant(f, install::FormatJournal({{L"74.dat", true, 9, 1, 0, install::Placed{f.IdOf(d + L"74.dat"), 0, 0}},
                                          {L"75.dat", false, 0, 0, 0, install::Placed{f.IdOf(d + L"75.dat"), 0, 0}}}));
       },
       {{L"74.dat", "other new"}, {L"74.dat.setup-bak", "other old"}, {L"75.dat", "other created"}}},
      // The build before marked its new files with the old hash: they are still known as its own.
      {"a run of version 4 killed in its renames",
       [&](FakeFiles& f) {
         f.files[d + L"21.dat.setup-old"] = f.files[d + L"21.dat"];
         f.files[d + L"21.dat"] = std::make_shared<std::string>(*f.files[source_dir + L"21.dat"]);
         install::OldContentHash hash;
         hash.Add(f.files[d + L"21.dat"]->data(), f.files[d + L"21.dat"]->size());
         plant(f, "setup.exe rollback journal 4\r\nreplaced 21.dat 10 1 0 0 " + std::to_string(hash.size()) + " " +
                      std::to_string(hash.hash()) + "\r\nend\r\n");
       },
       {}},
      // Anyone who can write the folder can write a record: one naming a user's file, by the id
      // and size anyone can read, or by no mark at all, removes nothing whose bytes are nowhere else.
      {"a planted record naming a user's file as created",
       [&](FakeFiles& f) {
         f.files[d + L"save01.sav"] = std::make_shared<std::string>("user's save");
         plant(f, install::FormatJournal({{L"save01.sav", false, 0, 0, 0, install::Placed{f.IdOf(d + L"save01.sav"), 11, 0}}}));
       },
       {{L"save01.sav", "user's save"}}},
      {"a planted record of version 2 naming a user's file as created",
       [&](FakeFiles& f) {
         f.files[d + L"save01.sav"] = std::make_shared<std::string>("user's save");
         plant(f, "setup.exe rollback journal 2\r\ncreated save01.sav\r\nend\r\n");
       },
       {{L"save01.sav", "user's save"}}},
      // A whole record that leaves out a destination with a kept file: that file is judged by the
      // disk, and its kept old file is never deleted.
      {"a record leaving out a replaced file",
       [&](FakeFiles& f) {
         f.files[d + L"21.dat"] = std::make_shared<std::string>("user's 21");
         f.files[d + L"21.dat.setup-old"] = std::make_shared<std::string>("old 21.dat");
         plant(f, install::FormatJournal({}));
       },
       {{L"21.dat.setup-bak", "old 21.dat"}}},
      {"a kept file with no record at all, its destination gone",
       [&](FakeFiles& f) { f.files[d + L"16.dat.setup-old"] = f.files.extract(d + L"16.dat").mapped(); }, {}},
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

// Another program holds a file open, sharing everything: the file is renamed aside all the same
// (Windows allows it where the holder shares delete), and its kept name, which cannot go while
// it is held, goes with a later run once it is let go. Under Wine a name deleted meanwhile still
// opens and counts: the committed record stays with it, so that a run meanwhile stops at it
// rather than take it for an old file to put back.
TEST_F(TransactionTest, AFileHeldSharingEverythingIsReplacedAndItsKeptNameGoesLater) {
  for (const bool wine : {false, true}) {
    for (const wchar_t* held : {L"60.dat", L"30.dat"}) {
      SCOPED_TRACE(std::string(wine ? "Wine, " : "Windows, ") + (held[0] == L'6' ? "60.dat" : "30.dat"));
      Reset();
      fs.pending_opens = wine;
      fs.game_holds.insert(data_dir + held);
      Install();
      auto after = fs.Contents(data_dir);
      // Both stay while the file is held.
      EXPECT_EQ(after.erase(held + std::wstring(L".setup-old")), 1u);
      EXPECT_EQ(after.erase(L"setup.journal.setup-old"), 1u);
      EXPECT_EQ(after, Installed());
      const auto held_on = fs.Contents(data_dir);
      const common::SetupError error = InstallExpectingFailure();
      EXPECT_EQ(error.path, data_dir + held);
      EXPECT_EQ(fs.Contents(data_dir), held_on);
      fs.LetGo();
      Install();
      EXPECT_EQ(fs.Contents(data_dir), Installed());
    }
  }
}

// Read-only files after a kill: the program's own names it deletes or replaces all the same;
// a user's read-only file is named, and the report says it is read-only.
TEST_F(TransactionTest, ReadOnlyFilesAfterAKill) {
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
TEST_F(TransactionTest, TheNoteOnAFileNotPutBackOutlivesAHeldSpareFileAndLaterKills) {
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

TEST_F(TransactionTest, SpareNamesLeftByAnEarlierRunAreRemovedFirst) {
  fs.files[data_dir + L"21.dat.setup-new"] = std::make_shared<std::string>("half");
  fs.files[data_dir + L"30.dat.setup-old"] = std::make_shared<std::string>("old");
  fs.files[data_dir + L"setup.journal.setup-old"] = std::make_shared<std::string>("committed");
  fs.files[data_dir + L"other.setup-new"] = std::make_shared<std::string>("not ours");
  Install();
  auto installed = Installed();
  installed[L"other.setup-new"] = "not ours";
  EXPECT_EQ(fs.Contents(data_dir), installed);
}

// Only listed names are opened at all: a leftover spelt in another case is still the same name to
// Windows, and a character outside ASCII may be any letter by the file system's own table.
TEST(Listing, HoldsANameInAnyCaseAndWhatALetterOutsideAsciiMayBe) {
  const install::Listing listed({L"21.DAT.Setup-New", L"setup.journal", L"\u30bb\u30fc\u30d601.sav",
                                 L"\u017fetup.lock"});
  EXPECT_TRUE(listed.MayHold(L"21.dat.setup-new"));
  EXPECT_TRUE(listed.MayHold(L"SETUP.JOURNAL"));
  EXPECT_TRUE(listed.MayHold(L"setup.lock"));  // U+017F, the long s, is S in NTFS's table
  EXPECT_FALSE(listed.MayHold(L"21.dat.setup-old"));
  EXPECT_FALSE(listed.MayHold(L"21.dat.setup-ne"));
  EXPECT_FALSE(listed.MayHold(L"save01.sav"));
  EXPECT_FALSE(install::Listing({}).MayHold(L"setup.lock"));
}

// Made read-only after its check (a tool setting attributes needs no share): the delete through
// the run's open is refused, and the kept file goes by name, its flag cleared first.
TEST_F(TransactionTest, AKeptFileMadeReadOnlyMeanwhileStillGoes) {
  fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
    if (next == L"move " + data_dir + L"setup.journal.setup-old") f.read_only.insert(data_dir + L"21.dat.setup-old");
  };
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
}

// A kept name whose file is back in place (a rename torn by a power cut leaves both) goes; a file
// another program puts at that name between the look and the delete stays.
TEST_F(TransactionTest, AKeptNameTakenJustBeforeItGoesKeepsWhatIsThere) {
  const std::wstring kept = data_dir + L"21.dat.setup-old";
  for (const bool taken : {false, true}) {
    SCOPED_TRACE(taken ? "taken" : "as it was");
    Reset();
    fs.files[kept] = fs.files[data_dir + L"21.dat"];
    fs.files[data_dir + L"setup.journal"] = std::make_shared<std::string>(install::FormatJournal({}));
    bool swapped = false;
    fs.opening = [&](FakeFiles& f, const char* kind, const std::wstring& path) {
      if (!taken || swapped || path != kept || std::string(kind) != "remove") return;
      swapped = f.SwapByRename(path, "another program's");
    };
    InstallRefused();
    auto expected = before;
    if (taken) expected[L"21.dat.setup-old"] = "another program's";
    EXPECT_EQ(fs.Contents(data_dir), expected);
  }
}

// The game opens the kept file, sharing delete, before it goes: its name stays until the game
// lets go.
TEST_F(TransactionTest, AKeptFileThatCannotBeDeletedAfterwardsDoesNotFailTheRun) {
  fs.meddle = [&](FakeFiles& f, const std::wstring& next) {
    if (next == L"move " + data_dir + L"setup.journal.setup-old") f.game_holds.insert(data_dir + L"21.dat.setup-old");
  };
  Install();
  auto after = fs.Contents(data_dir);
  EXPECT_EQ(after.erase(L"21.dat.setup-old"), 1u);
  // The committed record stays with it: while it is there, the kept file is the commit's to delete.
  EXPECT_EQ(after.erase(L"setup.journal.setup-old"), 1u);
  EXPECT_EQ(after, Installed());
  fs.LetGo();
  fs.meddle = nullptr;
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
}

}  // namespace
