#include "install/data_file30.h"
#include "string_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace install {
namespace {

using Fields = std::vector<std::string>;

// Serves at most `per_read` bytes a call, like a short ReadFile, and counts them.
class MeteredSource : public ByteSource {
 public:
  MeteredSource(std::string_view bytes, std::size_t per_read)
      : rest_(bytes), per_read_(per_read) {}
  std::size_t Read(char* buf, std::size_t n) override {
    std::size_t got = rest_.Read(buf, std::min(n, per_read_));
    served += got;
    return got;
  }
  std::size_t served = 0;

 private:
  StringSource rest_;
  std::size_t per_read_;
};

Fields ReadAll(ByteSource& source) {
  FieldReader reader(source);
  Fields fields;
  while (std::optional<std::string> field = reader.ReadField()) fields.push_back(*field);
  return fields;
}

Fields ReadAll(std::string_view bytes) {
  StringSource source(bytes);
  return ReadAll(source);
}

Fields Numbered(int from, int to) {
  Fields lines;
  for (int i = from; i <= to; ++i) lines.push_back("L" + std::to_string(i));
  return lines;
}

std::string Join(const Fields& lines, std::string_view line_end = "\r\n") {
  std::string out;
  for (const std::string& line : lines) out.append(line).append(line_end);
  return out;
}

struct ParseCase {
  const char* name;
  std::string input;
  Fields fields;
};

const ParseCase kParseCases[] = {
    {"comma and line end", "a,b\r\nc", {"a", "b", "c"}},
    {"quoted comma", "\"x,y\"\r\nz", {"x,y", "z"}},
    {"quoted without comma", "\"x\",y", {"x", "y"}},
    {"quoted line break", "\"a\r\nb\",c", {"a\r\nb", "c"}},
    {"text after closing quote", "\"ab\"cd,e\r\n\"f\" g\r\nh", {"ab", "e", "f", "h"}},
    {"empty quoted", "\"\"\r\n\"\"", {"", ""}},
    {"empty lines", "a\r\n\r\nb\n\nc\r\rd", {"a", "", "b", "", "c", "", "d"}},
    {"empty between commas", ",,x", {"", "", "x"}},
    {"leading blanks", " \t a,\tb,  \"q\"", {"a", "b", "q"}},
    {"trailing blanks", "a  \t,b \r\nc\t", {"a", "b", "c"}},
    {"inner blanks kept", "a b\t c", {"a b\t c"}},
    {"quote inside bare field", "a\"b\",c", {"a\"b\"", "c"}},
    {"lone CR and lone LF", "a\rb\nc\r\n\rd", {"a", "b", "c", "", "d"}},
    {"LF CR is two line ends", "a\n\rb", {"a", "", "b"}},
    {"empty file", "", {}},
    {"blanks then end", "a\r\n  \t", {"a"}},
    {"comma then end", "a,", {"a"}},
    {"unterminated quote", "x\r\n\"abc,\r\ndef ", {"x", "abc,\r\ndef "}},
    // 0x5C trail bytes (表, ソ) and an NEC duplicate (0x8790) a Unicode trip would alter.
    {"Shift-JIS bytes",
     "\x95\x5C,\x83\x5C\r\n\"\x87\x90 \x95\x5C,\"\r\n\x83\x5C ",
     {"\x95\x5C", "\x83\x5C", "\x87\x90 \x95\x5C,", "\x83\x5C"}},
};

TEST(FieldReaderTest, ReadsEachCaseWhateverTheReadSize) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadAll(c.input), c.fields);
    MeteredSource trickle(c.input, 1);
    EXPECT_EQ(ReadAll(trickle), c.fields);
  }
}

TEST(ReadFieldsTest, ReadsNoMoreOfTheFileThanTheFieldsNeed) {
  std::string input = Join(Numbered(1, 25)) + std::string(4 * kCopyChunk, 'x');
  MeteredSource source(input, SIZE_MAX);
  ASSERT_TRUE(ReadFields(source, kFieldCount));
  EXPECT_LE(source.served, kCopyChunk);
}

TEST(ReadFieldsTest, LetsSourceErrorsThrough) {
  struct BrokenSource : ByteSource {
    std::size_t Read(char*, std::size_t) override { throw std::runtime_error("read"); }
  } broken;
  EXPECT_THROW(ReadFields(broken, kFieldCount), std::runtime_error);
}

struct RewriteCase {
  const char* name;
  std::string input;
  std::optional<std::string> output;
};

TEST(RewriteDataFileTest, KeepsTwentyFiveFieldsAndSetsTheSeventh) {
  Fields want = Numbered(1, 25);
  want[6] = "kolven10";
  Fields split = Numbered(1, 25);
  split[2] = "a,b";
  Fields split_want = {"L1", "L2", "a", "b", "L4", "L5", "kolven10"};
  for (const std::string& line : Numbered(7, 24)) split_want.push_back(line);
  std::string unended = Join(Numbered(1, 25));
  unended.resize(unended.size() - 2);

  const RewriteCase cases[] = {
      {"25 lines", Join(Numbered(1, 25)), Join(want)},
      {"30 lines", Join(Numbered(1, 30)), Join(want)},
      {"24 lines", Join(Numbered(1, 24)), std::nullopt},
      {"LF line ends", Join(Numbered(1, 25), "\n"), Join(want)},
      {"last line without line end", unended, Join(want)},
      {"comma splits line 3", Join(split), Join(split_want)},
      {"empty file", "", std::nullopt},
  };
  for (const RewriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    StringSource source(c.input);
    EXPECT_EQ(RewriteDataFile(source), c.output);
  }
}

TEST(WriteLinesTest, QuotesOnlyWhatWouldNotReadBackBare) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain\r\n"},       {"", "\r\n"},
      {"a b", "a b\r\n"},           {"a\"b", "a\"b\r\n"},
      {"\x95\x5C", "\x95\x5C\r\n"}, {"a,b", "\"a,b\"\r\n"},
      {" a", "\" a\"\r\n"},         {"a\t", "\"a\t\"\r\n"},
      {"a\rb", "\"a\rb\"\r\n"},     {"\n", "\"\n\"\r\n"},
  };
  for (const auto& [field, line] : cases) EXPECT_EQ(WriteLines({field}), line) << field;
}

TEST(WriteLinesTest, RejectsFieldsNoSpellingCanCarry) {
  for (const char* field : {"\"a", "a,\"b", " \""}) {
    EXPECT_THROW(WriteLines({"ok", field}), std::invalid_argument) << field;
  }
}

TEST(WriteLinesTest, WhatItWritesReadsBackTheSame) {
  Fields tricky = {"", " ", "\t", " a ", ",", "\r", "\n", "\r\n", "x\"", "a \"b\" c",
                   "\x83\x5C\r\n\x95\x5C", " \x87\x90"};
  for (const ParseCase& c : kParseCases) tricky.insert(tricky.end(), c.fields.begin(), c.fields.end());
  // As a whole file, and as the last of kFieldCount fields.
  EXPECT_EQ(ReadAll(WriteLines(tricky)), tricky);
  for (const std::string& field : tricky) {
    Fields fields(kFieldCount, "v");
    fields.back() = field;
    std::string written = WriteLines(fields);
    StringSource source(written);
    EXPECT_EQ(ReadFields(source, kFieldCount), fields) << field;
  }
}

}  // namespace
}  // namespace install
