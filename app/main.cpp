// Entry: make DLL loading and links safe, create Form1, run its message loop.
#include <windows.h>

#include "app/form1.h"

namespace {

// setup.exe is run from download folders, where a planted DLL must never be picked up.
void RestrictDllSearchToSystem() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  // Windows 7 has it only with KB2533623, hence the run-time look-up.
  auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_default) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");  // takes the current directory out of the search too
  // The common controls load the theme library late, through a delay-load; loaded from the
  // system folder first, it is then found by name whatever path that load would search. Where
  // LOAD_LIBRARY_SEARCH_SYSTEM32 is refused (Windows 7 without KB2533623), by its full path.
  if (!LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH - 12) {
      lstrcatW(system, L"\\uxtheme.dll");
      LoadLibraryExW(system, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
}

// Windows 10 22H2 and later can refuse, for this process, any junction or symbolic link that a
// non-administrator made: one more guard for the folders other users may write.
void TrustOnlyAdministratorsRedirections() {
  using SetPolicyFn = BOOL(WINAPI*)(int, PVOID, SIZE_T);
  auto set_policy = reinterpret_cast<SetPolicyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
  constexpr int kRedirectionTrustPolicy = 16;  // ProcessRedirectionTrustPolicy
  DWORD enforce = 1;                           // EnforceRedirectionTrust
  if (set_policy) set_policy(kRedirectionTrustPolicy, &enforce, sizeof enforce);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  RestrictDllSearchToSystem();
  TrustOnlyAdministratorsRedirections();
  app::Form1 form(instance, show_command);
  form.Create();
  return form.RunMessageLoop();
}
