#include "lookup/uninstall_lookup.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <map>
#include <optional>

namespace {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorMoreData = 234;
constexpr std::uint32_t kRegExpandSz = 2;

// Code page 932 to wide characters, as the system's ANSI conversion does on a Japanese system.
std::wstring DecodeCp932(std::string_view bytes) {
  iconv_t cd = iconv_open("WCHAR_T", "CP932");
  std::wstring out(bytes.size(), L'\0');
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* dst = reinterpret_cast<char*>(out.data());
  size_t out_left = out.size() * sizeof(wchar_t);
  iconv(cd, &in, &in_left, &dst, &out_left);
  iconv_close(cd);
  out.resize(out.size() - out_left / sizeof(wchar_t));
  return out;
}

std::string Cp932(const char* utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  std::string src(utf8), out(src.size() * 2, '\0');
  char* in = src.data();
  size_t in_left = src.size();
  char* dst = out.data();
  size_t out_left = out.size();
  iconv(cd, &in, &in_left, &dst, &out_left);
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

struct StoredValue {
  std::uint32_t type = lookup::kRegSz;
  std::string bytes;  // exactly as stored, terminator included or not
};

// Behaves like RegQueryValueExA over one stored value.
class FakeRegistry : public lookup::Registry {
 public:
  bool key_exists = true;
  long open_status = 0;
  std::optional<StoredValue> value;
  std::optional<long> read_status;  // forces the second query's status
  std::string opened_path;
  std::uint32_t opened_access = 0;
  int open_keys = 0;

  std::unique_ptr<lookup::OpenedKey> OpenLocalMachineKey(const std::string& path,
                                                         std::uint32_t access,
                                                         long& status) override {
    opened_path = path;
    opened_access = access;
    status = !key_exists ? kErrorFileNotFound : open_status;
    if (status != 0) return nullptr;
    return std::make_unique<Key>(*this);
  }

 private:
  class Key : public lookup::OpenedKey {
   public:
    explicit Key(FakeRegistry& owner) : owner_(owner) { ++owner_.open_keys; }
    ~Key() override { --owner_.open_keys; }
    lookup::ValueInfo QueryValueInfo(const std::string& name) override {
      if (name != "UninstallString" || !owner_.value) return {kErrorFileNotFound, 0, 0};
      return {0, owner_.value->type, static_cast<std::int32_t>(owner_.value->bytes.size())};
    }
    long ReadValue(const std::string&, std::string& buffer, std::int32_t& size) override {
      const std::string& bytes = owner_.value->bytes;
      if (owner_.read_status) return *owner_.read_status;
      if (static_cast<std::size_t>(size) < bytes.size()) {
        size = static_cast<std::int32_t>(bytes.size());
        return kErrorMoreData;
      }
      buffer.replace(0, bytes.size(), bytes);
      size = static_cast<std::int32_t>(bytes.size());
      return 0;
    }

   private:
    FakeRegistry& owner_;
  };
};

struct LookupCase {
  const char* name;
  bool key_exists;
  std::optional<StoredValue> value;
  std::optional<long> read_status;
  bool found;
  std::wstring install_dir;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

const std::string kNul(1, '\0');

class UninstallEntryLookupTest : public testing::TestWithParam<LookupCase> {};

TEST_P(UninstallEntryLookupTest, FindsFolderOrReportsNotFound) {
  const LookupCase& c = GetParam();
  FakeRegistry registry;
  registry.key_exists = c.key_exists;
  registry.value = c.value;
  registry.read_status = c.read_status;
  std::wstring install_dir = L"stale";
  std::int32_t value_size = 0;

  const bool found = lookup::UninstallEntryLookup(registry, DecodeCp932, install_dir, value_size);

  EXPECT_EQ(found, c.found);
  EXPECT_EQ(install_dir, c.install_dir);
  EXPECT_EQ(registry.open_keys, 0) << "the key must be closed on every path";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UninstallEntryLookupTest,
    testing::Values(
        LookupCase{"WellFormedEntry", true,
                   StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul}, {}, true,
                   L"C:\\Kolvenir1.0\\"},
        LookupCase{"NoKey", false, std::nullopt, {}, false, L""},
        LookupCase{"KeyWithoutValue", true, std::nullopt, {}, false, L""},
        LookupCase{"ExpandableStringIsNotAccepted", true,
                   StoredValue{kRegExpandSz, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul}, {},
                   false, L""},
        LookupCase{"SizeZero", true, StoredValue{1, ""}, {}, false, L""},
        LookupCase{"OnlyTerminator", true, StoredValue{1, kNul}, {}, false, L""},
        LookupCase{"TenCharacters", true, StoredValue{1, "0123456789" + kNul}, {}, false, L""},
        LookupCase{"SeventeenCharactersLeaveNoFolder", true,
                   StoredValue{1, "\"Uninstall01.exe\"" + kNul}, {}, false, L""},
        LookupCase{"EighteenCharactersLeaveOne", true,
                   StoredValue{1, "\"XUninstall01.exe\"" + kNul}, {}, true, L"X"},
        LookupCase{"WithoutTerminatorLosesLastByte", true,
                   StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\""}, {}, true,
                   L"C:\\Kolvenir1.0"},
        LookupCase{"ReadFailsAfterSizeQuery", true,
                   StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul}, kErrorMoreData,
                   false, L""},
        LookupCase{"ReadRefused", true,
                   StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul},
                   kErrorAccessDenied, false, L""}),
    [](const testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST(UninstallEntryLookup, OpensTheProductKeyWithItsOwnAccessMask) {
  FakeRegistry registry;
  registry.value = StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul};
  std::wstring install_dir;
  std::int32_t value_size = 0;
  lookup::UninstallEntryLookup(registry, DecodeCp932, install_dir, value_size);
  EXPECT_EQ(registry.opened_path, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kolvenir100");
  EXPECT_EQ(registry.opened_access, 0x3Fu);
  EXPECT_EQ(value_size, 33);
}

TEST(UninstallEntryLookup, RefusedOpenIsNotFound) {
  FakeRegistry registry;
  registry.open_status = kErrorAccessDenied;
  registry.value = StoredValue{1, "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul};
  std::wstring install_dir;
  std::int32_t value_size = 0;
  EXPECT_FALSE(lookup::UninstallEntryLookup(registry, DecodeCp932, install_dir, value_size));
  EXPECT_TRUE(install_dir.empty());
}

// The terminator is cut in bytes before decoding, and the trim counts characters: a folder of
// double-byte names (ソ and 表 end in 0x5C, the byte of "\") comes out whole.
TEST(UninstallEntryLookup, DoubleByteFolderIsCutByCharacters) {
  FakeRegistry registry;
  registry.value = StoredValue{1, Cp932("\"D:\\ソフト\\表示\\Uninstall01.exe\"") + kNul};
  std::wstring install_dir;
  std::int32_t value_size = 0;
  ASSERT_TRUE(lookup::UninstallEntryLookup(registry, DecodeCp932, install_dir, value_size));
  EXPECT_EQ(install_dir, L"D:\\\u30bd\u30d5\u30c8\\\u8868\u793a\\");
}

TEST(TrimUninstallCommand, CutsOneLeadingAndSixteenTrailingCharacters) {
  EXPECT_EQ(lookup::TrimUninstallCommand(L"\"C:\\Games\\K\\Uninstall01.exe\""), L"C:\\Games\\K\\");
  EXPECT_EQ(lookup::TrimUninstallCommand(std::wstring(28, L'a')), std::wstring(11, L'a'));
  EXPECT_EQ(lookup::TrimUninstallCommand(std::wstring(17, L'a')), std::nullopt);
  EXPECT_EQ(lookup::TrimUninstallCommand(L""), std::nullopt);
}

}  // namespace
