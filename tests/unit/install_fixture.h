// The installation's tests' common ground: a data folder with half the add-on files in an old
// version, on the fake volume, and ways to end a run at any of its steps.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/setup_error.h"
#include "fake_volume.h"
#include "install/addon_files.h"
#include "install/addon_install.h"
#include "install/file_transaction.h"

namespace install_test {

using fake::FakeFiles;
using fake::Killed;
using install::kAddonFileList;

inline std::string Lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line" + std::to_string(i) + "\r\n";
  return text;
}

inline std::string Rewritten(std::string lines) {
  return lines.replace(lines.find("line7"), 5, "kolven10");
}

// How a run can end before it is done, at any of its steps.
struct Ending {
  const char* what;
  bool power_cut, hard_links, fat, times_kept;
  bool random_cut = false;  // what was not flushed is kept or lost as the test's seed draws
  bool ids = true;
};
inline constexpr Ending kEndings[] = {
    {"killed", false, true, false, true},
    {"power cut", true, true, false, true},
    // No hard links nor stable ids, a time set on a copy does not take, a rename cut in its
    // middle leaves both names, and folder entries not flushed are dropped.
    {"killed on exFAT", false, false, true, false},
    {"power cut on exFAT", true, false, true, false},
    {"power cut on exFAT keeping a random part", true, false, true, false, true},
    // Hard links, but every file's id 0.
    {"killed where the file system gives no ids", false, true, false, true, false, false},
};

class InstallTest : public testing::Test {
 protected:
  // The seed of every random power cut of the test: FAKE_CUT_SEED repeats a run's.
  const std::uint32_t cut_seed = [] {
    const char* given = std::getenv("FAKE_CUT_SEED");
    return given ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  }();

  void TearDown() override {
    if (HasFailure()) std::printf("power cuts drawn with FAKE_CUT_SEED=%u\n", static_cast<unsigned>(cut_seed));
  }

  const std::wstring source_dir = L"E:\\";
  const std::wstring install_dir = L"C:\\K\\";
  const std::wstring data_dir = L"C:\\K\\data\\";
  FakeFiles fs;
  std::map<std::wstring, std::string> before;
  // The folders UAC virtualizes, and the accounts' profile folders, the desktop user's first.
  install::UserFolders user_folders{{L"C:\\Program Files\\"}, [] { return std::vector<std::wstring>{L"C:\\Users\\u\\"}; }};

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
    fs.fat = ending.fat;
    fs.times_kept = ending.times_kept;
    fs.ids = ending.ids;
    if (ending.random_cut) fs.cut_seed = cut_seed;
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

  void Install() { install::InstallAddons(fs, source_dir, install_dir, user_folders); }

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

  // A destination that had a file has one after a kill, but in the instant between two renames
  // back to back: its old file's aside and its new file's into place, or in a rollback, the
  // run's file's aside and the old file's back; and then its kept file and the record are there.
  void ExpectNoNameLost() {
    const auto now = fs.Contents(data_dir);
    const std::vector<std::wstring> moves = Logged(L"move");
    for (const auto& [name, bytes] : before) {
      if (now.count(name)) continue;
      const bool between = !moves.empty() && (moves.back() == data_dir + name + L".setup-old" ||
                                              moves.back() == data_dir + name + L".setup-new");
      EXPECT_TRUE(between && now.count(name + L".setup-old") && now.count(L"setup.journal")) << "lost: " << name.c_str();
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

}  // namespace install_test
