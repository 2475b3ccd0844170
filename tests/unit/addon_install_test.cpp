#include "install/addon_install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "app/setup_error.h"
#include "install/addon_files.h"
#include "install/file_transaction.h"
#include "install/retrying_files.h"

namespace {

using install::kAddonFileList;

struct Killed {};  // the process ended: nothing more happens

// An in-memory volume. A name points at shared contents, so a hard link is a second name for
// the same pointer. Every operation that writes can be made to fail or to kill the process.
class FakeFiles : public install::InstallFiles {
 public:
  std::map<std::wstring, std::shared_ptr<std::string>> files;
  std::set<std::wstring> folders;
  std::set<std::wstring> read_only;
  std::map<std::wstring, int> held;  // attempts that still meet a sharing violation; -1: forever
  std::vector<std::wstring> log;
  std::vector<unsigned> pauses;
  std::uint64_t available = 1ull << 40;
  bool hard_links = true;
  std::map<std::string, int> fail_at;  // operation kind -> the call of that kind that fails
  int kill_at = 0;                     // the write of any kind on which the process is killed

  install::FileStatus Status(const std::wstring& path) override {
    install::FileStatus status;
    if (folders.count(path)) {
      status.exists = status.directory = true;
    } else if (files.count(path)) {
      status.exists = true;
      status.size = files.at(path)->size();
      status.read_only = read_only.count(path) > 0;
      status.attributes = 0x22;
    }
    return status;
  }
  bool IsSameFile(const std::wstring& a, const std::wstring& b) override {
    return files.count(a) && files.count(b) && files.at(a) == files.at(b);
  }
  void ProbeReplaceable(const std::wstring& path) override { CheckHeld(path); }
  install::DiskSpace FreeSpace(const std::wstring&) override { return {available, 4096}; }
  std::unique_ptr<install::ByteSource> OpenForReading(const std::wstring& path) override {
    CheckHeld(path);
    open_copy_ = *files.at(path);
    return std::make_unique<install::StringSource>(open_copy_);
  }
  void CopyToNew(const std::wstring& source, const std::wstring& target) override {
    Write("copy", target);
    CheckHeld(source);
    Create(target, *files.at(source));
  }
  void WriteToNew(const std::wstring& target, const std::string& bytes, std::uint32_t attributes) override {
    Write("write", target);
    EXPECT_EQ(attributes, 0x22u) << "the data file's attributes are carried over";
    Create(target, bytes);
  }
  void FlushNewFiles() override { Write("flush", L"all new files"); }
  void KeepAside(const std::wstring& existing, const std::wstring& kept) override {
    Write("keep", existing);
    ASSERT_EQ(files.count(kept), 0u);
    files[kept] = hard_links ? files.at(existing) : std::make_shared<std::string>(*files.at(existing));
  }
  void MoveReplacing(const std::wstring& from, const std::wstring& to) override {
    Write("move", to);
    CheckHeld(from, to);
    CheckHeld(to);
    files[to] = files.at(from);
    files.erase(from);
  }
  void Delete(const std::wstring& path) override {
    Write("delete", path);
    if (!files.count(path)) return;
    CheckHeld(path);
    files.erase(path);
  }
  void Pause(unsigned milliseconds) override { pauses.push_back(milliseconds); }

  int writes() const { return writes_; }
  void Revive() {
    killed_ = false;
    kill_at = 0;
  }
  std::map<std::wstring, std::string> Contents(const std::wstring& folder) const {
    std::map<std::wstring, std::string> contents;
    for (const auto& [path, bytes] : files) {
      if (path.compare(0, folder.size(), folder) == 0) contents[path.substr(folder.size())] = *bytes;
    }
    return contents;
  }

 private:
  void Write(const std::string& kind, const std::wstring& path) {
    if (killed_) throw Killed{};
    if (++writes_ == kill_at) {
      killed_ = true;
      throw Killed{};
    }
    if (++calls_[kind] == fail_at[kind]) throw app::MakeError(app::kErrorDiskFull, path);
    log.push_back(std::wstring(kind.begin(), kind.end()) + L" " + path);
  }
  void Create(const std::wstring& path, const std::string& bytes) {
    if (files.count(path)) throw app::MakeError(app::kErrorFileExists, path);
    files[path] = std::make_shared<std::string>(bytes);
  }
  // Windows names the destination when a move fails, whichever of the two was held.
  void CheckHeld(const std::wstring& path, const std::wstring& reported = {}) {
    auto it = held.find(path);
    if (it == held.end() || it->second == 0) return;
    if (it->second > 0) --it->second;
    throw app::MakeError(app::kErrorSharingViolation, reported.empty() ? path : reported);
  }

  std::string open_copy_;
  std::map<std::string, int> calls_;
  int writes_ = 0;
  bool killed_ = false;
};

std::string Lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line" + std::to_string(i) + "\r\n";
  return text;
}

std::string Rewritten(std::string lines) {
  return lines.replace(lines.find("line7"), 5, "kolven10");
}

class AddonInstallTest : public testing::Test {
 protected:
  const std::wstring source_dir = L"E:\\";
  const std::wstring install_dir = L"C:\\K\\";
  const std::wstring data_dir = L"C:\\K\\data\\";
  FakeFiles fs;
  std::map<std::wstring, std::string> before;

  void SetUp() override {
    fs.folders.insert(data_dir);
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

  void Install() { install::InstallAddons(fs, source_dir, install_dir); }

  app::SetupError InstallExpectingFailure() {
    try {
      Install();
    } catch (const app::SetupError& error) {
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

TEST_F(AddonInstallTest, StagesEverythingThenMovesInListOrderWithTheDataFileLast) {
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  std::vector<std::wstring> copies, moves;
  for (const std::wstring& entry : fs.log) {
    if (entry.rfind(L"copy ", 0) == 0) copies.push_back(entry.substr(5));
    if (entry.rfind(L"move ", 0) == 0) moves.push_back(entry.substr(5));
  }
  ASSERT_EQ(copies.size(), 23u);
  ASSERT_EQ(moves.size(), 24u);
  for (std::size_t i = 0; i < kAddonFileList.size(); ++i) {
    EXPECT_EQ(copies[i], data_dir + kAddonFileList[i] + L".setup-new");
    EXPECT_EQ(moves[i], data_dir + kAddonFileList[i]);
  }
  EXPECT_EQ(moves.back(), data_dir + L"30.dat");
  const auto first_move = std::find_if(fs.log.begin(), fs.log.end(),
                                       [](const std::wstring& e) { return e.rfind(L"move ", 0) == 0; });
  const auto last_write = std::find_if(fs.log.rbegin(), fs.log.rend(), [](const std::wstring& e) {
    return e.rfind(L"copy ", 0) == 0 || e.rfind(L"write ", 0) == 0;
  });
  const auto flush = std::find(fs.log.begin(), fs.log.end(), L"flush all new files");
  EXPECT_EQ(last_write.base(), flush) << "everything staged is flushed at once";
  EXPECT_LT(flush, first_move) << "nothing is moved before everything is on disk";
}

TEST_F(AddonInstallTest, ListStartsWith21AndEndsWithTheMusic) {
  EXPECT_EQ(std::wstring(kAddonFileList.front()), L"21.dat");
  EXPECT_EQ(std::wstring(kAddonFileList[21]), L"21-2.mid");
  EXPECT_EQ(std::wstring(kAddonFileList.back()), L"23-2.mid");
  EXPECT_EQ(std::set<std::wstring>(kAddonFileList.begin(), kAddonFileList.end()).size(), 23u);
}

// Whatever stands in the way is found before anything is written.
TEST_F(AddonInstallTest, RefusalsComeBeforeTheFirstWrite) {
  struct Case {
    const char* what;
    std::function<void(FakeFiles&)> arrange;
    std::uint32_t number;
    std::wstring path;
  };
  const std::wstring d = data_dir, s = source_dir;
  const std::vector<Case> cases{
      {"no data folder", [](FakeFiles& f) { f.folders.clear(); }, app::kErrorPathNotFound, d},
      {"first source missing", [&](FakeFiles& f) { f.files.erase(s + L"21.dat"); }, app::kErrorFileNotFound, s + L"21.dat"},
      {"last source missing", [&](FakeFiles& f) { f.files.erase(s + L"23-2.mid"); }, app::kErrorFileNotFound, s + L"23-2.mid"},
      {"source is a folder", [&](FakeFiles& f) { f.files.erase(s + L"15.dat"); f.folders.insert(s + L"15.dat"); },
       app::kErrorFileNotFound, s + L"15.dat"},
      {"30.dat missing", [&](FakeFiles& f) { f.files.erase(d + L"30.dat"); }, app::kErrorFileNotFound, d + L"30.dat"},
      {"read-only destination", [&](FakeFiles& f) { f.read_only.insert(d + L"54.dat"); }, app::kErrorAccessDenied, d + L"54.dat"},
      {"destination is a folder", [&](FakeFiles& f) { f.files.erase(d + L"15.dat"); f.folders.insert(d + L"15.dat"); },
       app::kErrorAccessDenied, d + L"15.dat"},
      {"destination held for good", [&](FakeFiles& f) { f.held[d + L"54.dat"] = -1; }, app::kErrorSharingViolation, d + L"54.dat"},
      {"read-only 30.dat", [&](FakeFiles& f) { f.read_only.insert(d + L"30.dat"); }, app::kErrorAccessDenied, d + L"30.dat"},
      {"30.dat held for good", [&](FakeFiles& f) { f.held[d + L"30.dat"] = -1; }, app::kErrorSharingViolation, d + L"30.dat"},
      {"30.dat one field short", [&](FakeFiles& f) { *f.files[d + L"30.dat"] = Lines(24); }, app::kErrorHandleEof, d + L"30.dat"},
      {"no room", [](FakeFiles& f) { f.available = 23 * 4096; }, app::kErrorDiskFull, d},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs = FakeFiles();
    SetUp();
    c.arrange(fs);
    const auto arranged = fs.Contents(data_dir);
    const app::SetupError error = InstallExpectingFailure();
    EXPECT_EQ(error.number, c.number);
    EXPECT_EQ(error.path, c.path);
    EXPECT_EQ(fs.Contents(data_dir), arranged);
    for (const std::wstring& entry : fs.log) EXPECT_EQ(entry.rfind(L"delete ", 0), 0u) << "wrote " << entry.c_str();
  }
}

TEST_F(AddonInstallTest, RoomIsCountedInWholeClustersForTheNewFilesBesideTheOld) {
  // 23 one-cluster files and the new 30.dat: exactly 24 clusters, whatever is already there.
  fs.available = 24 * 4096;
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
}

// A failure at any step of staging or of putting the files in place leaves the folder as it was.
TEST_F(AddonInstallTest, FailureAtEveryStepLeavesTheFolderAsItWas) {
  const std::map<std::string, int> steps{{"copy", 23}, {"write", 1}, {"flush", 1}, {"keep", 13}, {"move", 24}};
  for (const auto& [kind, count] : steps) {
    for (int n = 1; n <= count; ++n) {
      SCOPED_TRACE(kind + " #" + std::to_string(n));
      fs = FakeFiles();
      SetUp();
      fs.fail_at[kind] = n;
      const app::SetupError error = InstallExpectingFailure();
      EXPECT_EQ(error.number, app::kErrorDiskFull);
      EXPECT_EQ(error.path.find(L".setup-"), std::wstring::npos) << "names our own spare file";
      EXPECT_EQ(fs.Contents(data_dir), before);
    }
  }
}

TEST_F(AddonInstallTest, WithoutHardLinksTheOldFilesAreKeptAsCopies) {
  fs.hard_links = false;
  fs.fail_at["move"] = 24;  // 30.dat, after every add-on file is in place
  InstallExpectingFailure();
  EXPECT_EQ(fs.Contents(data_dir), before);
  fs = FakeFiles();
  SetUp();
  fs.hard_links = false;
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
}

// Killed at any moment, each file is whole, old or new; the next run tidies up and installs.
TEST_F(AddonInstallTest, KilledAtAnyMomentThenRunAgain) {
  Install();
  const int writes_in_a_run = fs.writes();
  const auto installed = Installed();
  for (int n = 1; n <= writes_in_a_run; ++n) {
    SCOPED_TRACE("killed at write #" + std::to_string(n));
    fs = FakeFiles();
    SetUp();
    fs.kill_at = n;
    EXPECT_THROW(Install(), Killed);
    for (const auto& [name, bytes] : fs.Contents(data_dir)) {
      if (name.find(L".setup-") != std::wstring::npos) continue;
      const bool whole = (before.count(name) && before.at(name) == bytes) || installed.at(name) == bytes;
      EXPECT_TRUE(whole) << "torn: " << name.c_str();
    }
    fs.Revive();
    Install();
    EXPECT_EQ(fs.Contents(data_dir), installed);
  }
}

TEST_F(AddonInstallTest, RunFromInsideTheDataFolderLeavesItsOwnFilesAlone) {
  for (const wchar_t* name : kAddonFileList) fs.files[data_dir + name] = fs.files.at(source_dir + name);
  install::InstallAddons(fs, data_dir, install_dir);
  for (const std::wstring& entry : fs.log) {
    const bool about_30 = entry.find(L"30.dat") != std::wstring::npos;
    EXPECT_TRUE(about_30 || entry.rfind(L"delete ", 0) == 0 || entry.rfind(L"flush ", 0) == 0) << entry.c_str();
  }
  EXPECT_EQ(*fs.files.at(data_dir + L"30.dat"), Rewritten(Lines(25)));
}

// A scanner holds each new file for a moment; the run waits for it, within a budget.
TEST_F(AddonInstallTest, BriefHoldsAreWaitedOutAndLastingOnesFail) {
  const std::wstring staged30 = data_dir + L"30.dat.setup-new";
  fs.held[staged30] = 3;
  fs.held[data_dir + L"21.dat"] = 2;
  Install();
  EXPECT_EQ(fs.Contents(data_dir), Installed());
  EXPECT_EQ(fs.pauses, (std::vector<unsigned>{25, 50, 25, 50, 100}));

  fs = FakeFiles();
  SetUp();
  fs.held[staged30] = -1;
  const app::SetupError error = InstallExpectingFailure();
  EXPECT_EQ(error.number, app::kErrorSharingViolation);
  EXPECT_EQ(error.path, data_dir + L"30.dat");
  unsigned waited = 0;
  for (unsigned pause : fs.pauses) waited += pause;
  // Once for the move, once for deleting the staged file on the way back.
  EXPECT_GE(waited, 2 * install::kRetryBudgetMs);
  EXPECT_LT(waited, 2 * (install::kRetryBudgetMs + install::kLongestRetryPauseMs));
  auto after = fs.Contents(data_dir);
  EXPECT_EQ(after.erase(L"30.dat.setup-new"), 1u) << "a file held for good cannot be deleted";
  EXPECT_EQ(after, before);
}

TEST(RetryingFiles, OnlyWhatAnotherProgramCausesIsWorthRetrying) {
  for (std::uint32_t number : {app::kErrorSharingViolation, app::kErrorLockViolation, app::kErrorAccessDenied}) {
    EXPECT_TRUE(install::IsWorthRetrying(number)) << number;
  }
  for (std::uint32_t number : {app::kErrorFileNotFound, app::kErrorDiskFull, app::kErrorHandleEof}) {
    EXPECT_FALSE(install::IsWorthRetrying(number)) << number;
  }
}

TEST_F(AddonInstallTest, SpareNamesLeftByAnEarlierRunAreRemovedFirst) {
  fs.files[data_dir + L"21.dat.setup-new"] = std::make_shared<std::string>("half");
  fs.files[data_dir + L"30.dat.setup-old"] = std::make_shared<std::string>("old");
  fs.files[data_dir + L"other.setup-new"] = std::make_shared<std::string>("not ours");
  Install();
  auto installed = Installed();
  installed[L"other.setup-new"] = "not ours";
  EXPECT_EQ(fs.Contents(data_dir), installed);
}

TEST_F(AddonInstallTest, AKeptFileThatCannotBeDeletedAfterwardsDoesNotFailTheRun) {
  fs.held[data_dir + L"21.dat.setup-old"] = -1;
  Install();
  auto after = fs.Contents(data_dir);
  EXPECT_EQ(after.erase(L"21.dat.setup-old"), 1u);
  EXPECT_EQ(after, Installed());
}

TEST(SourceDirFrom, AddsOneSeparatorUnlessThereIsOne) {
  EXPECT_EQ(install::SourceDirFrom(L"C:\\Downloads\\K"), L"C:\\Downloads\\K\\");
  EXPECT_EQ(install::SourceDirFrom(L"M:\\"), L"M:\\");
  EXPECT_EQ(install::SourceDirFrom(L"\\\\server\\share"), L"\\\\server\\share\\");
}

}  // namespace
