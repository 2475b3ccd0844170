// A set of file replacements in one folder that happens whole or not at all, also across a
// killed run or a power cut.
//
// Every new file is first written beside its destination as NAME.setup-new, and every
// destination that exists is kept as NAME.setup-old (a hard link, or a copy where the volume
// has none); all of them are flushed. Then a journal is written and flushed in the folder: it
// names each destination and whether it existed. The staged files are renamed over their
// destinations, and renaming the journal away is the commit; only after it are the kept files
// deleted. A failure before the commit puts every destination back. A run killed before the
// commit leaves the journal, and the next run rolls the folder back from it
// (RecoverInterruptedRun) before anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/setup_error.h"
#include "install/retrying_files.h"

namespace install {

inline constexpr wchar_t kStagedSuffix[] = L".setup-new";
inline constexpr wchar_t kKeptSuffix[] = L".setup-old";
inline constexpr wchar_t kJournalName[] = L"setup.journal";
// All retries of one undo or rollback together, so that a held file delays it by seconds.
inline constexpr unsigned kUndoRetryBudgetMs = 4000;

struct JournalEntry {
  std::wstring name;  // in the folder
  bool existed = false;
};

// The journal as bytes, and back. Parsing gives nothing for a journal cut short (the run was
// killed while writing it, before any rename) and ignores names not among `known`.
std::string FormatJournal(const std::vector<JournalEntry>& entries);
std::optional<std::vector<JournalEntry>> ParseJournal(const std::string& bytes,
                                                      const std::vector<std::wstring>& known);

class FileTransaction {
 public:
  FileTransaction(RetryingFiles& files, std::wstring folder) : files_(files), folder_(std::move(folder)) {}
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;
  // Without a commit, everything staged is removed.
  ~FileTransaction();

  void StageCopy(const std::wstring& source, const std::wstring& name);
  void StageContents(const std::wstring& name, const std::string& bytes, std::uint32_t attributes);
  // Puts every staged file in place, in staging order, or, on failure, restores every
  // destination and rethrows; restore_incomplete is set when that could not be finished.
  void Commit();

 private:
  void Undo(common::SetupError* error) noexcept;

  RetryingFiles& files_;
  std::wstring folder_;
  std::vector<JournalEntry> entries_;
  bool journal_written_ = false;
  bool finished_ = false;
};

// What an interrupted run left in folder: rolls the folder back if a journal is there, then
// deletes the spare names of `names` and of the journal. Throws, with restore_incomplete, when
// the folder could not be restored.
void RecoverInterruptedRun(RetryingFiles& files, const std::wstring& folder,
                           const std::vector<std::wstring>& names);

}  // namespace install
