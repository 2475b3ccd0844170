// A set of file replacements in one folder that happens whole or not at all, also across a
// killed run or a power cut.
//
// Every new file is first written beside its destination as NAME.setup-new, and every
// destination that exists is kept as NAME.setup-old (a hard link, or a copy where the volume
// has none); all of them are flushed. Then a journal is written and flushed in the folder: it
// names each destination, whether it existed and, if it did, its size and last write. The staged
// files are renamed over their destinations, and renaming the journal away is the commit; only
// after it are the kept files deleted. A failure before the commit puts every destination back.
// A run killed before the commit leaves the journal, and the next run rolls the folder back
// from it (RecoverInterruptedRun) before anything else.
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
#include "install/retrying_files.h"

namespace install {

inline constexpr wchar_t kStagedSuffix[] = L".setup-new";
inline constexpr wchar_t kKeptSuffix[] = L".setup-old";
inline constexpr wchar_t kJournalName[] = L"setup.journal";
// Held, without sharing, by the run that works on the folder; gone when it ends.
inline constexpr wchar_t kLockName[] = L"setup.lock";
// What the transaction adds to a destination's name, at most, and its longest name of its own.
inline constexpr std::size_t kLongestSpareSuffix = 10;         // ".setup-new", ".setup-old"
inline constexpr std::size_t kLongestOwnName = 13 + 10;        // "setup.journal.setup-old"
// All retries of one undo or rollback together, so that a held file delays it by seconds.
inline constexpr unsigned kUndoRetryBudgetMs = 4000;

struct JournalEntry {
  std::wstring name;  // in the folder
  bool existed = false;
  // The replaced file as it was, to tell it from another once its kept copy is gone.
  std::uint64_t size = 0;
  std::uint64_t write_time = 0;
};

// What a journal holds: the destinations of the run that wrote it, and the files an earlier
// rollback could not put back, whose note is owed until a run installs everything.
struct Journal {
  std::vector<JournalEntry> entries;
  std::vector<std::wstring> unrestored;  // names in the folder
};

// The journal as bytes, and back. Parsing gives nothing for a journal cut short or with any line
// that does not read, and ignores names not among `known`.
std::string FormatJournal(const std::vector<JournalEntry>& entries, const std::vector<std::wstring>& unrestored = {});
std::optional<Journal> ParseJournal(const std::string& bytes, const std::vector<std::wstring>& known);

// What an undo or a rollback achieved: whether the folder is as it was (or else its record
// stays for the next run to finish the job), and the files it could not put back because
// their kept copies are gone and they are not the old files.
struct Restored {
  bool whole = true;
  std::vector<std::wstring> unrestored;  // names in the folder
};

// The one place where what an undo achieved meets the failure that caused it.
void AddTo(common::SetupError& error, const Folder& folder, const Restored& restored);

// Takes the folder's lock, or reports that another setup.exe holds it.
std::unique_ptr<HeldLock> LockFolder(RetryingFolder& folder);

class FileTransaction {
 public:
  // owed: what RecoverInterruptedRun could not put back; the journal carries it until the commit.
  FileTransaction(RetryingFolder& folder, std::vector<std::wstring> owed = {})
      : folder_(folder), owed_(std::move(owed)) {}
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;
  // Without a commit, everything staged is removed.
  ~FileTransaction();

  // replaced: the destination, held open since it was looked at; null where there is none.
  void StageCopy(SourceFile& source, const std::wstring& name, std::unique_ptr<Replaced> replaced);
  void StageContents(const std::wstring& name, const std::string& bytes, std::unique_ptr<Replaced> replaced);
  // Puts every staged file in place, in staging order, or, on failure, restores every
  // destination and rethrows with what the undo achieved.
  void Commit();

 private:
  struct Step {
    JournalEntry entry;
    std::unique_ptr<Replaced> replaced;  // let go once it is kept aside
    std::unique_ptr<NewFile> staged;     // open until it is renamed into place
  };
  Step& Begin(const std::wstring& name, std::unique_ptr<Replaced> replaced);
  // The commit's steps, in order.
  void Keep();
  void Flush();
  void Record();  // written and flushed
  void Rename();
  void CommitRecord();
  void Tidy();
  Restored Undo() noexcept;

  RetryingFolder& folder_;
  std::vector<Step> steps_;
  std::vector<std::unique_ptr<NewFile>> kept_copies_;  // where the volume has no hard links
  std::vector<NewFile*> unflushed_;                    // written and not yet on disk
  std::unique_ptr<NewFile> journal_;
  std::vector<std::wstring> owed_;
  bool journal_written_ = false;
  bool finished_ = false;
};

// What an interrupted run left in the folder: rolls it back if a journal is there, then
// deletes the spare names of `names` and of the journal, and the journal last. Throws, with what
// the rollback achieved, when the folder could not be restored, and refuses a folder in the
// journal's place. Returns the names that could not be put back because their kept copies are
// gone and they are not the old files, those an earlier run owed included; the rest is restored
// all the same. While there are any, the journal stays and names only them.
std::vector<std::wstring> RecoverInterruptedRun(RetryingFolder& folder, const std::vector<std::wstring>& names);

}  // namespace install
