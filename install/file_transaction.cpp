#include "install/file_transaction.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "common/setup_error.h"

namespace install {
namespace {

// Version 5 marks the new files with ContentHash. Version 4 named the old file by what a rename
// keeps, as 5 does, and marked the new ones with OldContentHash; version 3 named the old file by
// its contents, where it was kept as a copy; version 2 had no marks of the new files and no notes
// of files kept aside. Each is still read.
constexpr char kJournalHeader[] = "setup.exe rollback journal ";
constexpr int kJournalVersion = 5;
constexpr int kOldestJournalVersion = 2;
constexpr char kJournalEnd[] = "end";
enum class Kind { kReplaced, kCreated, kUnrestored, kAside };
constexpr std::pair<Kind, std::string_view> kWords[] = {
    {Kind::kReplaced, "replaced"}, {Kind::kCreated, "created"}, {Kind::kUnrestored, "unrestored"}, {Kind::kAside, "aside"}};
constexpr char kLineEnd[] = "\r\n";
// Ours are a few hundred bytes; anything larger is not ours to act on.
constexpr std::size_t kLongestJournal = 64 * 1024;

static_assert(kLongestSpareSuffix >= std::char_traits<wchar_t>::length(kStagedSuffix) &&
              kLongestSpareSuffix >= std::char_traits<wchar_t>::length(kKeptSuffix) &&
              kLongestSpareSuffix == std::char_traits<wchar_t>::length(kAsideSuffix) + 1);
constexpr int kAsideNames = 9;
static_assert(kLongestOwnName == std::char_traits<wchar_t>::length(kJournalName) + std::char_traits<wchar_t>::length(kKeptSuffix) &&
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

bool EndsWith(const std::wstring& name, const std::wstring& end) {
  return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
}

// NAME.setup-bak, or with a digit 2 to 9.
bool IsAsideName(const std::wstring& name) {
  const std::wstring suffix = kAsideSuffix;
  if (EndsWith(name, suffix)) return name.size() > suffix.size();
  return name.size() > suffix.size() + 1 && name.back() >= L'2' && name.back() <= L'9' &&
         EndsWith(name.substr(0, name.size() - 1), suffix);
}

// One name in the folder that a file of the user's may have: never a way out of it, nor a name
// of the program's own.
bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) return false;
  }
  return true;
}

bool IsOwnName(const std::wstring& name) {
  return EndsWith(name, kStagedSuffix) || EndsWith(name, kKeptSuffix) || IsAsideName(name) ||
         name == kJournalName || name == kLockName;
}

// Deletes one of the program's spare names, and only counts it gone when it is: a file that
// another program holds while sharing delete may keep its name until that program lets go (under
// Wine, and where a delete cannot take the name at once), and such a name counts as held.
void DeleteSpare(Folder& folder, const Name& name) {
  folder.Delete(name);
  if (folder.Look(name).exists) throw name.Error(common::kErrorSharingViolation);
}

// The spare names of `names` and the committed journal. stop_at_failure: a run must not go on
// past a spare name it cannot delete; after a commit or an undo, what is left goes next time.
// kept_too: only after a commit, when the kept files are the old files the commit replaced; a
// kept file is otherwise deleted only where its file is back in place (RollBack).
void DeleteSpareNames(Folder& folder, const std::vector<std::wstring>& names, bool stop_at_failure, bool kept_too) {
  auto remove = [&](const Name& name) {
    try {
      DeleteSpare(folder, name);
    } catch (...) {
      if (stop_at_failure) throw;
    }
  };
  remove(folder.Record(std::wstring(kJournalName) + kStagedSuffix));
  for (const std::wstring& name : names) {
    const Names n(folder, name);
    remove(n.staged);
    if (kept_too) remove(n.kept);
  }
  // Last: while it is there, the kept files are the commit's to delete.
  remove(folder.Record(std::wstring(kJournalName) + kKeptSuffix));
}

void AddNew(std::vector<std::wstring>& to, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(name);
  }
}

// Writes the journal and has it on disk; returns it still open. Over an earlier one (that owes a
// note) it goes through a staged name, so that a kill leaves one whole journal or the other.
std::unique_ptr<File> WriteJournal(Folder& folder, const std::string& bytes, bool replacing) {
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<File> file =
      folder.CreateNew(replacing ? folder.Record(std::wstring(kJournalName) + kStagedSuffix) : journal, 0);
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
  char chunk[64 * 1024];
  while (const std::size_t got = contents.Read(chunk, sizeof chunk)) hash.Add(chunk, got);
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
      const std::wstring aside = entry_.name + kAsideSuffix + (i == 1 ? L"" : std::wstring(1, L'0' + i));
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

// Puts each destination back as it was before the commit began, judging every name by what it
// holds, so that it serves the run that failed, a later run, and a rollback that was itself
// interrupted. The run's own file is renamed aside through the open that judged it, and the kept
// file renamed back at once, never over anything; a destination that is not the run's own, or
// whose bytes exist nowhere else, stays, and its kept file is kept beside it. A kept file is
// deleted only where its file is back in place.
UndoSteps RollBack(Folder& folder, const std::vector<JournalEntry>& entries, bool journal_complete,
                   const Elsewhere& elsewhere) {
  UndoSteps steps;
  auto aside = [&](const std::wstring& name) { steps.notes.set_aside.insert(steps.notes.set_aside.begin(), name); };
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    Judge judge(folder, *entry, elsewhere);
    const Names& n = judge.names();
    const bool noted = journal_complete && entry->recorded;
    steps.Must([&] {
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
      std::unique_ptr<File> now = folder.OpenToSetAside(n.destination);
      if (!now) {
        // Nothing there: the kept file goes back; without one, the old file is gone (deleted by
        // somebody else), unless the run never got to it.
        if (kept.exists && !kept.directory) return folder.RenameAside(n.kept, n.destination);
        if (noted && entry->existed && !never_renamed) {
          steps.notes.unrestored.insert(steps.notes.unrestored.begin(), entry->name);
        }
        return;
      }
      if (now->status().directory) return;
      const bool old_kept = kept.exists && !kept.directory;
      if (old_kept && judge.IsBackInPlace(*now, kept)) {
        now.reset();
        folder.Delete(n.kept);
        return;
      }
      if (judge.IsPlaced(*now) && (!entry->existed || old_kept) && judge.CopyElsewhere(*now, old_kept)) {
        // Back to back: the run's file aside through the open that judged it, the old one back.
        folder.RenameAside(*now, n.staged);
        if (old_kept) {
          try {
            folder.RenameAside(n.kept, n.destination);
          } catch (const common::SetupError& error) {
            // A file put there in the moment between is somebody else's: it stays.
            if (error.number != common::kErrorAlreadyExists) throw;
            aside(judge.SetAside(n.kept));
          }
        }
        now.reset();
        folder.Delete(n.staged);
        return;
      }
      const FileStatus status = now->status();
      now.reset();
      // Somebody else's, or the run's with no copy elsewhere: it stays, the old file beside it.
      if (old_kept) return aside(judge.SetAside(n.kept));
      if (noted && entry->existed && !never_renamed && !judge.IsOld(status)) {
        steps.notes.unrestored.insert(steps.notes.unrestored.begin(), entry->name);
      }
    });
  }
  return steps;
}

}  // namespace

void Notes::Add(const Notes& other) {
  AddNew(unrestored, other.unrestored);
  AddNew(set_aside, other.set_aside);
}

namespace {

// A line of the journal: its kind's word, then words each one space from the last.
std::string Line(Kind kind, const std::wstring& name, const std::vector<std::uint64_t>& numbers = {}) {
  std::string text(kWords[static_cast<int>(kind)].second);
  text += ' ' + Ascii(name);
  for (std::uint64_t number : numbers) text += ' ' + std::to_string(number);
  return text + kLineEnd;
}

struct ReadLine {
  Kind kind;
  std::wstring name;
  std::vector<std::uint64_t> numbers;
};

// Plain decimal that fits in 64 bits.
std::optional<std::uint64_t> Decimal(std::string_view digits) {
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto [stop, failure] = std::from_chars(digits.data(), end, value);
  if (failure != std::errc() || stop != end) return std::nullopt;
  return value;
}

// A known word, a plain name and decimal numbers, or nothing.
std::optional<ReadLine> Read(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0;;) {
    const std::size_t space = text.find(' ', at);
    words.push_back(text.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at));
    if (words.back().empty()) return std::nullopt;
    if (space == std::string_view::npos) break;
    at = space + 1;
  }
  const auto known = std::find_if(std::begin(kWords), std::end(kWords), [&](const auto& w) { return w.second == words[0]; });
  if (known == std::end(kWords) || words.size() < 2) return std::nullopt;
  ReadLine line{known->first, {}, {}};
  for (unsigned char c : words[1]) line.name += static_cast<wchar_t>(c);
  if (!IsPlainName(line.name)) return std::nullopt;
  for (std::size_t w = 2; w < words.size(); ++w) {
    const std::optional<std::uint64_t> number = Decimal(words[w]);
    if (!number) return std::nullopt;
    line.numbers.push_back(*number);
  }
  return line;
}

// The version a first line names, or 0.
int Version(const std::string& first) {
  const std::string_view header = kJournalHeader;
  if (first.size() != header.size() + 1 || first.compare(0, header.size(), header) != 0) return 0;
  const int version = first.back() - '0';
  return version >= kOldestJournalVersion && version <= kJournalVersion ? version : 0;
}

}  // namespace

std::string FormatJournal(const std::vector<JournalEntry>& entries, const Notes& owed) {
  std::string text = kJournalHeader + std::to_string(kJournalVersion) + kLineEnd;
  for (const JournalEntry& entry : entries) {
    const Placed placed = entry.placed.value_or(Placed{});
    std::vector<std::uint64_t> numbers;
    if (entry.existed) numbers = {entry.size, entry.write_time, entry.old_id};
    numbers.insert(numbers.end(), {placed.id, placed.size, placed.hash});
    text += Line(entry.existed ? Kind::kReplaced : Kind::kCreated, entry.name, numbers);
  }
  for (const std::wstring& name : owed.unrestored) text += Line(Kind::kUnrestored, name);
  for (const std::wstring& name : owed.set_aside) text += Line(Kind::kAside, name);
  return text + kJournalEnd + kLineEnd;
}

std::optional<Journal> ParseJournal(const std::string& bytes, const std::vector<std::wstring>& required) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find(kLineEnd, at);
    if (end == std::string::npos) return std::nullopt;  // cut short
    lines.push_back(bytes.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() < 2 || lines.back() != kJournalEnd) return std::nullopt;
  const int version = Version(lines.front());
  if (!version) return std::nullopt;
  const bool marked = version >= 3;
  Journal journal;
  // Every line must read, whatever it names: one that does not is damage, never skipped.
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::optional<ReadLine> line = Read(lines[i]);
    if (!line) return std::nullopt;
    const std::wstring& name = line->name;
    const std::vector<std::uint64_t>& n = line->numbers;
    if (line->kind == Kind::kAside) {
      if (!marked || !n.empty() || !IsAsideName(name)) return std::nullopt;
      AddNew(journal.owed.set_aside, {name});
      continue;
    }
    if (IsOwnName(name)) return std::nullopt;
    if (line->kind == Kind::kUnrestored) {
      if (!n.empty()) return std::nullopt;
      AddNew(journal.owed.unrestored, {name});
      continue;
    }
    JournalEntry entry;
    entry.name = name;
    entry.existed = line->kind == Kind::kReplaced;
    // A file every run needs there before it starts cannot have been created by one.
    if (!entry.existed && std::find(required.begin(), required.end(), name) != required.end()) return std::nullopt;
    const std::size_t old_count = entry.existed ? (marked ? 3 : 2) : 0;
    if (n.size() != old_count + (marked ? 3 : 0)) return std::nullopt;
    if (entry.existed) {
      entry.size = n[0];
      entry.write_time = n[1];
      if (version == 3) entry.hash = n[2];
      if (version >= 4) entry.old_id = n[2];
    }
    if (marked) entry.placed = Placed{n[old_count], n[old_count + 1], n[old_count + 2], version < 5};
    journal.entries.push_back(entry);
  }
  return journal;
}

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

std::unique_ptr<File> LockFolder(Folder& folder) {
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
  ContentHash hash;
  step.staged = folder_.CopyToNew(source, Names(folder_, name).staged, attributes, &hash);
  unflushed_.push_back(step.staged.get());
  KeepPermissions(step);
  step.placed.size = hash.size();
  step.placed.hash = hash.hash();
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
    if (hard_links_) step.placed.id = step.staged->Id();
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
  bool same = file && IsAsLookedAt(step, file->status());
  if (same && step.made_from) {
    const std::string& read = *step.made_from;
    FromStart contents(*file);
    same = ReadAtMost(contents, read.size()).compare(0, read.size(), read) == 0;
  }
  if (!same) throw folder_.Own(step.entry.name).Error(common::kErrorFileInvalid, common::Cause::kChangedMeanwhile);
  return file;
}

// In staging order, the data file last. Both opens are made before the first rename, so that
// nothing but the second comes between the two; neither rename replaces anything.
void FileTransaction::Rename() {
  for (Step& step : steps_) {
    const Names n(folder_, step.entry.name);
    std::unique_ptr<File> old;
    if (step.entry.existed) old = OpenUnchanged(step, n.destination);
    step.renaming = true;
    if (old) folder_.RenameAside(*old, n.kept);
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
    if (old && step.made_from) {
      const std::string& read = *step.made_from;
      FromStart contents(*old);
      if (ReadAtMost(contents, read.size()).compare(0, read.size(), read) != 0) {
        throw n.destination.Error(common::kErrorFileInvalid, common::Cause::kChangedMeanwhile);
      }
    }
  }
  // Every rename on disk before the commit can be: no volume may keep the commit and lose one.
  folder_.FlushEntries();
}

// The commit: the journal renamed away.
void FileTransaction::CommitRecord() {
  folder_.RenameOver(*journal_, folder_.Record(std::wstring(kJournalName) + kKeptSuffix));
  journal_.reset();
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
  bool all = true;
  auto remove = [&](const Name& name) {
    try {
      DeleteSpare(folder_, name);
    } catch (...) {
      all = false;
    }
  };
  for (const Step& step : steps_) {
    if (step.entry.existed) remove(Names(folder_, step.entry.name).kept);
  }
  try {
    folder_.FlushEntries();
  } catch (...) {
    all = false;
  }
  if (all) remove(folder_.Record(std::wstring(kJournalName) + kKeptSuffix));
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
  const Name journal = folder.Record(kJournalName);
  std::unique_ptr<File> record = folder.OpenForReading(journal);
  if (record && record->status().directory) {
    // Not ours, and in the way of every run: the user's to remove, before anything changes.
    throw journal.Error(common::kErrorAccessDenied, common::Cause::kFolderAtOwnName);
  }
  const bool recorded = record != nullptr;
  const bool committed = !recorded && folder.Look(folder.Record(std::wstring(kJournalName) + kKeptSuffix)).exists;
  Restored restored;
  std::vector<std::wstring> spare = names;
  Journal read;
  bool complete = false;
  if (!record) {
    // A journal being put in place over one that owed a note, cut between the two names (a power
    // cut on FAT): nothing was renamed yet, and only the note is to be kept.
    std::unique_ptr<File> staged = folder.OpenForReading(folder.Record(std::wstring(kJournalName) + kStagedSuffix));
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
      if (named || (complete && !folder.Look(Names(folder, name).kept).exists) ||
          (!recorded && !folder.Look(Names(folder, name).kept).exists)) {
        continue;
      }
      JournalEntry& entry = read.entries.emplace_back();
      entry.name = name;
      entry.existed = true;
      entry.recorded = false;
    }
  }
  // Every file the record names, whichever version wrote it.
  for (const JournalEntry& entry : read.entries) AddNew(spare, {entry.name});
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
    DeleteSpareNames(folder, spare, true, committed);
    if (recorded || !restored.notes.empty()) SettleJournal(folder, restored.notes);
  } catch (common::SetupError& error) {
    AddTo(error, folder, Restored{true, restored.notes});
    throw;
  }
  return restored.notes;
}

}  // namespace install
