#include "install/file_transaction.h"

#include "app/setup_error.h"

namespace install {

FileTransaction::~FileTransaction() {
  if (!finished_) Undo();
}

FileTransaction::Entry& FileTransaction::Add(const std::wstring& destination) {
  // Recorded before the file is written, so that a failure halfway still removes it.
  entries_.push_back(Entry{destination, destination + kStagedSuffix, destination + kKeptSuffix});
  return entries_.back();
}

template <typename Write>
void FileTransaction::Stage(const std::wstring& destination, Write&& write) {
  const std::wstring staged = Add(destination).staged;
  try {
    write(staged);
  } catch (app::SetupError& error) {
    // The user knows the file by its own name, not by our spare one.
    if (error.path == staged) error.path = destination;
    throw;
  }
}

void FileTransaction::StageCopy(const std::wstring& source, const std::wstring& destination) {
  Stage(destination, [&](const std::wstring& staged) { files_.CopyToNew(source, staged); });
}

void FileTransaction::StageContents(const std::wstring& destination, const std::string& bytes,
                                    std::uint32_t attributes) {
  Stage(destination, [&](const std::wstring& staged) { files_.WriteToNew(staged, bytes, attributes); });
}

void FileTransaction::Commit() {
  try {
    files_.FlushNewFiles();
    for (Entry& entry : entries_) {
      if (files_.Status(entry.destination).exists) {
        files_.KeepAside(entry.destination, entry.kept);
        entry.kept_aside = true;
      }
      files_.MoveReplacing(entry.staged, entry.destination);
      entry.moved = true;
    }
  } catch (...) {
    Undo();
    throw;
  }
  finished_ = true;
  // Installed: what is left to tidy is only our own spare names, which the next run removes
  // if they cannot be removed now.
  for (const Entry& entry : entries_) {
    if (!entry.kept_aside) continue;
    try {
      files_.Delete(entry.kept);
    } catch (const app::SetupError&) {
    }
  }
}

void FileTransaction::Undo() noexcept {
  finished_ = true;
  // Each step is tried on its own: one that fails must not keep the others from restoring.
  // A kept file that cannot be moved back stays under its spare name.
  auto attempt = [](auto&& step) {
    try {
      step();
    } catch (...) {
    }
  };
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    if (!entry->moved) {
      // The destination still holds its old file; only our spare names go.
      attempt([&] { files_.Delete(entry->kept); });
      attempt([&] { files_.Delete(entry->staged); });
    } else if (entry->kept_aside) {
      attempt([&] { files_.MoveReplacing(entry->kept, entry->destination); });
    } else {
      attempt([&] { files_.Delete(entry->destination); });
    }
  }
}

void RemoveLeftovers(InstallFiles& files, const std::vector<std::wstring>& destinations) {
  for (const std::wstring& destination : destinations) {
    files.Delete(destination + kStagedSuffix);
    files.Delete(destination + kKeptSuffix);
  }
}

}  // namespace install
