// The rollback record: what a run writes before it replaces anything, and reads back after a kill,
// as bytes and back. Anyone who can write the folder can write one: nothing in it alone is proof.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace install {

// The file the run put at a destination, as a move or a copy by somebody else cannot fake it.
struct Placed {
  std::uint64_t id = 0;  // where the volume has hard links, and so stable ids; else 0
  std::uint64_t size = 0, hash = 0;  // where it has none
  bool old_hash = false;              // OldContentHash, in a record of version 3 or 4
};

struct JournalEntry {
  std::wstring name;  // in the folder
  bool existed = false;
  // The replaced file as it was, to tell it from another once its kept copy is gone: by its
  // time, or, where the volume has no stable ids (FAT, exFAT, whose times may not take or may
  // shift with the time zone), by its contents.
  std::uint64_t size = 0;
  std::uint64_t write_time = 0;
  std::uint64_t hash = 0;  // version 3, which kept copies where the volume has no hard links
  // None in a record of version 2, or of none: the disk alone judges.
  std::optional<Placed> placed;
  std::uint64_t old_id = 0;  // version 4, where the volume has hard links: a rename keeps it
  // Named by the record; a kept file the record leaves out is judged by the disk alone.
  bool recorded = true;
};

// What a report owes the user until a run installs everything: files an undo or a rollback
// could not put back because their kept copies are gone and they are not the old files, and
// files it kept aside rather than delete. Names in the folder.
struct Notes {
  std::vector<std::wstring> unrestored;
  std::vector<std::wstring> set_aside;
  bool empty() const { return unrestored.empty() && set_aside.empty(); }
  void Add(const Notes& other);
};

struct Journal {
  std::vector<JournalEntry> entries;
  Notes owed;
};

// The journal as bytes, and back. Parsing gives nothing for a journal cut short, with any line
// that does not read, with a name that is not one plain name of the folder's own files, or
// that says it created a file of `required`, which every run needs there before it starts.
std::string FormatJournal(const std::vector<JournalEntry>& entries, const Notes& owed = {});
std::optional<Journal> ParseJournal(const std::string& bytes, const std::vector<std::wstring>& required);

}  // namespace install
