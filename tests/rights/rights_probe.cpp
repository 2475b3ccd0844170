// Opens a file in the given folder as each kind of open the installation makes, and prints, per
// kind, the rights the file layer believes the handle has beside those the system records for it
// (FileAccessInformation); then shows that a call without its right is refused, naming the call.
// Exit status 0 only when every kind agrees and the refusal came.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/setup_error.h"
#include "install/folder_relative.h"

namespace {

using install::relative::Handle;
using install::relative::OpenKind;
namespace relative = install::relative;
namespace opens = install::relative::opens;

// The probe's own opens, which the installation never makes.
constexpr OpenKind kMakeProbe{"make probe", opens::kCreate.access, 0, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, false};
constexpr OpenKind kDeleteOnly{"delete only", DELETE, opens::kShareAll, FILE_OPEN, 0, false};

// Opens as the installation does: a folder by its path, a new file under a name of its own, any
// other file as the one the probe made.
Handle OpenAs(const Handle& folder, const std::wstring& dir, const OpenKind& kind) {
  if (kind.options & FILE_DIRECTORY_FILE) return relative::OpenPath(dir, kind);
  const std::string what = kind.what;
  const bool create = kind.disposition == FILE_CREATE;
  const std::wstring name = create ? L"created-" + std::wstring(what.begin(), what.end()) : L"probe.dat";
  relative::Opened opened = relative::Open(folder, name, name, kind);
  if (opened.error) std::printf("open-failed %s %lu\n", kind.what, opened.error);
  if (create && opened.file.valid()) relative::MarkForDeletion(opened.file);
  return std::move(opened.file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring dir = argv[1];
  const Handle folder = relative::OpenPath(dir, opens::kFolder);
  if (!folder.valid()) return 3;
  {
    relative::Opened probe = relative::Open(folder, L"probe.dat", L"probe.dat", kMakeProbe);
    if (probe.error) return 4;
  }
  int failures = 0;
  for (const OpenKind& kind : opens::kAll) {
    const Handle handle = OpenAs(folder, dir, kind);
    std::uint32_t recorded = 0;
    if (!handle.valid() || relative::QueryGrantedAccess(handle, recorded)) {
      std::printf("unknown %s\n", kind.what);
      ++failures;
      continue;
    }
    const bool same = recorded == handle.granted();
    failures += !same;
    std::printf("%s %s believed=0x%08x recorded=0x%08x\n", same ? "same" : "DIFFERENT", kind.what,
                static_cast<unsigned>(handle.granted()), static_cast<unsigned>(recorded));
  }
  // What the installation once did: a handle opened for DELETE alone asked for its facts.
  relative::Opened bare = relative::Open(folder, L"probe.dat", L"probe.dat", kDeleteOnly);
  try {
    relative::Facts facts;
    relative::QueryFacts(bare.file, facts);
    std::printf("ALLOWED facts on a DELETE-only handle\n");
    ++failures;
  } catch (const common::SetupError& error) {
    const bool named = error.cause == common::Cause::kMissingRight && error.number == ERROR_ACCESS_DENIED;
    failures += !named;
    std::printf("refused %ls\n", error.operation.c_str());
  }
  return failures == 0 ? 0 : 1;
}
