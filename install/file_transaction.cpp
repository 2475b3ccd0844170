#include "install/file_transaction.h"

#include <utility>

#include "common/setup_error.h"

namespace install {
namespace {

constexpr char kJournalHeader[] = "setup.exe rollback journal 2";
constexpr char kJournalEnd[] = "end";
constexpr char kReplacedWord[] = "replaced ";
constexpr char kCreatedWord[] = "created ";
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

// Runs an operation on one of the transaction's own names; a failure there names what the user
// knows instead. A link keeps its own name: that is what the user must remove.
template <typename Operation>
auto Naming(const std::wstring& own, const std::wstring& user_facing, Operation&& operation)
    -> decltype(operation()) {
  try {
    return operation();
  } catch (common::SetupError& error) {
    if (error.path == own && error.cause != common::Cause::kLinkElsewhere) error.path = user_facing;
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
      if (!failure) failure = common::SetupError{};
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
    if (!renamed || !*renamed) continue;  // unknown: keep everything for the next run
    if (entry->existed) {
      steps.Must([&] {
        if (Naming(n.kept, n.destination, [&] { return files.Status(n.kept).exists; })) {
          Naming(n.kept, n.destination, [&] { files.MoveReplacing(n.kept, n.destination); });
          return;
        }
        // Put back already, or its kept copy was deleted by someone else: only the journal tells.
        const FileStatus now = files.Status(n.destination);
        const bool old = now.exists && now.size == entry->size && now.write_time == entry->write_time;
        if (journal_complete && !old) steps.unrestored.push_back(n.destination);
      });
    } else if (journal_complete) {
      steps.Must([&] { files.Delete(n.destination); });
    }
  }
  return steps;
}

}  // namespace

std::string FormatJournal(const std::vector<JournalEntry>& entries) {
  std::string text = std::string(kJournalHeader) + kLineEnd;
  for (const JournalEntry& entry : entries) {
    if (entry.existed) {
      text += kReplacedWord + Ascii(entry.name) + " " + std::to_string(entry.size) + " " +
              std::to_string(entry.write_time) + kLineEnd;
    } else {
      text += kCreatedWord + Ascii(entry.name) + kLineEnd;
    }
  }
  return text + kJournalEnd + kLineEnd;
}

std::optional<std::vector<JournalEntry>> ParseJournal(const std::string& bytes,
                                                      const std::vector<std::wstring>& known) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find(kLineEnd, at);
    if (end == std::string::npos) return std::nullopt;  // cut short
    lines.push_back(bytes.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() < 2 || lines.front() != kJournalHeader || lines.back() != kJournalEnd) return std::nullopt;
  std::vector<JournalEntry> entries;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    JournalEntry entry;
    std::string rest;
    if (lines[i].rfind(kReplacedWord, 0) == 0) {
      entry.existed = true;
      rest = lines[i].substr(std::char_traits<char>::length(kReplacedWord));
    } else if (lines[i].rfind(kCreatedWord, 0) == 0) {
      rest = lines[i].substr(std::char_traits<char>::length(kCreatedWord));
    } else {
      continue;
    }
    const std::size_t space = rest.find(' ');
    const std::string name = rest.substr(0, space);
    if (entry.existed) {
      // "NAME SIZE TIME", both decimal: anything else is damage.
      const std::string numbers = space == std::string::npos ? std::string() : rest.substr(space + 1);
      const std::size_t gap = numbers.find(' ');
      const std::string size = numbers.substr(0, gap);
      const std::string time = gap == std::string::npos ? std::string() : numbers.substr(gap + 1);
      for (const std::string* number : {&size, &time}) {
        if (number->empty() || number->size() > 20 || number->find_first_not_of("0123456789") != std::string::npos) {
          return std::nullopt;
        }
      }
      entry.size = std::stoull(size);
      entry.write_time = std::stoull(time);
    } else if (space != std::string::npos) {
      return std::nullopt;
    }
    for (const std::wstring& candidate : known) {
      if (Ascii(candidate) == name) {
        entry.name = candidate;
        entries.push_back(entry);
      }
    }
  }
  return entries;
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
    Naming(journal, folder_, [&] {
      files_.FlushNewFiles();
      files_.WriteToNew(journal, FormatJournal(entries_), 0);
      files_.FlushNewFiles();
    });
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
  const std::wstring journal = folder_ + kJournalName;
  if (journal_written_) {
    UndoSteps steps = RollBack(files_, folder_, entries_, true);
    if (!steps.failure) steps.Must([&] { DeleteNaming(files_, journal, folder_); });
    if (error && !steps.unrestored.empty()) error->unrestored = steps.unrestored.front();
    if (steps.failure) {
      // The journal stays, and with it every kept file: the next run restores the folder.
      if (error) error->restore_incomplete = true;
      return;
    }
  } else {
    try {
      files_.Delete(journal);  // written but never flushed
    } catch (...) {
    }
  }
  try {
    DeleteSpareNames(files_, folder_, NamesOf(entries_), false);
  } catch (...) {
  }
}

std::vector<std::wstring> RecoverInterruptedRun(RetryingFiles& files, const std::wstring& folder,
                                                const std::vector<std::wstring>& names) {
  const std::wstring journal = folder + kJournalName;
  std::vector<std::wstring> unrestored;
  if (Naming(journal, folder, [&] { return files.Status(journal).exists; })) {
    std::string bytes;
    Naming(journal, folder, [&] {
      std::unique_ptr<ByteSource> source = files.OpenForReading(journal);
      bytes = ReadAtMost(*source, kLongestJournal);
    });  // closed before it is deleted
    const std::optional<std::vector<JournalEntry>> parsed = ParseJournal(bytes, names);
    std::vector<JournalEntry> entries;
    if (parsed) {
      entries = *parsed;
    } else {
      // Cut short while being written (nothing renamed yet), or damaged: the disk alone tells.
      for (const std::wstring& name : names) entries.push_back(JournalEntry{name, true});
    }
    RetryingFiles::TotalBudget budget(files, kUndoRetryBudgetMs);
    UndoSteps steps = RollBack(files, folder, entries, parsed.has_value());
    if (steps.failure) {
      common::SetupError failure = *steps.failure;
      // A planted link is named for the user to remove; the rollback is finished after that.
      failure.restore_incomplete = failure.cause != common::Cause::kLinkElsewhere;
      if (!steps.unrestored.empty()) failure.unrestored = steps.unrestored.front();
      throw failure;
    }
    unrestored = std::move(steps.unrestored);
    DeleteNaming(files, journal, folder);
  }
  // A commit finished but not tidied, or a transaction that never got to its journal: the
  // spare names hold nothing the folder needs.
  DeleteSpareNames(files, folder, names, true);
  return unrestored;
}

}  // namespace install
