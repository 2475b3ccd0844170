#include "install/file_transaction.h"

#include <utility>

#include "common/setup_error.h"

namespace install {
namespace {

constexpr char kJournalHeader[] = "setup.exe rollback journal 1";
constexpr char kJournalEnd[] = "end";
constexpr char kReplacedWord[] = "replaced ";
constexpr char kCreatedWord[] = "created ";
constexpr char kLineEnd[] = "\r\n";
// Ours are a few hundred bytes; anything larger is not ours to act on.
constexpr std::size_t kLongestJournal = 64 * 1024;

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
  // Tidying: what is left is our own spare names, which the next run removes.
  template <typename Step>
  static void Tidy(Step&& step) {
    try {
      step();
    } catch (...) {
    }
  }

  std::optional<common::SetupError> failure;
};

// Puts each destination back as it was before the commit began, judging by what is on disk, so
// that it serves the run that failed, a later run, and a rollback that was itself interrupted:
// a staged file still there was never renamed, so its destination is untouched.
std::optional<common::SetupError> RollBack(RetryingFiles& files, const std::wstring& folder,
                                           const std::vector<JournalEntry>& entries) {
  UndoSteps steps;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const std::wstring destination = folder + entry->name;
    const std::wstring staged = destination + kStagedSuffix;
    const std::wstring kept = destination + kKeptSuffix;
    std::optional<bool> renamed;
    steps.Must([&] { renamed = !files.Status(staged).exists; });
    if (!renamed) continue;  // unknown: keep everything for the next run
    if (!*renamed) {
      UndoSteps::Tidy([&] { files.Delete(kept); });
      UndoSteps::Tidy([&] { files.Delete(staged); });
    } else if (entry->existed) {
      steps.Must([&] {
        if (files.Status(kept).exists) files.MoveReplacing(kept, destination);
      });
    } else {
      steps.Must([&] { files.Delete(destination); });
    }
  }
  return steps.failure;
}

}  // namespace

std::string FormatJournal(const std::vector<JournalEntry>& entries) {
  std::string text = std::string(kJournalHeader) + kLineEnd;
  for (const JournalEntry& entry : entries) {
    text += (entry.existed ? kReplacedWord : kCreatedWord) + Ascii(entry.name) + kLineEnd;
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
    for (const auto& [word, existed] : {std::pair{kReplacedWord, true}, std::pair{kCreatedWord, false}}) {
      if (lines[i].rfind(word, 0) != 0) continue;
      const std::string name = lines[i].substr(std::char_traits<char>::length(word));
      for (const std::wstring& candidate : known) {
        if (Ascii(candidate) == name) entries.push_back(JournalEntry{candidate, existed});
      }
    }
  }
  return entries;
}

FileTransaction::~FileTransaction() {
  if (!finished_) Undo(nullptr);
}

void FileTransaction::StageCopy(const std::wstring& source, const std::wstring& name) {
  const std::wstring destination = folder_ + name;
  // Recorded before the file is written, so that a failure halfway still removes it.
  entries_.push_back(JournalEntry{name, files_.Status(destination).exists});
  files_.CopyToNew(source, destination + kStagedSuffix);
}

void FileTransaction::StageContents(const std::wstring& name, const std::string& bytes,
                                    std::uint32_t attributes) {
  const std::wstring destination = folder_ + name;
  entries_.push_back(JournalEntry{name, files_.Status(destination).exists});
  files_.WriteToNew(destination + kStagedSuffix, bytes, attributes);
}

void FileTransaction::Commit() {
  const std::wstring journal = folder_ + kJournalName;
  try {
    for (const JournalEntry& entry : entries_) {
      if (entry.existed) files_.KeepAside(folder_ + entry.name, folder_ + entry.name + kKeptSuffix);
    }
    // Everything the rollback may need is on disk before the journal says it is there.
    files_.FlushNewFiles();
    files_.WriteToNew(journal, FormatJournal(entries_), 0);
    files_.FlushNewFiles();
    journal_written_ = true;
    for (const JournalEntry& entry : entries_) {
      files_.MoveReplacing(folder_ + entry.name + kStagedSuffix, folder_ + entry.name);
    }
    files_.MoveReplacing(journal, journal + kKeptSuffix);  // the commit
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
  UndoSteps::Tidy([&] { files_.Delete(journal + kKeptSuffix); });
  for (const JournalEntry& entry : entries_) {
    if (entry.existed) UndoSteps::Tidy([&] { files_.Delete(folder_ + entry.name + kKeptSuffix); });
  }
}

void FileTransaction::Undo(common::SetupError* error) noexcept {
  finished_ = true;
  RetryingFiles::TotalBudget budget(files_, kUndoRetryBudgetMs);
  const std::wstring journal = folder_ + kJournalName;
  if (journal_written_) {
    std::optional<common::SetupError> failure = RollBack(files_, folder_, entries_);
    if (!failure) {
      try {
        files_.Delete(journal);
      } catch (const common::SetupError& not_deleted) {
        failure = not_deleted;
      } catch (...) {
        failure = common::SetupError{};
      }
    }
    if (failure) {
      // The journal stays, and with it every kept file: the next run restores the folder.
      if (error) error->restore_incomplete = true;
      return;
    }
  } else {
    UndoSteps::Tidy([&] { files_.Delete(journal); });  // written but never flushed
  }
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    UndoSteps::Tidy([&] { files_.Delete(folder_ + entry->name + kKeptSuffix); });
    UndoSteps::Tidy([&] { files_.Delete(folder_ + entry->name + kStagedSuffix); });
  }
}

void RecoverInterruptedRun(RetryingFiles& files, const std::wstring& folder,
                           const std::vector<std::wstring>& names) {
  const std::wstring journal = folder + kJournalName;
  if (files.Status(journal).exists) {
    std::string bytes;
    {
      std::unique_ptr<ByteSource> source = files.OpenForReading(journal);
      bytes = ReadAtMost(*source, kLongestJournal);
    }  // closed before it is deleted
    // A journal cut short was being written when the run was killed: nothing was renamed yet.
    if (std::optional<std::vector<JournalEntry>> entries = ParseJournal(bytes, names)) {
      RetryingFiles::TotalBudget budget(files, kUndoRetryBudgetMs);
      if (std::optional<common::SetupError> failure = RollBack(files, folder, *entries)) {
        // A planted link is named for the user to remove; the rollback is finished after that.
        failure->restore_incomplete = failure->cause != common::Cause::kLinkElsewhere;
        throw *failure;
      }
    }
    files.Delete(journal);
  }
  // A commit finished but not tidied, or a transaction that never got to its journal: the
  // spare names hold nothing the folder needs.
  files.Delete(journal + kKeptSuffix);
  for (const std::wstring& name : names) {
    files.Delete(folder + name + kStagedSuffix);
    files.Delete(folder + name + kKeptSuffix);
  }
}

}  // namespace install
