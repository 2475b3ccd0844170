#include "install/file_transaction.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "common/setup_error.h"

namespace install {
namespace {

constexpr char kJournalHeader[] = "setup.exe rollback journal 2";
constexpr char kJournalEnd[] = "end";
constexpr char kReplacedWord[] = "replaced ";
constexpr char kCreatedWord[] = "created ";
constexpr char kUnrestoredWord[] = "unrestored ";
constexpr char kLineEnd[] = "\r\n";
// Ours are a few hundred bytes; anything larger is not ours to act on.
constexpr std::size_t kLongestJournal = 64 * 1024;

static_assert(kLongestSpareSuffix == std::char_traits<wchar_t>::length(kStagedSuffix) &&
              kLongestSpareSuffix == std::char_traits<wchar_t>::length(kKeptSuffix));
static_assert(kLongestOwnName == std::char_traits<wchar_t>::length(kJournalName) + kLongestSpareSuffix &&
              kLongestOwnName >= std::char_traits<wchar_t>::length(kLockName));

// The names are the program's own and plain ASCII.
std::string Ascii(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string ReadAtMost(ByteSource& source, std::size_t limit) {
  std::string bytes;
  char chunk[4096];
  while (bytes.size() <= limit) {
    const std::size_t got = source.Read(chunk, sizeof chunk);
    if (got == 0) break;
    bytes.append(chunk, got);
  }
  return bytes;
}

struct Names {
  Names(const Folder& folder, const std::wstring& name)
      : destination(folder.Own(name)),
        staged(folder.Spare(name + kStagedSuffix, name)),
        kept(folder.Spare(name + kKeptSuffix, name)) {}
  Name destination, staged, kept;
};

// The spare names of `names` and the committed journal. stop_at_failure: a run must not go on
// past a spare name it cannot delete; after a commit or an undo, what is left goes next time.
void DeleteSpareNames(Folder& folder, const std::vector<std::wstring>& names, bool stop_at_failure) {
  auto remove = [&](const Name& name) {
    try {
      folder.Delete(name);
    } catch (...) {
      if (stop_at_failure) throw;
    }
  };
  remove(folder.Record(std::wstring(kJournalName) + kKeptSuffix));
  remove(folder.Record(std::wstring(kJournalName) + kStagedSuffix));
  for (const std::wstring& name : names) {
    const Names n(folder, name);
    remove(n.staged);
    remove(n.kept);
  }
}

void AddNew(std::vector<std::wstring>& to, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(name);
  }
}

// Writes the journal and has it on disk; returns it still open. Over an earlier one (that owes a
// note) it goes through a staged name, so that a kill leaves one whole journal or the other.
std::unique_ptr<NewFile> WriteJournal(Folder& folder, const std::string& bytes, bool replacing) {
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<NewFile> file =
      folder.CreateNew(replacing ? folder.Record(std::wstring(kJournalName) + kStagedSuffix) : journal, 0);
  file->Write(bytes);
  file->Flush();
  if (replacing) file->RenameOver(journal);
  return file;
}

// After a rollback and its tidying: the journal goes, unless a note is still owed, which a
// journal of only that note then carries to the run that installs everything.
void SettleJournal(Folder& folder, const std::vector<std::wstring>& owed) {
  if (owed.empty()) return folder.Delete(folder.Record(kJournalName));
  WriteJournal(folder, FormatJournal({}, owed), true);
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
  std::vector<std::wstring> unrestored;
};

// Puts each destination back as it was before the commit began, judging by what is on disk, so
// that it serves the run that failed, a later run, and a rollback that was itself interrupted:
// a staged file still there was never renamed, so its destination is untouched. Without a
// complete journal every name is taken for one that may have been replaced, and a file is only
// ever moved back from its kept copy.
UndoSteps RollBack(Folder& folder, const std::vector<JournalEntry>& entries, bool journal_complete) {
  UndoSteps steps;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const Names n(folder, entry->name);
    std::optional<bool> renamed;
    steps.Must([&] { renamed = !folder.Look(n.staged).exists; });
    if (!renamed) continue;  // unknown: keep everything for the next run
    if (!*renamed) {
      // Its destination gone all the same (a replacing rename cut by a power cut on FAT, or
      // another program): the kept copy is the only old file left.
      steps.Must([&] {
        if (!folder.Look(n.destination).exists && folder.Look(n.kept).exists) folder.RenameOver(n.kept, n.destination);
      });
      continue;
    }
    if (entry->existed) {
      steps.Must([&] {
        if (folder.Look(n.kept).exists) return folder.RenameOver(n.kept, n.destination);
        // Put back already, or its kept copy was deleted by someone else: only the journal tells.
        const FileStatus now = folder.Look(n.destination);
        const bool old = now.exists && now.size == entry->size && now.write_time == entry->write_time;
        // In list order, as the report names them.
        if (journal_complete && !old) steps.unrestored.insert(steps.unrestored.begin(), entry->name);
      });
    } else if (journal_complete) {
      steps.Must([&] { folder.Delete(n.destination); });
    }
  }
  return steps;
}

}  // namespace

std::string FormatJournal(const std::vector<JournalEntry>& entries, const std::vector<std::wstring>& unrestored) {
  std::string text = std::string(kJournalHeader) + kLineEnd;
  for (const JournalEntry& entry : entries) {
    if (entry.existed) {
      text += kReplacedWord + Ascii(entry.name) + " " + std::to_string(entry.size) + " " +
              std::to_string(entry.write_time) + kLineEnd;
    } else {
      text += kCreatedWord + Ascii(entry.name) + kLineEnd;
    }
  }
  for (const std::wstring& name : unrestored) text += kUnrestoredWord + Ascii(name) + kLineEnd;
  return text + kJournalEnd + kLineEnd;
}

namespace {

// The words after a line's kind, each one at least a character long.
std::optional<std::vector<std::string>> WordsAfter(const std::string& line, std::size_t kind_length) {
  std::vector<std::string> words;
  for (std::size_t at = kind_length;;) {
    const std::size_t space = line.find(' ', at);
    words.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
    if (words.back().empty()) return std::nullopt;
    if (space == std::string::npos) return words;
    at = space + 1;
  }
}

// Plain decimal that fits in 64 bits.
std::optional<std::uint64_t> Decimal(const std::string& digits) {
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const auto [stop, failure] = std::from_chars(digits.data(), end, value);
  if (failure != std::errc() || stop != end) return std::nullopt;
  return value;
}

bool StartsWith(const std::string& line, const char* word) { return line.rfind(word, 0) == 0; }

}  // namespace

std::optional<Journal> ParseJournal(const std::string& bytes, const std::vector<std::wstring>& known) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find(kLineEnd, at);
    if (end == std::string::npos) return std::nullopt;  // cut short
    lines.push_back(bytes.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() < 2 || lines.front() != kJournalHeader || lines.back() != kJournalEnd) return std::nullopt;
  Journal journal;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    // Every line must read, whatever it names: one that does not is damage, never skipped.
    const char* kind = StartsWith(line, kReplacedWord)     ? kReplacedWord
                       : StartsWith(line, kCreatedWord)    ? kCreatedWord
                       : StartsWith(line, kUnrestoredWord) ? kUnrestoredWord
                                                           : nullptr;
    if (!kind) return std::nullopt;
    const auto words = WordsAfter(line, std::char_traits<char>::length(kind));
    JournalEntry entry;
    entry.existed = kind == kReplacedWord;
    if (!words || words->size() != (entry.existed ? 3u : 1u)) return std::nullopt;
    if (entry.existed) {
      const std::optional<std::uint64_t> size = Decimal((*words)[1]), time = Decimal((*words)[2]);
      if (!size || !time) return std::nullopt;
      entry.size = *size;
      entry.write_time = *time;
    }
    for (const std::wstring& candidate : known) {
      if (Ascii(candidate) != words->front()) continue;
      if (kind == kUnrestoredWord) {
        AddNew(journal.unrestored, {candidate});
      } else {
        entry.name = candidate;
        journal.entries.push_back(entry);
      }
    }
  }
  return journal;
}

void AddTo(common::SetupError& error, const Folder& folder, const Restored& restored) {
  if (!restored.whole) error.restore_incomplete = true;
  for (const std::wstring& name : restored.unrestored) {
    const std::wstring path = folder.path() + name;
    if (std::find(error.unrestored.begin(), error.unrestored.end(), path) == error.unrestored.end()) {
      error.unrestored.push_back(path);
    }
  }
}

std::unique_ptr<HeldLock> LockFolder(RetryingFolder& folder) {
  try {
    return folder.Lock(folder.Record(kLockName));
  } catch (common::SetupError& error) {
    if (error.number == common::kErrorSharingViolation || error.number == common::kErrorLockViolation) {
      error.cause = common::Cause::kAnotherSetupRunning;
    }
    throw;
  }
}

FileTransaction::~FileTransaction() {
  if (!finished_) Undo();
}

FileTransaction::Step& FileTransaction::Begin(const std::wstring& name, std::unique_ptr<Replaced> replaced) {
  // Recorded before the file is written, so that a failure halfway still removes it.
  const FileStatus status = replaced ? replaced->status() : FileStatus{};
  steps_.push_back(Step{JournalEntry{name, status.exists, status.size, status.write_time}, std::move(replaced), {}});
  return steps_.back();
}

void FileTransaction::StageCopy(SourceFile& source, const std::wstring& name, std::unique_ptr<Replaced> replaced) {
  Step& step = Begin(name, std::move(replaced));
  const std::uint32_t attributes = step.replaced ? step.replaced->status().attributes : 0;
  step.staged = folder_.CopyToNew(source, Names(folder_, name).staged, attributes);
  unflushed_.push_back(step.staged.get());
}

void FileTransaction::StageContents(const std::wstring& name, const std::string& bytes,
                                    std::unique_ptr<Replaced> replaced) {
  Step& step = Begin(name, std::move(replaced));
  const std::uint32_t attributes = step.replaced ? step.replaced->status().attributes : 0;
  step.staged = folder_.CreateNew(Names(folder_, name).staged, attributes);
  unflushed_.push_back(step.staged.get());
  step.staged->Write(bytes);
}

void FileTransaction::Commit() {
  try {
    Keep();
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

// Every destination that exists gets a second name that keeps it, and is let go: nothing may
// be renamed over a file that is open.
void FileTransaction::Keep() {
  for (Step& step : steps_) {
    if (!step.replaced) continue;
    if (std::unique_ptr<NewFile> copy = step.replaced->KeepAs(Names(folder_, step.entry.name).kept)) {
      unflushed_.push_back(copy.get());
      kept_copies_.push_back(std::move(copy));
    }
    step.replaced.reset();
  }
}

// Everything the rollback may need is on disk before the journal says it is there.
void FileTransaction::Flush() {
  for (NewFile* file : unflushed_) file->Flush();
  unflushed_.clear();
  kept_copies_.clear();
}

// The record of every destination, on disk before anything is renamed.
void FileTransaction::Record() {
  std::vector<JournalEntry> entries;
  for (const Step& step : steps_) entries.push_back(step.entry);
  journal_ = WriteJournal(folder_, FormatJournal(entries, owed_), !owed_.empty());
  journal_written_ = true;
}

// In staging order, the data file last.
void FileTransaction::Rename() {
  for (Step& step : steps_) {
    step.staged->RenameOver(folder_.Own(step.entry.name));
    step.staged.reset();
  }
}

// The commit: the journal renamed away.
void FileTransaction::CommitRecord() {
  journal_->RenameOver(folder_.Record(std::wstring(kJournalName) + kKeptSuffix));
  journal_.reset();
  finished_ = true;
}

// Installed: what is left is the committed record and the kept files, every staged file having
// been renamed into place. What cannot be removed now, the next run removes.
void FileTransaction::Tidy() {
  auto remove = [&](const Name& name) {
    try {
      folder_.Delete(name);
    } catch (...) {
    }
  };
  remove(folder_.Record(std::wstring(kJournalName) + kKeptSuffix));
  for (const Step& step : steps_) {
    if (step.entry.existed) remove(Names(folder_, step.entry.name).kept);
  }
}

Restored FileTransaction::Undo() noexcept {
  finished_ = true;
  // Every handle of ours goes first: a name cannot be deleted or renamed over while it is open.
  std::vector<JournalEntry> entries;
  for (Step& step : steps_) {
    entries.push_back(step.entry);
    step.replaced.reset();
    step.staged.reset();
  }
  unflushed_.clear();
  kept_copies_.clear();
  journal_.reset();
  Restored restored{true, owed_};
  RetryingFiles::TotalBudget budget(folder_.files(), kUndoRetryBudgetMs);
  if (journal_written_) {
    UndoSteps steps = RollBack(folder_, entries, true);
    AddNew(restored.unrestored, steps.unrestored);
    // Then the journal stays, and with it every kept file: the next run restores the folder.
    if (steps.failure) return Restored{false, restored.unrestored};
  }
  std::vector<std::wstring> names;
  for (const JournalEntry& entry : entries) names.push_back(entry.name);
  try {
    DeleteSpareNames(folder_, names, false);
  } catch (...) {
  }
  // Last, so that a run killed while tidying still finds what it needs; without a note owed, a
  // journal written but never flushed goes too. What cannot go now, the next run finishes.
  try {
    SettleJournal(folder_, restored.unrestored);
  } catch (...) {
  }
  return restored;
}

std::vector<std::wstring> RecoverInterruptedRun(RetryingFolder& folder, const std::vector<std::wstring>& names) {
  auto read_journal = [&](SourceFile& file) { return ParseJournal(ReadAtMost(file, kLongestJournal), names); };
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<SourceFile> record = folder.OpenForReading(journal);
  if (record && record->status().directory) {
    // Not ours, and in the way of every run: the user's to remove, before anything changes.
    throw journal.Error(common::kErrorAccessDenied, common::Cause::kFolderAtOwnName);
  }
  const bool recorded = record != nullptr;
  Restored restored;
  if (!record) {
    // A journal being put in place over one that owed a note, cut between the two names (a power
    // cut on FAT): nothing was renamed yet, and only the note is to be kept.
    std::unique_ptr<SourceFile> staged = folder.OpenForReading(folder.Record(std::wstring(kJournalName) + kStagedSuffix));
    if (staged && !staged->status().directory) {
      if (const std::optional<Journal> parsed = read_journal(*staged)) restored.unrestored = parsed->unrestored;
    }
  } else {
    const std::optional<Journal> parsed = read_journal(*record);
    record.reset();  // closed before it is replaced or deleted
    Journal read;
    if (parsed) {
      read = *parsed;
    } else {
      // Cut short while being written (nothing renamed yet), or damaged: the disk alone tells.
      for (const std::wstring& name : names) read.entries.push_back(JournalEntry{name, true});
    }
    restored.unrestored = read.unrestored;
    RetryingFiles::TotalBudget budget(folder.files(), kUndoRetryBudgetMs);
    UndoSteps steps = RollBack(folder, read.entries, parsed.has_value());
    AddNew(restored.unrestored, steps.unrestored);
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
    DeleteSpareNames(folder, names, true);
    if (recorded || !restored.unrestored.empty()) SettleJournal(folder, restored.unrestored);
  } catch (common::SetupError& error) {
    AddTo(error, folder, Restored{true, restored.unrestored});
    throw;
  }
  return restored.unrestored;
}

}  // namespace install
