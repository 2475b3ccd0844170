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

// A planted link or a reparse point of a kind the program does not know: the user must remove
// that very name, so a report names it, and a rollback stopped by it is finished after that.
bool IsInTheWay(common::Cause cause) {
  return cause == common::Cause::kLinkElsewhere || cause == common::Cause::kUnknownReparse;
}

// Runs an operation on one of the transaction's own names; a failure there names what the user
// knows instead. A link keeps its own name: that is what the user must remove.
template <typename Operation>
auto Naming(const std::wstring& own, const std::wstring& user_facing, Operation&& operation)
    -> decltype(operation()) {
  try {
    return operation();
  } catch (common::SetupError& error) {
    if (error.path == own && !IsInTheWay(error.cause)) error.path = user_facing;
    throw;
  }
}

struct Names {
  Names(const std::wstring& folder, const std::wstring& name)
      : destination(folder + name), staged(destination + kStagedSuffix), kept(destination + kKeptSuffix) {}
  std::wstring destination, staged, kept;
};

void DeleteNaming(RetryingFiles& files, const std::wstring& own, const std::wstring& user_facing) {
  Naming(own, user_facing, [&] { files.Delete(own); });
}

// The spare names of `names` and the committed journal. stop_at_failure: a run must not go on
// past a spare name it cannot delete; after a commit or an undo, what is left goes next time.
void DeleteSpareNames(RetryingFiles& files, const std::wstring& folder, const std::vector<std::wstring>& names,
                      bool stop_at_failure) {
  auto remove = [&](const std::wstring& own, const std::wstring& user_facing) {
    try {
      DeleteNaming(files, own, user_facing);
    } catch (...) {
      if (stop_at_failure) throw;
    }
  };
  remove(folder + kJournalName + kKeptSuffix, folder);
  remove(folder + kJournalName + kStagedSuffix, folder);
  for (const std::wstring& name : names) {
    const Names n(folder, name);
    remove(n.staged, n.destination);
    remove(n.kept, n.destination);
  }
}

std::vector<std::wstring> NamesOf(const std::vector<JournalEntry>& entries) {
  std::vector<std::wstring> names;
  for (const JournalEntry& entry : entries) names.push_back(entry.name);
  return names;
}

void AddNew(std::vector<std::wstring>& to, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(name);
  }
}

// Writes the journal and has it on disk. Over an earlier one (that owes a note) it goes through
// a staged name, so that a kill leaves one whole journal or the other.
void WriteJournal(RetryingFiles& files, const std::wstring& folder, const std::string& bytes, bool replacing) {
  const std::wstring journal = folder + kJournalName;
  const std::wstring written = replacing ? journal + kStagedSuffix : journal;
  Naming(written, folder, [&] {
    files.WriteToNew(written, bytes, 0);
    files.FlushNewFiles();
    if (replacing) Naming(journal, folder, [&] { files.MoveReplacing(written, journal); });
  });
}

// After a rollback and its tidying: the journal goes, unless a note is still owed, which a
// journal of only that note then carries to the run that installs everything.
void SettleJournal(RetryingFiles& files, const std::wstring& folder, const std::vector<std::wstring>& owed) {
  if (owed.empty()) return DeleteNaming(files, folder + kJournalName, folder);
  WriteJournal(files, folder, FormatJournal({}, owed), true);
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
UndoSteps RollBack(RetryingFiles& files, const std::wstring& folder, const std::vector<JournalEntry>& entries,
                   bool journal_complete) {
  UndoSteps steps;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const Names n(folder, entry->name);
    std::optional<bool> renamed;
    steps.Must([&] { renamed = !Naming(n.staged, n.destination, [&] { return files.Status(n.staged).exists; }); });
    if (!renamed) continue;  // unknown: keep everything for the next run
    if (!*renamed) {
      // Its destination gone all the same (a replacing rename cut by a power cut on FAT, or
      // another program): the kept copy is the only old file left.
      steps.Must([&] {
        if (!files.Status(n.destination).exists &&
            Naming(n.kept, n.destination, [&] { return files.Status(n.kept).exists; })) {
          Naming(n.kept, n.destination, [&] { files.MoveReplacing(n.kept, n.destination); });
        }
      });
      continue;
    }
    if (entry->existed) {
      steps.Must([&] {
        if (Naming(n.kept, n.destination, [&] { return files.Status(n.kept).exists; })) {
          Naming(n.kept, n.destination, [&] { files.MoveReplacing(n.kept, n.destination); });
          return;
        }
        // Put back already, or its kept copy was deleted by someone else: only the journal tells.
        const FileStatus now = files.Status(n.destination);
        const bool old = now.exists && now.size == entry->size && now.write_time == entry->write_time;
        // In list order, as the report names them.
        if (journal_complete && !old) steps.unrestored.insert(steps.unrestored.begin(), entry->name);
      });
    } else if (journal_complete) {
      steps.Must([&] { files.Delete(n.destination); });
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

void AddUnrestored(common::SetupError& error, const std::wstring& folder, const std::vector<std::wstring>& names) {
  std::vector<std::wstring> paths;
  for (const std::wstring& name : names) paths.push_back(folder + name);
  AddNew(error.unrestored, paths);
}

std::unique_ptr<HeldLock> LockFolder(RetryingFiles& files, const std::wstring& folder) {
  const std::wstring lock = folder + kLockName;
  try {
    return Naming(lock, folder, [&] { return files.Lock(lock); });
  } catch (common::SetupError& error) {
    if (error.number == common::kErrorSharingViolation || error.number == common::kErrorLockViolation) {
      error.cause = common::Cause::kAnotherSetupRunning;
    }
    throw;
  }
}

FileTransaction::~FileTransaction() {
  if (!finished_) Undo(nullptr);
}

void FileTransaction::StageCopy(const std::wstring& source, const std::wstring& name, const FileStatus& replaced) {
  // Recorded before the file is written, so that a failure halfway still removes it.
  entries_.push_back(JournalEntry{name, replaced.exists, replaced.size, replaced.write_time});
  const Names n(folder_, name);
  Naming(n.staged, n.destination, [&] { files_.CopyToNew(source, n.staged, replaced.attributes); });
}

void FileTransaction::StageContents(const std::wstring& name, const std::string& bytes,
                                    const FileStatus& replaced) {
  entries_.push_back(JournalEntry{name, replaced.exists, replaced.size, replaced.write_time});
  const Names n(folder_, name);
  Naming(n.staged, n.destination, [&] { files_.WriteToNew(n.staged, bytes, replaced.attributes); });
}

void FileTransaction::Commit() {
  const std::wstring journal = folder_ + kJournalName;
  try {
    for (const JournalEntry& entry : entries_) {
      const Names n(folder_, entry.name);
      if (entry.existed) Naming(n.kept, n.destination, [&] { files_.KeepAside(n.destination, n.kept); });
    }
    // Everything the rollback may need is on disk before the journal says it is there.
    Naming(journal, folder_, [&] { files_.FlushNewFiles(); });
    WriteJournal(files_, folder_, FormatJournal(entries_, owed_), !owed_.empty());
    journal_written_ = true;
    for (const JournalEntry& entry : entries_) {
      const Names n(folder_, entry.name);
      Naming(n.staged, n.destination, [&] { files_.MoveReplacing(n.staged, n.destination); });
    }
    // The commit. A failure names the folder, whichever of the journal's two names it met.
    Naming(journal + kKeptSuffix, folder_, [&] {
      Naming(journal, folder_, [&] { files_.MoveReplacing(journal, journal + kKeptSuffix); });
    });
  } catch (common::SetupError& error) {
    Undo(&error);
    throw;
  } catch (...) {
    Undo(nullptr);
    throw;
  }
  finished_ = true;
  // Installed: what is left is only our own spare names, which the next run removes if they
  // cannot be removed now.
  DeleteSpareNames(files_, folder_, NamesOf(entries_), false);
}

void FileTransaction::Undo(common::SetupError* error) noexcept {
  finished_ = true;
  RetryingFiles::TotalBudget budget(files_, kUndoRetryBudgetMs);
  std::vector<std::wstring> owed = owed_;
  if (journal_written_) {
    UndoSteps steps = RollBack(files_, folder_, entries_, true);
    AddNew(owed, steps.unrestored);
    if (steps.failure) {
      // The journal stays, and with it every kept file: the next run restores the folder.
      if (error) {
        error->restore_incomplete = true;
        AddUnrestored(*error, folder_, owed);
      }
      return;
    }
  }
  try {
    if (error) AddUnrestored(*error, folder_, owed);
    DeleteSpareNames(files_, folder_, NamesOf(entries_), false);
  } catch (...) {
  }
  // Last, so that a run killed while tidying still finds what it needs; without a note owed, a
  // journal written but never flushed goes too. What cannot go now, the next run finishes.
  try {
    SettleJournal(files_, folder_, owed);
  } catch (...) {
  }
}

std::vector<std::wstring> RecoverInterruptedRun(RetryingFiles& files, const std::wstring& folder,
                                                const std::vector<std::wstring>& names) {
  const std::wstring journal = folder + kJournalName;
  const FileStatus record = Naming(journal, folder, [&] { return files.Status(journal); });
  if (record.exists && record.directory) {
    // Not ours, and in the way of every run: the user's to remove, before anything changes.
    throw common::MakeError(common::kErrorAccessDenied, journal, common::Cause::kFolderAtOwnName);
  }
  auto read_journal = [&](const std::wstring& path) {
    std::string bytes;
    Naming(path, folder, [&] {
      std::unique_ptr<ByteSource> source = files.OpenForReading(path);
      bytes = ReadAtMost(*source, kLongestJournal);
    });  // closed before it is deleted
    return ParseJournal(bytes, names);
  };
  std::vector<std::wstring> owed;
  if (!record.exists) {
    // A journal being put in place over one that owed a note, cut between the two names (a power
    // cut on FAT): nothing was renamed yet, and only the note is to be kept.
    const std::wstring staged = journal + kStagedSuffix;
    const FileStatus status = Naming(staged, folder, [&] { return files.Status(staged); });
    if (status.exists && !status.directory) {
      if (const std::optional<Journal> parsed = read_journal(staged)) owed = parsed->unrestored;
    }
  } else {
    const std::optional<Journal> parsed = read_journal(journal);
    Journal read;
    if (parsed) {
      read = *parsed;
    } else {
      // Cut short while being written (nothing renamed yet), or damaged: the disk alone tells.
      for (const std::wstring& name : names) read.entries.push_back(JournalEntry{name, true});
    }
    owed = read.unrestored;
    RetryingFiles::TotalBudget budget(files, kUndoRetryBudgetMs);
    UndoSteps steps = RollBack(files, folder, read.entries, parsed.has_value());
    AddNew(owed, steps.unrestored);
    if (steps.failure) {
      common::SetupError failure = *steps.failure;
      // A planted link is named for the user to remove; the rollback is finished after that.
      failure.restore_incomplete = !IsInTheWay(failure.cause);
      AddUnrestored(failure, folder, owed);
      throw failure;
    }
  }
  try {
    // A commit finished but not tidied, or a transaction that never got to its journal: the
    // spare names hold nothing the folder needs. The journal goes only after them, so that a
    // tidying that stops here is done again, with its note, by the next run.
    DeleteSpareNames(files, folder, names, true);
    if (record.exists || !owed.empty()) SettleJournal(files, folder, owed);
  } catch (common::SetupError& error) {
    AddUnrestored(error, folder, owed);
    throw;
  }
  return owed;
}

}  // namespace install
