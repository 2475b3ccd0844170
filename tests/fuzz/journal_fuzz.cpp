// Any bytes at the record's name, as anyone who can write the data folder could leave them: the
// reader either refuses them or gives entries that write back as a record reading the same; and
// the next run's rollback from them ends in a report or a folder rolled back, never in a fault.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/setup_error.h"
#include "fake_volume.h"
#include "install/file_transaction.h"

namespace {

const std::wstring kData = L"C:\\K\\data\\";
const std::wstring kSources = L"E:\\";
const std::vector<std::wstring> kNames{L"21.dat", L"51.dat", L"30.dat"};

void CheckRoundTrip(const std::string& bytes) {
  const std::optional<install::Journal> read = install::ParseJournal(bytes, {L"30.dat"});
  if (!read) return;
  const std::string written = install::FormatJournal(read->entries, read->owed);
  const std::optional<install::Journal> again = install::ParseJournal(written, {L"30.dat"});
  if (!again || install::FormatJournal(again->entries, again->owed) != written) std::abort();
}

// A folder after a run of ours was cut short, and a user's own file beside it.
void CheckRollback(const std::string& bytes, bool hard_links) {
  fake::FakeFiles fs;
  fs.hard_links = hard_links;
  fs.folders.insert({kData, kSources});
  auto put = [&](const std::wstring& path, const std::string& contents) {
    fs.files[path] = std::make_shared<std::string>(contents);
  };
  put(kSources + L"21.dat", "new 21");
  put(kData + L"21.dat", "new 21");
  put(kData + L"21.dat.setup-old", "old 21");
  put(kData + L"51.dat.setup-new", "new 51");
  put(kData + L"30.dat", "new 30");
  put(kData + L"30.dat.setup-old", "old 30");
  put(kData + L"save01.sav", "the user's save");
  put(kData + L"setup.journal", bytes);
  try {
    std::unique_ptr<install::Folder> data = install::PinFolder(fs, kData, true);
    const std::unique_ptr<install::Folder> sources = install::PinFolder(fs, kSources, false);
    install::RecoverInterruptedRun(*data, kNames, {L"30.dat"}, install::Elsewhere{sources.get(), {L"30.dat"}});
  } catch (const common::SetupError&) {
    // a report; the folder is the next run's to finish
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip(bytes);
  CheckRollback(bytes, true);
  CheckRollback(bytes, false);
  return 0;
}
