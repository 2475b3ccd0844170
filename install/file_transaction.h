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
#include "install/journal.h"
#include "install/own_names.h"

namespace install {

// All retries of one undo or rollback together, so that a held file delays it by seconds.
inline constexpr unsigned kUndoRetryBudgetMs = 4000;

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
    std::unique_ptr<File> kept;          // the old file, from its check until it is deleted
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
