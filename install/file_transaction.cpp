#include "install/file_transaction.h"

#include <algorithm>
#include <utility>

#include "common/setup_error.h"

namespace install {
namespace {

// Ours are a few hundred bytes; anything larger is not ours to act on.
constexpr std::size_t kLongestJournal = 64 * 1024;

std::string ReadAtMost(ByteSource& source, std::size_t limit) {
  std::string bytes;
  while (bytes.size() <= limit) {
    const std::size_t had = bytes.size();
    bytes.resize(had + kCopyChunk);
    bytes.resize(had + source.Read(&bytes[had], kCopyChunk));
    if (bytes.size() == had) break;
  }
  return bytes;
}

// Whether the file still begins with what the run read of it.
bool BeginsWith(File& file, const std::string& read) {
  FromStart contents(file);
  return ReadAtMost(contents, read.size()).compare(0, read.size(), read) == 0;
}

struct Names {
  Names(const Folder& folder, const std::wstring& name)
      : destination(folder.Own(name)),
        staged(folder.Spare(Staged(name), name)),
        kept(folder.Spare(Kept(name), name)) {}
  Name destination, staged, kept;
};

// Whether a listing taken after the deletes has none of the names: a file that another program
// holds while sharing delete may keep its name until that program lets go (under Wine, and where
// a delete cannot take the name at once), and such a name counts as held. stop_at_failure: the
// first that is not gone is thrown instead.
bool AllGone(Folder& folder, const std::vector<Name>& deleted, bool stop_at_failure) {
  if (deleted.empty()) return true;
  const Listing after = folder.List();
  bool all = true;
  for (const Name& name : deleted) {
    if (!after.MayHold(name.name()) || !folder.Look(name).exists) continue;
    if (stop_at_failure) throw name.Error(common::kErrorSharingViolation);
    all = false;
  }
  return all;
}

// Deletes those of the program's spare names the folder lists (`known`, where the caller has
// just listed it); true when all are gone.
bool DeleteSpares(Folder& folder, const std::vector<Name>& spares, bool stop_at_failure,
                  const Listing* known = nullptr) {
  if (spares.empty()) return true;
  const Listing listed = known ? *known : folder.List();
  std::vector<Name> deleted;
  bool all = true;
  for (const Name& name : spares) {
    if (!listed.MayHold(name.name())) continue;
    try {
      folder.Delete(name);
      deleted.push_back(name);
    } catch (...) {
      if (stop_at_failure) throw;
      all = false;
    }
  }
  return AllGone(folder, deleted, stop_at_failure) && all;
}

// A kept file deleted through the open that set it aside, so that nothing put at a name since is
// touched. False where it must go by name instead: a read-only file, whose flag only an open
// that may write attributes clears, or a delete refused.
bool DeleteThrough(std::unique_ptr<File> kept) {
  if (!kept || kept->status().read_only) return false;
  try {
    kept->Delete();
    return true;
  } catch (const common::SetupError&) {
    return false;
  }
}

// The spare names of `names`, and then the committed journal. stop_at_failure: a run must not go
// on past a spare name it cannot delete; after a commit or an undo, what is left goes next time.
// kept_too: only after a commit, when the kept files are the old files the commit replaced; a
// kept file is otherwise deleted only where its file is back in place (RollBack). listed: the
// folder as the caller has just listed it, where nothing changed it since.
void DeleteSpareNames(Folder& folder, const std::vector<std::wstring>& names, bool stop_at_failure, bool kept_too,
                      std::optional<Listing> listed = std::nullopt) {
  std::vector<Name> spares{folder.Record(Staged(kJournalName))};
  for (const std::wstring& name : names) {
    const Names n(folder, name);
    spares.push_back(n.staged);
    if (kept_too) spares.push_back(n.kept);
  }
  if (!listed) listed = folder.List();
  const bool none = std::none_of(spares.begin(), spares.end(), [&](const Name& n) { return listed->MayHold(n.name()); });
  DeleteSpares(folder, spares, stop_at_failure, &*listed);
  // Last: while it is there, the kept files are the commit's to delete. The same listing serves
  // where the first found nothing to delete.
  DeleteSpares(folder, {folder.Record(Kept(kJournalName))}, stop_at_failure, none ? &*listed : nullptr);
}

// Writes the journal and has it on disk; returns it still open. Over an earlier one (that owes a
// note) it goes through a staged name, so that a kill leaves one whole journal or the other.
std::unique_ptr<File> WriteJournal(Folder& folder, const std::string& bytes, bool replacing) {
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<File> file =
      folder.CreateNew(replacing ? folder.Record(Staged(kJournalName)) : journal, 0);
  file->Write(bytes.data(), bytes.size());
  file->Flush();
  if (replacing) folder.RenameOver(*file, journal);
  return file;
}

// After a rollback and its tidying: the journal goes, unless a note is still owed, which a
// journal of only that note then carries to the run that installs everything. Whatever the
// rollback renamed and deleted is on disk first: a volume that writes folder entries out of
// order must not keep the journal's deletion and lose a rename back.
void SettleJournal(Folder& folder, const Notes& owed) {
  folder.FlushEntries();
  if (owed.empty()) {
    folder.Delete(folder.Record(kJournalName));
  } else {
    WriteJournal(folder, FormatJournal({}, owed), true);
  }
}

// Runs the steps of an undo: one that fails must not keep the others from restoring.
class UndoSteps {
 public:
  // A step the folder's restoring depends on; its first failure is kept.
  template <typename Step>
  void Must(Step&& step) {
    try {
      step();
    } catch (const common::SetupError& error) {
      if (!failure) failure = error;
    } catch (...) {
      if (!failure) failure = common::MakeError(common::kErrorInternal, {}, common::Cause::kUnexpected);
    }
  }

  std::optional<common::SetupError> failure;
  Notes notes;  // in list order, as the report names them
};

using SizeHash = std::pair<std::uint64_t, std::uint64_t>;

template <typename Hash = ContentHash>
SizeHash SizeAndHash(File& file) {
  Hash hash;
  FromStart contents(file);
  const std::unique_ptr<char[]> chunk(new char[kCopyChunk]);
  while (const std::size_t got = contents.Read(chunk.get(), kCopyChunk)) hash.Add(chunk.get(), got);
  return {hash.size(), hash.hash()};
}

// The size and contents of a file as one number; nothing when it is not there.
std::optional<SizeHash> SizeAndHash(Folder& folder, const Name& name) {
  const std::unique_ptr<File> file = folder.OpenForReading(name);
  if (!file || file->status().directory) return std::nullopt;
  return SizeAndHash(*file);
}

// What a rollback decides about one destination, from the record and from what each of its
// names holds, never from which of them exist.
class Judge {
 public:
  Judge(Folder& folder, const JournalEntry& entry, const Elsewhere& elsewhere)
      : folder_(folder), entry_(entry), elsewhere_(elsewhere), n_(folder, entry.name) {}
  const Names& names() const { return n_; }

  // The file the run put there, judged through the open that would move it. A record without
  // marks leaves it to CopyElsewhere alone.
  bool IsPlaced(File& file) {
    const FileStatus& now = file.status();
    if (!now.exists || now.directory) return false;
    if (!entry_.placed) return true;
    if (entry_.placed->id) return now.id == entry_.placed->id;
    const SizeHash placed{entry_.placed->size, entry_.placed->hash};
    if (entry_.placed->old_hash) return now.size == placed.first && SizeAndHash<OldContentHash>(file) == placed;
    return now.size == placed.first && Contents(file) == placed;
  }

  // The file the run replaced, put back already: as a rename keeps it.
  bool IsOld(const FileStatus& now) const {
    if (!now.exists || now.directory || now.size != entry_.size) return false;
    if (entry_.old_id) return now.id == entry_.old_id;
    return now.write_time == entry_.write_time;
  }

  // Whether removing the file loses nothing: its bytes are in the add-on folder under its name,
  // or it is 30.dat, made again from the old file kept beside it. Nothing in the record alone,
  // an id or a size, shows that.
  bool CopyElsewhere(File& file, bool old_kept) {
    const std::vector<std::wstring>& remade = elsewhere_.remade;
    if (old_kept && entry_.existed && std::find(remade.begin(), remade.end(), entry_.name) != remade.end()) return true;
    if (!elsewhere_.sources) return false;
    try {
      const std::optional<SizeHash> there = SizeAndHash(*elsewhere_.sources, elsewhere_.sources->Own(entry_.name));
      return there && there->first == file.status().size && *there == Contents(file);
    } catch (const common::SetupError&) {
      return false;  // unreadable there: no copy to count on
    }
  }

  // The kept file holds what the destination holds: its file back in place (a rename torn by a
  // power cut leaves both names, or a rollback cut short).
  bool IsBackInPlace(File& destination, const FileStatus& kept) {
    const FileStatus& now = destination.status();
    if (now.directory || kept.directory || now.size != kept.size) return false;
    if (now.id && now.id == kept.id) return true;
    const std::unique_ptr<File> file = folder_.OpenForReading(n_.kept);
    return file && SizeAndHash(*file) == Contents(destination);
  }

  // Renames `from` to the first free NAME.setup-bak name; returns that name.
  std::wstring SetAside(const Name& from) {
    for (int i = 1;; ++i) {
      const std::wstring aside = Aside(entry_.name, i);
      try {
        folder_.RenameAside(from, folder_.Spare(aside, entry_.name));
        return aside;
      } catch (const common::SetupError& error) {
        if (error.number != common::kErrorAlreadyExists || i == kAsideNames) throw;
      }
    }
  }

 private:
  SizeHash Contents(File& file) {
    if (!contents_) contents_ = SizeAndHash(file);
    return *contents_;
  }

  Folder& folder_;
  const JournalEntry& entry_;
  const Elsewhere& elsewhere_;
  Names n_;
  std::optional<SizeHash> contents_;  // of the destination's open
};

// Puts one destination back as it was before the commit began, judging every name by what it
// holds, so that it serves the run that failed, a later run, and a rollback that was itself
// interrupted. The run's own file is renamed aside through the open that judged it, and the kept
// file renamed back at once, never over anything; a destination that is not the run's own, or
// whose bytes exist nowhere else, stays, and its kept file is kept beside it. A kept file is
// deleted only where its file is back in place. noted: the record names it, whole; what cannot
// be put back is then owed to the report.
void PutBack(Folder& folder, const JournalEntry& entry, bool noted, const Elsewhere& elsewhere, Notes& notes) {
  Judge judge(folder, entry, elsewhere);
  const Names& n = judge.names();
  auto owe = [&](std::vector<std::wstring>& list, const std::wstring& name) { list.insert(list.begin(), name); };
  // A staged name holds the run's new file or a part of it, whatever else holds it too.
  const bool never_renamed = folder.Look(n.staged).exists;
  try {
    folder.Delete(n.staged);
  } catch (const common::SetupError& error) {
    // Held by a scanner, say: the tidying deletes it later; a folder there is in the way.
    if (IsInTheWay(error.cause)) throw;
  }
  const FileStatus kept = folder.Look(n.kept);
  // Not ours, and in the way of every run: the user's to remove.
  if (kept.directory) throw n.kept.Error(common::kErrorAccessDenied, common::Cause::kFolderAtOwnName);
  const bool old_kept = kept.exists;
  const bool old_lost = noted && entry.existed && !never_renamed;
  std::unique_ptr<File> now = folder.OpenToSetAside(n.destination);
  if (!now) {
    // Nothing there: the kept file goes back; without one, the old file is gone (deleted by
    // somebody else), unless the run never got to it.
    if (old_kept) {
      folder.RenameAside(n.kept, n.destination);
    } else if (old_lost) {
      owe(notes.unrestored, entry.name);
    }
    return;
  }
  if (now->status().directory) return;
  if (old_kept && judge.IsBackInPlace(*now, kept)) {
    now.reset();
    folder.Delete(n.kept, kept.id);  // only the file judged: one put at its name since stays
    return;
  }
  if (judge.IsPlaced(*now) && (!entry.existed || old_kept) && judge.CopyElsewhere(*now, old_kept)) {
    // Back to back: the run's file aside through the open that judged it, the old one back.
    folder.RenameAside(*now, n.staged);
    if (old_kept) {
      try {
        folder.RenameAside(n.kept, n.destination);
      } catch (const common::SetupError& error) {
        if (error.number != common::kErrorAlreadyExists) {
          // The old file cannot go back now (held): the run's file does, so that nothing is
          // missing there until the next run finishes the rollback.
          try {
            folder.RenameAside(*now, n.destination);
          } catch (const common::SetupError&) {
          }
          throw;
        }
        // A file put there in the moment between is somebody else's: it stays.
        owe(notes.set_aside, judge.SetAside(n.kept));
      }
    }
    now.reset();
    folder.Delete(n.staged);
    return;
  }
  const FileStatus status = now->status();
  now.reset();
  // Somebody else's, or the run's with no copy elsewhere: it stays, the old file beside it.
  if (old_kept) {
    owe(notes.set_aside, judge.SetAside(n.kept));
  } else if (old_lost && !judge.IsOld(status)) {
    owe(notes.unrestored, entry.name);
  }
}

// Every destination the record names, last first; one that fails keeps none of the others from
// being put back.
UndoSteps RollBack(Folder& folder, const std::vector<JournalEntry>& entries, bool journal_complete,
                   const Elsewhere& elsewhere) {
  UndoSteps steps;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const bool noted = journal_complete && entry->recorded;
    steps.Must([&] { PutBack(folder, *entry, noted, elsewhere, steps.notes); });
  }
  return steps;
}

}  // namespace

void AddTo(common::SetupError& error, const Folder& folder, const Restored& restored) {
  if (!restored.whole) error.restore_incomplete = true;
  auto add = [&](std::vector<std::wstring>& to, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
      const std::wstring path = folder.path() + name;
      if (std::find(to.begin(), to.end(), path) == to.end()) to.push_back(path);
    }
  };
  add(error.unrestored, restored.notes.unrestored);
  add(error.set_aside, restored.notes.set_aside);
}

FileTransaction::~FileTransaction() {
  if (!finished_) Undo();
}

FileTransaction::Step& FileTransaction::Begin(const std::wstring& name, std::unique_ptr<Replaced> replaced) {
  // Recorded before the file is written, so that a failure halfway still removes it.
  const FileStatus status = replaced ? replaced->status() : FileStatus{};
  Step& step = steps_.emplace_back();
  step.entry.name = name;
  step.entry.existed = status.exists;
  step.entry.size = status.size;
  step.entry.write_time = status.write_time;
  // Kept by the rename aside, where the volume's ids are stable.
  if (hard_links_) step.entry.old_id = status.id;
  step.replaced = std::move(replaced);
  return step;
}

void FileTransaction::StageCopy(File& source, const std::wstring& name, std::unique_ptr<Replaced> replaced) {
  Step& step = Begin(name, std::move(replaced));
  const std::uint32_t attributes = step.replaced ? step.replaced->status().attributes : 0;
  // Where the volume's ids are stable the new file is known by its id, and its contents need no
  // number; should the file system give it none, the source, which nobody may write while it is
  // held, is read once more.
  ContentHash hash;
  step.staged = folder_.CopyToNew(source, Names(folder_, name).staged, attributes, hard_links_ ? nullptr : &hash);
  unflushed_.push_back(step.staged.get());
  KeepPermissions(step);
  if (hard_links_) step.placed.id = step.staged->Id();
  if (step.placed.id) return;
  const SizeHash contents = hard_links_ ? SizeAndHash(source) : SizeHash{hash.size(), hash.hash()};
  step.placed.size = contents.first;
  step.placed.hash = contents.second;
}

void FileTransaction::StageContents(const std::wstring& name, const std::string& bytes,
                                    std::unique_ptr<Replaced> replaced, std::optional<std::string> made_from) {
  Step& step = Begin(name, std::move(replaced));
  step.made_from = std::move(made_from);
  const std::uint32_t attributes = step.replaced ? step.replaced->status().attributes : 0;
  step.staged = folder_.CreateNew(Names(folder_, name).staged, attributes);
  unflushed_.push_back(step.staged.get());
  KeepPermissions(step);
  step.staged->Write(bytes.data(), bytes.size());
  ContentHash hash;
  hash.Add(bytes.data(), bytes.size());
  step.placed.size = hash.size();
  step.placed.hash = hash.hash();
}

// A replacement keeps what the user set on the file itself, as ReplaceFile keeps its DACL: an old
// game under Program Files often needs Users to be able to write it.
void FileTransaction::KeepPermissions(Step& step) {
  if (!step.replaced) return;
  const std::string permissions = step.replaced->Permissions();
  if (!permissions.empty()) step.staged->SetPermissions(permissions);
}

void FileTransaction::Commit() {
  try {
    Flush();
    Record();
    Rename();
    CommitRecord();
  } catch (common::SetupError& error) {
    AddTo(error, folder_, Undo());
    throw;
  } catch (...) {
    Undo();
    throw;
  }
  Tidy();
}

// Everything the rollback may need is on disk before the journal says it is there.
void FileTransaction::Flush() {
  for (File* file : unflushed_) file->Flush();
  unflushed_.clear();
}

// The record of every destination, on disk before anything is renamed, its folder entry and the
// staged files' too: a volume that writes entries out of order must not lose them behind a rename.
void FileTransaction::Record() {
  std::vector<JournalEntry> entries;
  for (Step& step : steps_) {
    if (hard_links_ && !step.placed.id) step.placed.id = step.staged->Id();
    step.entry.placed = step.placed;
    entries.push_back(step.entry);
  }
  journal_ = WriteJournal(folder_, FormatJournal(entries, owed_), !owed_.empty());
  journal_written_ = true;
  folder_.FlushEntries();
}

bool FileTransaction::IsAsLookedAt(const Step& step, const FileStatus& now) const {
  return now.exists && !now.directory && now.size == step.entry.size && now.write_time == step.entry.write_time &&
         (!hard_links_ || now.id == step.entry.old_id);
}

// The destination opened so that nobody else can rename or delete it, and through that open still
// the file the run looked at; one the new file was made from also by its bytes, which a time the
// volume keeps coarsely, or not at all, cannot vouch for. Otherwise what another program or the
// user put there meanwhile would be lost.
std::unique_ptr<File> FileTransaction::OpenUnchanged(Step& step, const Name& name) {
  step.replaced.reset();  // its open shares delete, which the new one refuses
  std::unique_ptr<File> file = folder_.OpenToSetAside(name);
  const bool same =
      file && IsAsLookedAt(step, file->status()) && (!step.made_from || BeginsWith(*file, *step.made_from));
  if (!same) throw folder_.Own(step.entry.name).Error(common::kErrorFileInvalid, common::Cause::kChangedMeanwhile);
  return file;
}

// In staging order, the data file last. Both opens are made before the first rename, so that
// nothing but the second comes between the two; neither rename replaces anything.
void FileTransaction::Rename() {
  for (Step& step : steps_) {
    const Names n(folder_, step.entry.name);
    if (step.entry.existed) step.kept = OpenUnchanged(step, n.destination);
    step.renaming = true;
    if (step.kept) folder_.RenameAside(*step.kept, n.kept);
    try {
      folder_.RenameAside(*step.staged, n.destination);
    } catch (const common::SetupError& error) {
      // Put there in the instant between: somebody else's, which the undo leaves as it is.
      if (error.number != common::kErrorAlreadyExists) throw;
      throw n.destination.Error(common::kErrorFileInvalid, common::Cause::kChangedMeanwhile);
    }
    step.staged.reset();
    // The open shares writing: a write in place since the check went to the old file, now kept,
    // and the undo puts it back.
    if (step.kept && step.made_from && !BeginsWith(*step.kept, *step.made_from)) {
      throw n.destination.Error(common::kErrorFileInvalid, common::Cause::kChangedMeanwhile);
    }
  }
  // Every rename on disk before the commit can be: no volume may keep the commit and lose one.
  folder_.FlushEntries();
}

// The commit: the journal renamed away.
void FileTransaction::CommitRecord() {
  folder_.RenameOver(*journal_, folder_.Record(Kept(kJournalName)));
  finished_ = true;
  try {
    folder_.FlushEntries();
    committed_on_disk_ = true;
  } catch (const common::SetupError&) {
    // Committed all the same: a power cut now leaves the record, and the next run rolls back, so
    // the kept files stay until the commit is known to be on disk.
  }
}

// Installed: what is left is the committed record and the kept files, every staged file having
// been renamed into place. The committed record goes last, once the kept files' deletion is on
// disk: without it, a kept file is not the commit's to delete. What cannot go now, the next run
// removes.
void FileTransaction::Tidy() {
  if (!committed_on_disk_) return;
  std::vector<Name> deleted, by_name;
  for (Step& step : steps_) {
    if (!step.entry.existed) continue;
    const Name kept = Names(folder_, step.entry.name).kept;
    (DeleteThrough(std::move(step.kept)) ? deleted : by_name).push_back(kept);
  }
  try {
    if (!DeleteSpares(folder_, by_name, false) || !AllGone(folder_, deleted, false)) return;
    folder_.FlushEntries();
    DeleteThrough(std::move(journal_));  // the open it was renamed through
  } catch (...) {
  }
}

Restored FileTransaction::Undo() noexcept {
  finished_ = true;
  // Every handle of ours goes first: a name cannot be deleted or renamed while it is open.
  // Only the destinations the renames reached are judged: one never opened to be set aside is
  // as the run found it, and a program that holds it for good must not keep the undo from ending.
  std::vector<JournalEntry> entries;
  std::vector<std::wstring> names;
  for (Step& step : steps_) {
    if (step.renaming) entries.push_back(step.entry);
    names.push_back(step.entry.name);
    step.replaced.reset();
    step.staged.reset();
    step.kept.reset();
  }
  unflushed_.clear();
  journal_.reset();
  Restored restored{true, owed_};
  WaitBudget budget{kUndoRetryBudgetMs};
  Folder folder(folder_, budget);
  if (journal_written_) {
    UndoSteps steps = RollBack(folder, entries, true, elsewhere_);
    restored.notes.Add(steps.notes);
    // Then the journal stays, and with it every kept file: the next run restores the folder.
    if (steps.failure) return Restored{false, restored.notes};
  }
  try {
    DeleteSpareNames(folder, names, false, false);
  } catch (...) {
  }
  // Last, so that a run killed while tidying still finds what it needs; without a note owed, a
  // journal written but never flushed goes too. What cannot go now, the next run finishes.
  try {
    SettleJournal(folder, restored.notes);
  } catch (...) {
  }
  return restored;
}

Notes RecoverInterruptedRun(Folder& folder, const std::vector<std::wstring>& names,
                            const std::vector<std::wstring>& required, const Elsewhere& elsewhere) {
  auto read_journal = [&](File& file) {
    FromStart contents(file);
    return ParseJournal(ReadAtMost(contents, kLongestJournal), required);
  };
  // Only names the folder lists are opened: the program's own are there after a kill alone.
  const Listing listed = folder.List();
  auto exists = [&](const Name& name) { return listed.MayHold(name.name()) && folder.Look(name).exists; };
  auto open = [&](const Name& name) { return listed.MayHold(name.name()) ? folder.OpenForReading(name) : nullptr; };
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<File> record = open(journal);
  if (record && record->status().directory) {
    // Not ours, and in the way of every run: the user's to remove, before anything changes.
    throw journal.Error(common::kErrorAccessDenied, common::Cause::kFolderAtOwnName);
  }
  const bool recorded = record != nullptr;
  const bool committed = !recorded && exists(folder.Record(Kept(kJournalName)));
  Restored restored;
  std::vector<std::wstring> spare = names;
  Journal read;
  bool complete = false;
  if (!record) {
    // A journal being put in place over one that owed a note, cut between the two names (a power
    // cut on FAT): nothing was renamed yet, and only the note is to be kept.
    std::unique_ptr<File> staged = open(folder.Record(Staged(kJournalName)));
    if (staged && !staged->status().directory) {
      if (const std::optional<Journal> parsed = read_journal(*staged)) restored.notes = parsed->owed;
    }
  } else {
    const std::optional<Journal> parsed = read_journal(*record);
    record.reset();  // closed before it is replaced or deleted
    complete = parsed.has_value();
    if (parsed) read = *parsed;
    restored.notes = read.owed;
  }
  // Every name with a kept file that the record does not name (or with no record at all, none
  // committed) is judged by the disk alone: without a whole record nothing is removed, and
  // without any a kept file only goes back where nothing is or is kept beside.
  if (!committed) {
    for (const std::wstring& name : names) {
      const bool named = std::any_of(read.entries.begin(), read.entries.end(),
                                     [&](const JournalEntry& entry) { return entry.name == name; });
      if (named || ((complete || !recorded) && !exists(Names(folder, name).kept))) {
        continue;
      }
      JournalEntry& entry = read.entries.emplace_back();
      entry.name = name;
      entry.existed = true;
      entry.recorded = false;
    }
  }
  // Every file the record names, whichever version wrote it.
  for (const JournalEntry& entry : read.entries) {
    if (std::find(spare.begin(), spare.end(), entry.name) == spare.end()) spare.push_back(entry.name);
  }
  if (!read.entries.empty()) {
    WaitBudget budget{kUndoRetryBudgetMs};
    Folder patient(folder, budget);
    UndoSteps steps = RollBack(patient, read.entries, complete, recorded ? elsewhere : Elsewhere{});
    restored.notes.Add(steps.notes);
    if (steps.failure) {
      common::SetupError failure = *steps.failure;
      // A name in the way is named for the user to remove; the rollback is finished after that.
      restored.whole = IsInTheWay(failure.cause);
      AddTo(failure, folder, restored);
      throw failure;
    }
  }
  try {
    // A commit finished but not tidied, or a transaction that never got to its journal: the
    // spare names hold nothing the folder needs. The journal goes only after them, so that a
    // tidying that stops here is done again, with its note, by the next run.
    DeleteSpareNames(folder, spare, true, committed, read.entries.empty() ? std::optional(listed) : std::nullopt);
    if (recorded || !restored.notes.empty()) SettleJournal(folder, restored.notes);
  } catch (common::SetupError& error) {
    AddTo(error, folder, Restored{true, restored.notes});
    throw;
  }
  return restored.notes;
}

}  // namespace install
