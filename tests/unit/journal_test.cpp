#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "install/content_hash.h"
#include "install/journal.h"

namespace {

// A journal cut short was being written when the run died: nothing had been renamed yet. A line
// that does not read, or names anything but one plain file of the folder's own, is damage.
TEST(Journal, ReadsBackWhatWasWrittenAndNothingElse) {
  const std::vector<std::wstring> required{L"30.dat"};
  const std::vector<install::JournalEntry> entries{
      {L"21.dat", true, 12, 34, 0, install::Placed{7, 0, 0}, 56},
      {L"15.dat", false, 0, 0, 0, install::Placed{0, 9, 10}},
      {L"74.dat", false, 0, 0, 0, install::Placed{11, 0, 0}},  // another version's file: followed too
      {L"30.dat", true, 18446744073709551615u, 0, 0, install::Placed{18446744073709551615u, 0, 0}, 1}};
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
    EXPECT_EQ(read->entries[i].old_id, entries[i].old_id);
    ASSERT_TRUE(read->entries[i].placed);
    EXPECT_EQ(read->entries[i].placed->id, entries[i].placed->id);
    EXPECT_EQ(read->entries[i].placed->size, entries[i].placed->size);
    EXPECT_EQ(read->entries[i].placed->hash, entries[i].placed->hash);
  }
  EXPECT_FALSE(read->entries[0].placed->old_hash);
  // Version 3 named the old file by its contents where later ones name it by its id; 3 and 4
  // marked the new files with the old hash.
  for (const char* version : {"journal 3", "journal 4"}) {
    std::string older = journal;
    older.replace(older.find("journal 5"), 9, version);
    const auto read_older = install::ParseJournal(older, required);
    ASSERT_TRUE(read_older) << version;
    const bool three = version == std::string("journal 3");
    EXPECT_EQ(read_older->entries[0].hash, three ? 56u : 0u) << version;
    EXPECT_EQ(read_older->entries[0].old_id, three ? 0u : 56u) << version;
    EXPECT_TRUE(read_older->entries[1].placed->old_hash) << version;
  }
  for (const char* version : {"journal 1", "journal 6", "journal 55", "journal x"}) {
    std::string unknown = journal;
    unknown.replace(unknown.find("journal 5"), 9, version);
    EXPECT_FALSE(install::ParseJournal(unknown, required)) << version;
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
        "unrestored setup.lock\r\n", "created 21.dat.setup-bak 1 2 3\r\n",
        // Not a name the program writes: it writes plain ASCII.
        "created s\xc8ve01.sav 1 2 3\r\n"}) {
    std::string damaged = journal;
    damaged.insert(damaged.find("end"), damage);
    EXPECT_FALSE(install::ParseJournal(damaged, required)) << damage;
  }
}

// Known values of XXH64 (seed 0), as xxhsum -H1 gives them, fed whole and in any two pieces.
TEST(ContentHash, IsXxh64HoweverTheBytesArrive) {
  auto repeated = [](int count, int times) {
    std::string bytes;
    for (int t = 0; t < times; ++t)
      for (int i = 0; i < count; ++i) bytes += static_cast<char>(i);
    return bytes;
  };
  const std::pair<std::string, std::uint64_t> known[] = {{"", 0xef46db3751d8e999ull},
                                                         {"abc", 0x44bc2cf5ad770999ull},
                                                         {repeated(31, 1), 0xc346d2b59b4d8ee1ull},
                                                         {repeated(256, 3), 0x8e03c838c596036full},
                                                         {repeated(255, 3), 0x21a9c63eeefb6050ull}};
  for (const auto& [bytes, value] : known) {
    for (std::size_t cut = 0; cut <= bytes.size(); cut += bytes.size() > 64 ? 7 : 1) {
      install::ContentHash hash;
      hash.Add(bytes.data(), cut);
      hash.Add(bytes.data() + cut, bytes.size() - cut);
      EXPECT_EQ(hash.hash(), value) << bytes.size() << " cut at " << cut;
      EXPECT_EQ(hash.size(), bytes.size());
    }
  }
}

}  // namespace
