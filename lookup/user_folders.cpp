#include "lookup/user_folders.h"

#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <utility>
#include <vector>

#include "common/scoped_handle.h"

namespace lookup {
namespace {

std::wstring Expanded(const std::wstring& text) {
  std::vector<wchar_t> value(MAX_PATH);
  for (int query = 0; query < 4; ++query) {
    // The room needed, NUL included; when it fits, the length with its NUL.
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length <= value.size()) return std::wstring(value.data(), length - 1);
    value.resize(length);
  }
  return {};
}

// A DLL from the system folder, never from beside setup.exe; where LOAD_LIBRARY_SEARCH_SYSTEM32
// is refused (Windows 7 without KB2533623), by its full path there. Loaded when first needed,
// so that a start loads nothing more.
template <typename Function>
Function SystemFunction(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) {
    std::vector<wchar_t> system(MAX_PATH);
    const UINT length = GetSystemDirectoryW(system.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    module = LoadLibraryExW((std::wstring(system.data(), length) + L"\\" + dll).c_str(), nullptr,
                            LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

std::wstring StringSid(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// The user this process runs as, as a string SID; empty when it cannot be read.
std::wstring OwnUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const common::ScopedHandle held(token);
  std::vector<unsigned char> buffer(256);
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  }
  return StringSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// The user whose desktop this is, as a string SID: where an administrator's credentials were
// typed in to elevate setup.exe, not its own. The session says so without any privilege, where
// the shell's process would ask for SeDebugPrivilege. Its own user where the session cannot tell.
std::wstring DesktopUser() {
  using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
  using FreeFn = void(WINAPI*)(PVOID);
  const auto query = SystemFunction<QueryFn>(L"wtsapi32.dll", "WTSQuerySessionInformationW");
  const auto free = SystemFunction<FreeFn>(L"wtsapi32.dll", "WTSFreeMemory");
  auto ask = [&](WTS_INFO_CLASS what) {
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!query || !free || !query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &text, &bytes)) return std::wstring();
    std::wstring answer = text ? text : L"";
    free(text);
    return answer;
  };
  const std::wstring user = ask(WTSUserName);
  if (user.empty()) return OwnUser();
  const std::wstring domain = ask(WTSDomainName);
  const std::wstring account = domain.empty() ? user : domain + L"\\" + user;
  std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
  DWORD sid_size = static_cast<DWORD>(sid.size());
  std::vector<wchar_t> referenced(256);
  DWORD referenced_size = static_cast<DWORD>(referenced.size());
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sid_size, referenced.data(), &referenced_size, &use)) {
    return OwnUser();
  }
  return StringSid(sid.data());
}

// A key of HKLM in the 64-bit view, which a 32-bit setup.exe on 64-bit Windows is not given by
// itself; invalid where it cannot be read.
common::ScopedKey MachineKey(const wchar_t* subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) key = nullptr;
  return common::ScopedKey(key);
}

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// A path the registry keeps under a subkey of key: as stored (REG_EXPAND_SZ, which only
// RRF_NOEXPAND lets RegGetValueW return as it is), then expanded if it is one; empty where there
// is none.
std::wstring RegistryPath(HKEY key, const wchar_t* subkey, const wchar_t* value_name) {
  std::vector<wchar_t> value(MAX_PATH);
  for (int query = 0; query < 4; ++query) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    DWORD type = 0;
    const LSTATUS status = RegGetValueW(key, subkey, value_name,
                                        RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type,
                                        value.data(), &bytes);
    if (status == ERROR_SUCCESS) return type == REG_EXPAND_SZ ? Expanded(value.data()) : std::wstring(value.data());
    if (status != ERROR_MORE_DATA) return {};
    value.resize(bytes / sizeof(wchar_t) + 1);
  }
  return {};
}

// Where a folder really lies, every link on the way resolved and every name in its long form, as
// C:\...\ or \\server\share\...\: as the data folder's is given, to be compared with it. Empty
// where it cannot be opened or named.
std::wstring WhereItLies(const std::wstring& folder) {
  const common::ScopedHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return {};
  std::vector<wchar_t> path(MAX_PATH);
  for (int query = 0; query < 4; ++query) {
    // The length without its NUL when it fits; the room needed, NUL included, when it does not.
    const DWORD length = GetFinalPathNameByHandleW(handle.get(), path.data(), static_cast<DWORD>(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length >= path.size()) {
      path.resize(length + 1);
      continue;
    }
    std::wstring where(path.data(), length);
    if (where.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      where.replace(0, 8, L"\\\\");
    } else if (where.rfind(L"\\\\?\\", 0) == 0) {
      where.erase(0, 4);
    }
    if (where.empty() || where.back() != L'\\') where += L'\\';
    return where;
  }
  return {};
}

// Services' own accounts: never an interactive user's, so never virtualized.
bool IsServiceAccount(const std::wstring& sid) {
  return sid == L"S-1-5-18" || sid == L"S-1-5-19" || sid == L"S-1-5-20";
}

}  // namespace

std::vector<std::wstring> VirtualizedFolders() {
  std::vector<std::wstring> folders;
  auto add = [&](const std::wstring& folder) {
    if (std::wstring where = WhereItLies(folder); !where.empty()) folders.push_back(std::move(where));
  };
  // The folders Microsoft lists as virtualized, where Windows keeps them, which only
  // administrators may change: the shell's known folders are read from the same values, and
  // loading the shell for them took longer than the rest of a run of small files. The 64-bit
  // view names both Program Files, also to a 32-bit program.
  if (const common::ScopedKey version = MachineKey(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion"); version.valid()) {
    add(RegistryPath(version.get(), nullptr, L"ProgramFilesDir"));
    add(RegistryPath(version.get(), nullptr, L"ProgramFilesDir (x86)"));
  }
  if (const common::ScopedKey list = MachineKey(kProfileList); list.valid()) {
    add(RegistryPath(list.get(), nullptr, L"ProgramData"));
  }
  std::vector<wchar_t> windows(MAX_PATH);
  const UINT length = GetSystemWindowsDirectoryW(windows.data(), MAX_PATH);
  if (length > 0 && length < MAX_PATH) add(std::wstring(windows.data(), length));
  return folders;
}

std::vector<std::wstring> ProfileFolders() {
  const common::ScopedKey list = MachineKey(kProfileList);
  if (!list.valid()) return {};
  const std::wstring desktop = DesktopUser();
  std::vector<std::wstring> folders;
  for (DWORD i = 0;; ++i) {
    std::vector<wchar_t> sid(256);  // a SID's string is at most 184 characters
    DWORD length = static_cast<DWORD>(sid.size());
    const LSTATUS status = RegEnumKeyExW(list.get(), i, sid.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || IsServiceAccount(sid.data())) continue;
    const std::wstring folder = RegistryPath(list.get(), sid.data(), L"ProfileImagePath");
    if (folder.empty()) continue;
    folders.insert(sid.data() == desktop ? folders.begin() : folders.end(), folder);
  }
  return folders;
}


}  // namespace lookup
