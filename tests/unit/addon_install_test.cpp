#include "install/addon_install.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "app/setup_error.h"
#include "install/addon_files.h"

namespace {

using install::kAddonFileList;

// An in-memory folder tree that records what was done to it.
class FakeFiles : public install::InstallFiles {
 public:
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> folders;
  std::vector<std::wstring> log;
  std::set<std::wstring> failing;  // copies or replacements of these paths fail

  bool IsFile(const std::wstring& path) override { return files.count(path) > 0; }
  bool IsDirectory(const std::wstring& path) override { return folders.count(path) > 0; }
  void CopyReplacing(const std::wstring& source, const std::wstring& destination) override {
    if (failing.count(destination)) throw app::MakeError(app::kErrorAccessDenied, destination);
    log.push_back(L"copy " + destination);
    files[destination] = files.at(source);
  }
  std::unique_ptr<install::ByteSource> OpenForReading(const std::wstring& path) override {
    log.push_back(L"read " + path);
    open_copy_ = files.at(path);
    return std::make_unique<install::StringSource>(open_copy_);
  }
  void ReplaceContents(const std::wstring& path, const std::string& bytes) override {
    if (failing.count(path)) throw app::MakeError(app::kErrorAccessDenied, path);
    log.push_back(L"write " + path);
    files[path] = bytes;
  }

 private:
  std::string open_copy_;
};

std::string Lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line" + std::to_string(i) + "\r\n";
  return text;
}

class AddonInstallTest : public testing::Test {
 protected:
  const std::wstring source_dir = L"E:\\";
  const std::wstring install_dir = L"C:\\K\\";
  const std::wstring data_dir = L"C:\\K\\data\\";
  FakeFiles fs;

  void SetUp() override {
    fs.folders.insert(data_dir);
    for (const wchar_t* name : kAddonFileList) fs.files[source_dir + name] = "new add-on data";
    fs.files[data_dir + L"30.dat"] = Lines(25);
  }

  app::SetupError RunExpectingFailure() {
    try {
      install::InstallAddons(fs, source_dir, install_dir);
    } catch (const app::SetupError& error) {
      return error;
    }
    ADD_FAILURE() << "no failure";
    return {};
  }
};

TEST_F(AddonInstallTest, CopiesEveryFileInListOrderThenRewritesTheDataFile) {
  install::InstallAddons(fs, source_dir, install_dir);
  ASSERT_EQ(fs.log.size(), kAddonFileList.size() + 2);
  for (std::size_t i = 0; i < kAddonFileList.size(); ++i) {
    EXPECT_EQ(fs.log[i], L"copy " + data_dir + kAddonFileList[i]);
  }
  EXPECT_EQ(fs.log[23], L"read " + data_dir + L"30.dat");
  EXPECT_EQ(fs.log[24], L"write " + data_dir + L"30.dat");
  std::string expected = Lines(25);
  expected.replace(expected.find("line7"), 5, "kolven10");
  EXPECT_EQ(fs.files[data_dir + L"30.dat"], expected);
}

TEST_F(AddonInstallTest, ListStartsWith21AndEndsWithTheMusic) {
  EXPECT_EQ(std::wstring(kAddonFileList.front()), L"21.dat");
  EXPECT_EQ(std::wstring(kAddonFileList[21]), L"21-2.mid");
  EXPECT_EQ(std::wstring(kAddonFileList.back()), L"23-2.mid");
  EXPECT_EQ(std::set<std::wstring>(kAddonFileList.begin(), kAddonFileList.end()).size(), 23u);
}

// Whatever is missing, it is found before anything is written.
TEST_F(AddonInstallTest, MissingPiecesStopTheRunBeforeTheFirstCopy) {
  struct Case {
    const char* what;
    std::function<void(FakeFiles&)> remove;
    std::uint32_t number;
    std::wstring path;
  };
  const std::vector<Case> cases{
      {"data folder", [&](FakeFiles& f) { f.folders.clear(); }, app::kErrorPathNotFound, data_dir},
      {"first source", [&](FakeFiles& f) { f.files.erase(source_dir + L"21.dat"); },
       app::kErrorFileNotFound, source_dir + L"21.dat"},
      {"last source", [&](FakeFiles& f) { f.files.erase(source_dir + L"23-2.mid"); },
       app::kErrorFileNotFound, source_dir + L"23-2.mid"},
      {"30.dat", [&](FakeFiles& f) { f.files.erase(data_dir + L"30.dat"); },
       app::kErrorFileNotFound, data_dir + L"30.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs = FakeFiles();
    SetUp();
    c.remove(fs);
    const app::SetupError error = RunExpectingFailure();
    EXPECT_EQ(error.number, c.number);
    EXPECT_EQ(error.path, c.path);
    EXPECT_TRUE(fs.log.empty());
  }
}

TEST_F(AddonInstallTest, FailedCopyStopsTheRunAndLeavesTheDataFileAlone) {
  fs.failing.insert(data_dir + L"51.dat");
  const app::SetupError error = RunExpectingFailure();
  EXPECT_EQ(error.path, data_dir + L"51.dat");
  EXPECT_EQ(fs.log.size(), 4u) << "21, 15, 16 and 17 were copied";
  EXPECT_EQ(fs.files[data_dir + L"30.dat"], Lines(25));
  EXPECT_EQ(fs.files.count(data_dir + L"52.dat"), 0u);
}

TEST_F(AddonInstallTest, ShortDataFileIsReadPastItsEndAndNotRewritten) {
  fs.files[data_dir + L"30.dat"] = Lines(24);
  const app::SetupError error = RunExpectingFailure();
  EXPECT_EQ(error.number, app::kErrorHandleEof);
  EXPECT_EQ(error.path, data_dir + L"30.dat");
  EXPECT_EQ(fs.files[data_dir + L"30.dat"], Lines(24));
  EXPECT_EQ(fs.log.back(), L"read " + data_dir + L"30.dat");
}

TEST(SourceDirFrom, AddsOneSeparatorUnlessThereIsOne) {
  EXPECT_EQ(install::SourceDirFrom(L"C:\\Downloads\\K"), L"C:\\Downloads\\K\\");
  EXPECT_EQ(install::SourceDirFrom(L"M:\\"), L"M:\\");
  EXPECT_EQ(install::SourceDirFrom(L"\\\\server\\share"), L"\\\\server\\share\\");
}

}  // namespace
