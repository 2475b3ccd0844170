#include "install/journal.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "install/own_names.h"

namespace install {
namespace {

// Version 5 marks the new files with ContentHash. Version 4 named the old file by what a rename
// keeps, as 5 does, and marked the new ones with OldContentHash; version 3 named the old file by
// its contents, where it was kept as a copy; version 2 had no marks of the new files and no notes
// of files kept aside. Each is still read.
constexpr char kJournalHeader[] = "setup.exe rollback journal ";
constexpr int kJournalVersion = 5;
constexpr int kOldestJournalVersion = 2;
constexpr char kJournalEnd[] = "end";
enum class Kind { kReplaced, kCreated, kUnrestored, kAside };
constexpr std::pair<Kind, std::string_view> kWords[] = {
    {Kind::kReplaced, "replaced"}, {Kind::kCreated, "created"}, {Kind::kUnrestored, "unrestored"}, {Kind::kAside, "aside"}};
constexpr char kLineEnd[] = "\r\n";

// The names are the program's own and plain ASCII.
std::string Ascii(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void AddNew(std::vector<std::wstring>& to, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(name);
  }
}

// A line of the journal: its kind's word, then words each one space from the last.
std::string Line(Kind kind, const std::wstring& name, const std::vector<std::uint64_t>& numbers = {}) {
  std::string text(kWords[static_cast<int>(kind)].second);
  text += ' ' + Ascii(name);
  for (std::uint64_t number : numbers) text += ' ' + std::to_string(number);
  return text + kLineEnd;
}

struct ReadLine {
  Kind kind;
  std::wstring name;
  std::vector<std::uint64_t> numbers;
};

// Plain decimal that fits in 64 bits.
std::optional<std::uint64_t> Decimal(std::string_view digits) {
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto [stop, failure] = std::from_chars(digits.data(), end, value);
  if (failure != std::errc() || stop != end) return std::nullopt;
  return value;
}

// A known word, a plain name and decimal numbers, or nothing.
std::optional<ReadLine> Read(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0;;) {
    const std::size_t space = text.find(' ', at);
    words.push_back(text.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at));
    if (words.back().empty()) return std::nullopt;
    if (space == std::string_view::npos) break;
    at = space + 1;
  }
  const auto known = std::find_if(std::begin(kWords), std::end(kWords), [&](const auto& w) { return w.second == words[0]; });
  if (known == std::end(kWords) || words.size() < 2) return std::nullopt;
  // The names the program writes are plain ASCII: any other byte is no name of its own.
  ReadLine line{known->first, {}, {}};
  for (unsigned char c : words[1]) line.name += static_cast<wchar_t>(c < 0x80 ? c : 0);
  if (!IsPlainName(line.name)) return std::nullopt;
  for (std::size_t w = 2; w < words.size(); ++w) {
    const std::optional<std::uint64_t> number = Decimal(words[w]);
    if (!number) return std::nullopt;
    line.numbers.push_back(*number);
  }
  return line;
}

// The version a first line names, or 0.
int Version(const std::string& first) {
  const std::string_view header = kJournalHeader;
  if (first.size() != header.size() + 1 || first.compare(0, header.size(), header) != 0) return 0;
  const int version = first.back() - '0';
  return version >= kOldestJournalVersion && version <= kJournalVersion ? version : 0;
}

}  // namespace

void Notes::Add(const Notes& other) {
  AddNew(unrestored, other.unrestored);
  AddNew(set_aside, other.set_aside);
}

std::string FormatJournal(const std::vector<JournalEntry>& entries, const Notes& owed) {
  std::string text = kJournalHeader + std::to_string(kJournalVersion) + kLineEnd;
  for (const JournalEntry& entry : entries) {
    const Placed placed = entry.placed.value_or(Placed{});
    std::vector<std::uint64_t> numbers;
    if (entry.existed) numbers = {entry.size, entry.write_time, entry.old_id};
    numbers.insert(numbers.end(), {placed.id, placed.size, placed.hash});
    text += Line(entry.existed ? Kind::kReplaced : Kind::kCreated, entry.name, numbers);
  }
  for (const std::wstring& name : owed.unrestored) text += Line(Kind::kUnrestored, name);
  for (const std::wstring& name : owed.set_aside) text += Line(Kind::kAside, name);
  return text + kJournalEnd + kLineEnd;
}

std::optional<Journal> ParseJournal(const std::string& bytes, const std::vector<std::wstring>& required) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find(kLineEnd, at);
    if (end == std::string::npos) return std::nullopt;  // cut short
    lines.push_back(bytes.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() < 2 || lines.back() != kJournalEnd) return std::nullopt;
  const int version = Version(lines.front());
  if (!version) return std::nullopt;
  const bool marked = version >= 3;
  Journal journal;
  // Every line must read, whatever it names: one that does not is damage, never skipped.
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::optional<ReadLine> line = Read(lines[i]);
    if (!line) return std::nullopt;
    const std::wstring& name = line->name;
    const std::vector<std::uint64_t>& n = line->numbers;
    if (line->kind == Kind::kAside) {
      if (!marked || !n.empty() || !IsAsideName(name)) return std::nullopt;
      AddNew(journal.owed.set_aside, {name});
      continue;
    }
    if (IsOwnName(name)) return std::nullopt;
    if (line->kind == Kind::kUnrestored) {
      if (!n.empty()) return std::nullopt;
      AddNew(journal.owed.unrestored, {name});
      continue;
    }
    JournalEntry entry;
    entry.name = name;
    entry.existed = line->kind == Kind::kReplaced;
    // A file every run needs there before it starts cannot have been created by one.
    if (!entry.existed && std::find(required.begin(), required.end(), name) != required.end()) return std::nullopt;
    const std::size_t old_count = entry.existed ? (marked ? 3 : 2) : 0;
    if (n.size() != old_count + (marked ? 3 : 0)) return std::nullopt;
    if (entry.existed) {
      entry.size = n[0];
      entry.write_time = n[1];
      if (version == 3) entry.hash = n[2];
      if (version >= 4) entry.old_id = n[2];
    }
    if (marked) entry.placed = Placed{n[old_count], n[old_count + 1], n[old_count + 2], version < 5};
    journal.entries.push_back(entry);
  }
  return journal;
}

}  // namespace install
