// Opens, through the installation's own file layer, a file in the given folder as each kind of
// open there is, and prints, per kind, the rights the layer believes the handle has beside those
// the system records for it (FileAccessInformation); then shows that a call without its right is
// refused, naming the call. Exit status 0 only when every kind agrees and the refusal came.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/scoped_handle.h"
#include "common/setup_error.h"
#include "install/folder.h"
#include "install/win32_files.h"

// The installation's code is built with stack canaries whose guard setup.exe keeps itself
// (app/entry.cpp); a fixed one does for a probe.
extern "C" {
void* __stack_chk_guard = reinterpret_cast<void*>(0x5e7c0de5);
[[noreturn]] void __stack_chk_fail() { std::abort(); }
}

namespace {

using install::OpenKind;
namespace opens = install::opens;

// The probe's own open, which the installation never makes.
constexpr OpenKind kDeleteOnly{"delete only", install::rights::kDelete, opens::kShareAll, opens::kExisting, 0, false};

// A folder kind opens the folder "sub", a creating kind a name of its own, any other the probe file.
std::wstring NameFor(const OpenKind& kind) {
  const std::string what = kind.what;
  if (kind.options & opens::kFolderOnly) return L"sub";
  return kind.Creates() ? L"created-" + std::wstring(what.begin(), what.end()) : L"probe.dat";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring dir = argv[1];
  {
    const common::ScopedHandle probe(
        CreateFileW((dir + L"\\probe.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!probe.valid() || (!CreateDirectoryW((dir + L"\\sub").c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)) {
      return 3;
    }
  }
  install::Win32Files files;
  int failures = 0;
  try {
    // The folder twice: names are made by a Folder, and opened as any kind by the Directory.
    const install::Folder folder(files, files.PinFolder(dir, false));
    const std::unique_ptr<install::Directory> directory = files.PinFolder(dir, false);
    for (const OpenKind& kind : opens::kAll) {
      try {
        const std::unique_ptr<install::File> file = directory->Open(folder.Own(NameFor(kind)), kind);
        const install::Rights rights = install::RightsOf(*file);
        if (kind.Creates()) file->Delete();
        const bool same = rights.recorded == rights.believed;
        failures += !same;
        std::printf("%s %s believed=0x%08x recorded=0x%08x\n", same ? "same" : "DIFFERENT", kind.what,
                    static_cast<unsigned>(rights.believed), static_cast<unsigned>(rights.recorded));
      } catch (const common::SetupError& error) {
        std::printf("unknown %s (%lu)\n", kind.what, static_cast<unsigned long>(error.number));
        ++failures;
      }
    }
    // What the installation once did: a handle opened for DELETE alone asked for its facts.
    try {
      directory->Open(folder.Own(L"probe.dat"), kDeleteOnly);
      std::printf("ALLOWED facts on a DELETE-only handle\n");
      ++failures;
    } catch (const common::SetupError& error) {
      const bool named = error.cause == common::Cause::kMissingRight && error.number == ERROR_ACCESS_DENIED;
      failures += !named;
      std::printf("refused %ls\n", error.operation.c_str());
    }
  } catch (const common::SetupError& error) {
    std::printf("folder refused (%lu)\n", static_cast<unsigned long>(error.number));
    return 4;
  }
  return failures == 0 ? 0 : 1;
}
