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
// The transaction's own names never reach the user: its errors name the destination, or the
// folder for the lock and the journal; only a link is named as it is, for the user to remove.
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

// Adds folder + each name to the error's files that could not be put back, once each.
void AddUnrestored(common::SetupError& error, const std::wstring& folder, const std::vector<std::wstring>& names);

// Takes the folder's lock, or reports that another setup.exe holds it.
std::unique_ptr<HeldLock> LockFolder(RetryingFiles& files, const std::wstring& folder);

class FileTransaction {
 public:
  // owed: what RecoverInterruptedRun could not put back; the journal carries it until the commit.
  FileTransaction(RetryingFiles& files, std::wstring folder, std::vector<std::wstring> owed = {})
      : files_(files), folder_(std::move(folder)), owed_(std::move(owed)) {}
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;
  // Without a commit, everything staged is removed.
  ~FileTransaction();

  // replaced: the destination as it stands, looked at before anything of it is written.
  void StageCopy(const std::wstring& source, const std::wstring& name, const FileStatus& replaced);
  void StageContents(const std::wstring& name, const std::string& bytes, const FileStatus& replaced);
  // Puts every staged file in place, in staging order, or, on failure, restores every
  // destination and rethrows; restore_incomplete is set when that could not be finished.
  void Commit();

 private:
  void Undo(common::SetupError* error) noexcept;

  RetryingFiles& files_;
  std::wstring folder_;
  std::vector<JournalEntry> entries_;
  std::vector<std::wstring> owed_;
  bool journal_written_ = false;
  bool finished_ = false;
};

// What an interrupted run left in folder: rolls the folder back if a journal is there, then
// deletes the spare names of `names` and of the journal, and the journal last. Throws, with
// restore_incomplete, when the folder could not be restored, and refuses a folder in the
// journal's place. Returns the names that could not be put back because their kept copies are
// gone and they are not the old files, those an earlier run owed included; the rest is restored
// all the same. While there are any, the journal stays and names only them.
std::vector<std::wstring> RecoverInterruptedRun(RetryingFiles& files, const std::wstring& folder,
                                                const std::vector<std::wstring>& names);

}  // namespace install
