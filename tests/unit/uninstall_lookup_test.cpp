#include "lookup/uninstall_lookup.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <functional>
#include <algorithm>
#include <map>
#include <vector>
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

// Behaves like ReadLocalMachineValue over one stored value.
struct FakeRegistry {
  bool key_exists = true;
  long open_status = 0;
  std::optional<StoredValue> value;
  std::optional<long> read_status;  // forces the query's status
  std::string opened_path;
  std::uint32_t opened_access = 0;

  lookup::RegistryValue operator()(const std::string& path, const std::string& name, std::uint32_t access) {
    opened_path = path;
    opened_access = access;
    if (!key_exists) return {kErrorFileNotFound, 0, {}};
    if (open_status != 0) return {open_status, 0, {}};
    if (read_status) return {*read_status, 0, {}};
    if (name != "UninstallString" || !value) return {kErrorFileNotFound, 0, {}};
    return {0, value->type, value->bytes};
  }
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

  const bool found = lookup::UninstallEntryLookup(std::ref(registry), DecodeCp932, install_dir, value_size);

  EXPECT_EQ(found, c.found);
  EXPECT_EQ(install_dir, c.install_dir);
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
  lookup::UninstallEntryLookup(std::ref(registry), DecodeCp932, install_dir, value_size);
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
  EXPECT_FALSE(lookup::UninstallEntryLookup(std::ref(registry), DecodeCp932, install_dir, value_size));
  EXPECT_TRUE(install_dir.empty());
}

// The terminator is cut in bytes before decoding, and the trim counts characters: a folder of
// double-byte names (ソ and 表 end in 0x5C, the byte of "\") comes out whole.
TEST(UninstallEntryLookup, DoubleByteFolderIsCutByCharacters) {
  FakeRegistry registry;
  registry.value = StoredValue{1, Cp932("\"D:\\ソフト\\表示\\Uninstall01.exe\"") + kNul};
  std::wstring install_dir;
  std::int32_t value_size = 0;
  ASSERT_TRUE(lookup::UninstallEntryLookup(std::ref(registry), DecodeCp932, install_dir, value_size));
  EXPECT_EQ(install_dir, L"D:\\\u30bd\u30d5\u30c8\\\u8868\u793a\\");
}

// RegQueryValueEx over a value that another program changes between two queries: the n-th query
// sees contents[n] (the last one from then on), nothing being a value that is not there.
struct ChangingValue {
  std::vector<std::optional<std::string>> contents;
  int queries = 0;

  long operator()(std::uint32_t& type, char* data, std::uint32_t& size) {
    const auto& now = contents[std::min<std::size_t>(static_cast<std::size_t>(queries++), contents.size() - 1)];
    if (!now) return kErrorFileNotFound;
    type = lookup::kRegSz;
    const bool fits = size >= now->size();
    if (data && fits) now->copy(data, now->size());
    size = static_cast<std::uint32_t>(now->size());
    return !data || fits ? 0 : kErrorMoreData;
  }
};

struct WholeValueCase {
  const char* name;
  std::vector<std::optional<std::string>> contents;
  long status;
  std::string bytes;
  int queries;
};

void PrintTo(const WholeValueCase& c, std::ostream* os) { *os << c.name; }

class ReadWholeValueTest : public testing::TestWithParam<WholeValueCase> {};

TEST_P(ReadWholeValueTest, ReadsTheValueAsItStandsWhenRead) {
  const WholeValueCase& c = GetParam();
  ChangingValue value{c.contents};
  const lookup::RegistryValue read = lookup::ReadWholeValue(std::ref(value));
  EXPECT_EQ(read.status, c.status);
  EXPECT_EQ(read.bytes, c.bytes);
  EXPECT_EQ(value.queries, c.queries);
}

const std::string kShort = "\"C:\\K\\Uninstall01.exe\"" + kNul;
const std::string kLong = "\"C:\\Kolvenir1.0\\Uninstall01.exe\"" + kNul;

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadWholeValueTest,
    testing::Values(
        WholeValueCase{"Unchanged", {kLong}, 0, kLong, 2},
        WholeValueCase{"Empty", {""}, 0, "", 1},
        WholeValueCase{"Missing", {std::nullopt}, kErrorFileNotFound, "", 1},
        WholeValueCase{"GrewBeforeTheRead", {kShort, kLong}, 0, kLong, 3},
        WholeValueCase{"ShrankBeforeTheRead", {kLong, kShort}, 0, kShort, 2},
        WholeValueCase{"EmptiedBeforeTheRead", {kLong, ""}, 0, "", 2},
        WholeValueCase{"DeletedBeforeTheRead", {kLong, std::nullopt}, kErrorFileNotFound, "", 2},
        WholeValueCase{"GrewTwice", {"a", "ab", kLong}, 0, kLong, 4},
        WholeValueCase{"GrowsAtEveryQuery",
                       {"a", "ab", "abc", "abcd", "abcde", "abcdef", "abcdefg"}, kErrorMoreData, "",
                       lookup::kValueQueries}),
    [](const testing::TestParamInfo<WholeValueCase>& info) { return std::string(info.param.name); });

TEST(TrimUninstallCommand, CutsOneLeadingAndSixteenTrailingCharacters) {
  EXPECT_EQ(lookup::TrimUninstallCommand(L"\"C:\\Games\\K\\Uninstall01.exe\""), L"C:\\Games\\K\\");
  EXPECT_EQ(lookup::TrimUninstallCommand(std::wstring(28, L'a')), std::wstring(11, L'a'));
  EXPECT_EQ(lookup::TrimUninstallCommand(std::wstring(17, L'a')), std::nullopt);
  EXPECT_EQ(lookup::TrimUninstallCommand(L""), std::nullopt);
}

}  // namespace
