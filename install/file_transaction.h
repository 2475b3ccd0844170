// A set of file replacements in one folder that happens whole or not at all, also across a
// killed run or a power cut.
//
// Every new file is first written beside its destination as NAME.setup-new and flushed. Then a
// journal is written and flushed in the folder: it names each destination, whether it existed
// and, if it did, what it was, and the new file by what a move cannot fake. Each destination is
// then opened so that nobody else can rename or delete it, checked through that open, renamed
// through it to NAME.setup-old, and the staged file renamed to NAME at once; neither rename
// replaces anything. Renaming the journal away is the commit; only after it are the kept files
// deleted. A failure before the commit puts every destination back the same way. A run killed
// before the commit leaves the journal, and the next run rolls the folder back from it
// (RecoverInterruptedRun) before anything else. A rollback removes a destination only while it
// is still the file the run put there and its bytes exist elsewhere: one put there by somebody
// else since is theirs, and stays.
//
// The transaction's own names never reach the user: they are spare names of their destinations,
// or stand for the folder (the lock and the journal); only a name in the way is named as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/setup_error.h"
#include "install/folder.h"

namespace install {

inline constexpr wchar_t kStagedSuffix[] = L".setup-new";
inline constexpr wchar_t kKeptSuffix[] = L".setup-old";
// A file a rollback cannot tell from one somebody else put there is never deleted: it is kept
// under NAME.setup-bak, or .setup-bak2 to .setup-bak9 where that is taken, and the report names it.
inline constexpr wchar_t kAsideSuffix[] = L".setup-bak";
inline constexpr wchar_t kJournalName[] = L"setup.journal";
// Held, without sharing, by the run that works on the folder; gone when it ends.
inline constexpr wchar_t kLockName[] = L"setup.lock";
// What the transaction adds to a destination's name, at most, and its longest name of its own.
inline constexpr std::size_t kLongestSpareSuffix = 11;         // ".setup-bak9"
inline constexpr std::size_t kLongestOwnName = 13 + 10;        // "setup.journal.setup-old"
// All retries of one undo or rollback together, so that a held file delays it by seconds.
inline constexpr unsigned kUndoRetryBudgetMs = 4000;

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

// What an undo or a rollback achieved: whether the folder is as it was (or else its record
// stays for the next run to finish the job), and what it owes the report.
struct Restored {
  bool whole = true;
  Notes notes;
};

// The one place where what an undo achieved meets the failure that caused it.
void AddTo(common::SetupError& error, const Folder& folder, const Restored& restored);

// Where the contents of a new file the rollback would remove may also be, so that removing it
// loses nothing. Where neither holds them the file stays, and its kept old file beside it.
struct Elsewhere {
  Folder* sources = nullptr;          // the files the run copied, under their own names
  std::vector<std::wstring> remade;   // new contents the next run makes again from the old file
};

// Takes the folder's lock, or reports that another setup.exe holds it.
std::unique_ptr<File> LockFolder(Folder& folder);

class FileTransaction {
 public:
  // owed: what RecoverInterruptedRun owes the report; the journal carries it until the commit.
  // hard_links: whether the volume has them, and with them stable file ids.
  FileTransaction(Folder& folder, bool hard_links, Elsewhere elsewhere = {}, Notes owed = {})
      : folder_(folder), hard_links_(hard_links), elsewhere_(std::move(elsewhere)), owed_(std::move(owed)) {}
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;
  // Without a commit, everything staged is removed.
  ~FileTransaction();

  // replaced: the destination, held open since it was looked at; null where there is none.
  void StageCopy(File& source, const std::wstring& name, std::unique_ptr<Replaced> replaced);
  // made_from: the destination's contents as read, from its start, which it must still hold
  // when it is replaced. Any destination changed since it was looked at fails the commit.
  void StageContents(const std::wstring& name, const std::string& bytes, std::unique_ptr<Replaced> replaced,
                     std::optional<std::string> made_from = std::nullopt);
  // Puts every staged file in place, in staging order, or, on failure, restores every
  // destination and rethrows with what the undo achieved.
  void Commit();

 private:
  struct Step {
    JournalEntry entry;
    std::unique_ptr<Replaced> replaced;  // let go when it is opened to be set aside
    std::unique_ptr<File> staged;        // open until it is renamed into place
    Placed placed;
    std::optional<std::string> made_from;
    bool renaming = false;  // from just before its first rename: what an undo must put back
  };
  bool IsAsLookedAt(const Step& step, const FileStatus& now) const;
  std::unique_ptr<File> OpenUnchanged(Step& step, const Name& name);
  void KeepPermissions(Step& step);
  Step& Begin(const std::wstring& name, std::unique_ptr<Replaced> replaced);
  // The commit's steps, in order.
  void Flush();
  void Record();  // written and flushed
  void Rename();
  void CommitRecord();
  void Tidy();
  Restored Undo() noexcept;

  Folder& folder_;
  const bool hard_links_;
  const Elsewhere elsewhere_;
  std::vector<Step> steps_;
  std::vector<File*> unflushed_;                    // written and not yet on disk
  std::unique_ptr<File> journal_;
  Notes owed_;
  bool journal_written_ = false;
  bool committed_on_disk_ = false;
  bool finished_ = false;
};

// What an interrupted run left in the folder: rolls it back if a journal is there, then
// deletes the spare names of `names` and of the journal's, and the journal last. Throws, with
// what the rollback achieved, when the folder could not be restored, and refuses a folder in the
// journal's place. Returns what the report owes, an earlier run's notes included; the rest is
// restored all the same. While it owes anything, the journal stays and holds only that.
Notes RecoverInterruptedRun(Folder& folder, const std::vector<std::wstring>& names,
                            const std::vector<std::wstring>& required, const Elsewhere& elsewhere);

}  // namespace install
