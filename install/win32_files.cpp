#include "install/win32_files.h"

#include <windows.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>
#include <wtsapi32.h>

#include <optional>
#include <vector>

#include "common/setup_error.h"
#include "install/folder_relative.h"

namespace install {
namespace {

[[noreturn]] void ThrowLastError(const std::wstring& path) {
  throw common::MakeError(GetLastError(), path);
}

void ThrowIf(DWORD error, const std::wstring& path) {
  if (error) throw common::MakeError(error, path);
}

void ThrowIf(DWORD error, const Name& name) {
  if (error) throw name.Error(error);
}

[[noreturn]] void ThrowLink(const Name& name) {
  throw name.Error(common::kErrorCantAccessFile, common::Cause::kLinkElsewhere);
}

using relative::Handle;
namespace opens = relative::opens;

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

bool IsNotThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

std::wstring FinalPathOrThrow(const Handle& file, const std::wstring& path) {
  relative::FinalPathOf final_path = relative::FinalPath(file);
  if (final_path.path.empty()) throw common::MakeError(final_path.error ? final_path.error : ERROR_INVALID_NAME, path);
  return std::move(final_path.path);
}

// A reparse point is judged by its tag: links and kinds this program does not know are refused,
// files whose contents a filter or cloud provider keeps are files. True for the latter.
bool ContentsElsewhere(const Handle& file, std::uint32_t attributes, const Name* name, const std::wstring& path) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  std::uint32_t tag = 0;
  ThrowIf(relative::QueryReparseTag(file, tag), path);
  common::Cause cause = common::Cause::kUnknownReparse;
  switch (rights::Judge(attributes, tag)) {
    case rights::Reparse::kPlain: return false;
    case rights::Reparse::kContents: return true;
    case rights::Reparse::kLink: cause = common::Cause::kLinkElsewhere; break;
    case rights::Reparse::kUnknown: break;
  }
  if (name) throw name->Error(common::kErrorCantAccessFile, cause);
  throw common::MakeError(common::kErrorCantAccessFile, path, cause);
}

// A folder the process cannot find on a drive letter that is not there for it: a network
// drive or subst made without elevation is not seen by a program run as administrator.
[[noreturn]] void ThrowFolderNotFound(const std::wstring& folder) {
  common::SetupError error = common::MakeError(common::kErrorPathNotFound, folder);
  if (folder.size() >= 3 && folder[1] == L':' && folder[2] == L'\\') {
    const std::wstring root = folder.substr(0, 3);
    if (GetDriveTypeW(root.c_str()) == DRIVE_NO_ROOT_DIR) {
      error.cause = common::Cause::kDriveNotSeen;
      error.drive = folder.substr(0, 2);
    }
  }
  throw error;
}

FileStatus StatusOf(const relative::Facts& facts) {
  FileStatus status;
  status.exists = true;
  status.directory = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.names = facts.links;
  status.size = facts.size;
  status.write_time = facts.write_time;
  status.attributes = facts.attributes;
  return status;
}

// A name found in its folder, open, and checked to be that folder's own file.
struct Found {
  Handle file;
  FileStatus status;
  bool contents_elsewhere = false;  // a reparse point that is a file: see ContentsElsewhere
};

// Whether the open file, whose final path is file_final, is name in folder by where it leads. The
// names as opened come first; a path spelt otherwise on the way (an 8.3 name in an old uninstall
// entry) is compared again in long form before it is taken for somewhere else. folder_long: the
// folder's long form, once read; empty where it cannot be had.
bool LiesIn(const Handle& file, const std::wstring& file_final, const Handle& folder, const std::wstring& folder_final,
            const std::wstring& name, std::optional<std::wstring>& folder_long) {
  if (SamePath(file_final, Join(folder_final, name))) return true;
  std::wstring file_long;
  if (relative::NormalizedPath(file, file_long)) return false;
  if (!folder_long) {
    std::wstring path;
    folder_long = relative::NormalizedPath(folder, path) ? std::wstring() : path;
  }
  return !folder_long->empty() && SamePath(file_long, Join(*folder_long, name));
}

const relative::OpenKind& KindOf(Access access) {
  switch (access) {
    case Access::kLook: return opens::kLook;
    case Access::kRead: return opens::kRead;
    case Access::kReplace: return opens::kReplace;
    case Access::kSetAside: return opens::kSetAside;
    case Access::kMove: return opens::kMove;
    case Access::kRemove: return opens::kRemove;
  }
  return opens::kLook;
}

class Win32Folder;

// An open file; its contents, where they are elsewhere, through Win32Folder::OpenContents.
class Win32File : public File {
 public:
  // contents: the kind of that second open.
  Win32File(const Win32Folder& folder, Name name, Found found, const relative::OpenKind& kind,
            const relative::OpenKind& contents = opens::kSharedContents)
      : folder_(folder), name_(std::move(name)), found_(std::move(found)), kind_(kind), contents_kind_(contents) {}
  const FileStatus& status() const override { return found_.status; }
  std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) override {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(n > kCopyChunk ? kCopyChunk : n);
    ThrowIf(relative::ReadAt(Contents(), offset, buf, want, got), name_);
    return got;
  }
  void Write(const char* data, std::size_t size) override {
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(size > kCopyChunk ? kCopyChunk : size);
      DWORD written = 0;
      ThrowIf(relative::Write(found_.file, data, chunk, written), name_);
      if (written == 0) throw name_.Error(common::kErrorDiskFull);
      data += written;
      size -= written;
    }
  }
  void Flush() override { ThrowIf(relative::Flush(found_.file), name_); }
  void SetTime(std::uint64_t write_time) override { ThrowIf(relative::SetWriteTime(found_.file, write_time), name_); }
  void SetAttributes(std::uint32_t attributes) override {
    ThrowIf(relative::SetAttributes(found_.file, attributes), name_);
  }
  std::string Permissions() override {
    std::string permissions;
    ThrowIf(relative::QueryOwnDacl(found_.file, permissions), name_);
    return permissions;
  }
  void SetPermissions(const std::string& permissions) override {
    ThrowIf(relative::SetDacl(found_.file, permissions), name_);
  }
  std::uint64_t Id() override {
    std::uint64_t id = 0;
    ThrowIf(relative::QueryFileId(found_.file, id), name_);
    return id;
  }
  void RenameTo(const Name& to, bool replace) override;
  void Delete() override { ThrowIf(relative::MarkForDeletion(found_.file), name_); }
  const Handle& Contents();

 private:
  const Win32Folder& folder_;
  Name name_;
  Found found_;
  const relative::OpenKind& kind_;
  const relative::OpenKind& contents_kind_;
  Handle contents_;
};

class Win32Folder : public Directory {
 public:
  Win32Folder(std::wstring path, Handle handle, std::wstring final_path)
      : path_(std::move(path)), handle_(std::move(handle)), final_path_(std::move(final_path)) {
    relative::Identity identity;
    if (!relative::QueryIdentity(handle_, identity)) identity_ = identity;
  }

  const std::wstring& path() const override { return path_; }
  const Handle& handle() const { return handle_; }

  // Opens name as access, and refuses it unless it is what its name in the folder claims: not a
  // link by its reparse tag, not somewhere else by its final path (under Wine a unix symlink is
  // followed whatever the open asked).
  std::unique_ptr<File> Open(const Name& name, Access access) override {
    const relative::OpenKind& kind = KindOf(access);
    relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), kind);
    if (IsNotThere(opened.error)) return nullptr;
    ThrowIf(opened.error, name);
    Found found{std::move(opened.file), {}};
    relative::Facts facts;
    ThrowIf(relative::QueryFacts(found.file, facts), name);
    found.status = StatusOf(facts);
    found.contents_elsewhere = ContentsElsewhere(found.file, facts.attributes, &name, name.reported());
    ThrowIf(relative::QueryFileId(found.file, found.status.id), name);
    if (!LiesHere(found.file, name)) ThrowLink(name);
    // Read: nobody writes it meanwhile, also through the contents' open.
    auto file = std::make_unique<Win32File>(*this, name, std::move(found), kind,
                                            access == Access::kRead ? opens::kContents : opens::kSharedContents);
    // A file to read has its contents opened at once: a cloud file's, which may not come, is
    // refused before anything is written.
    if (access == Access::kRead && !file->status().directory) file->Contents();
    return file;
  }

  std::unique_ptr<File> CreateNew(const Name& name) override { return Create(name, opens::kCreate); }
  std::unique_ptr<File> CreateLock(const Name& name) override { return Create(name, opens::kLock); }

  void FlushEntries() override { ThrowIf(relative::FlushEntries(handle_), path_); }

  // From the folder held, so that a game moved to another disk through a junction is told about
  // the disk it is on, not the one the junction is on.
  VolumeFacts Volume() override {
    relative::VolumeFacts facts;
    ThrowIf(relative::QueryVolume(handle_, facts), path_);
    VolumeFacts space{facts.hard_links, facts.available, facts.cluster ? facts.cluster : 4096, {}};
    std::wstring resolved;
    std::vector<wchar_t> root(path_.size() + MAX_PATH);
    if (!relative::DosPath(handle_, resolved)) {
      root.resize(resolved.size() + 2);
      if (GetVolumePathNameW(resolved.c_str(), root.data(), static_cast<DWORD>(root.size()))) space.root = root.data();
    }
    if (space.root.empty()) space.root = path_;
    return space;
  }

  std::unique_ptr<Directory> OpenFolder(const Name& name, bool to_write) override {
    relative::Opened opened =
        relative::Open(handle_, name.name(), name.reported(), to_write ? opens::kDataFolder : opens::kFolderOnTheWay);
    // A file of that name is no folder the game could have written in.
    if (IsNotThere(opened.error) || opened.error == ERROR_DIRECTORY) return nullptr;
    ThrowIf(opened.error, name);
    relative::Facts facts;
    ThrowIf(relative::QueryFacts(opened.file, facts), name);
    ContentsElsewhere(opened.file, facts.attributes, &name, name.reported());  // a link is refused
    if (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
    std::wstring final_path = FinalPathOrThrow(opened.file, name.reported());
    if (!LiesIn(opened.file, final_path, handle_, final_path_, name.name(), normalized_)) ThrowLink(name);
    return std::make_unique<Win32Folder>(Join(name.path(), L""), std::move(opened.file), std::move(final_path));
  }

  std::wstring WhereItLies() override {
    std::wstring where;
    // A volume the system gives no DOS path is known by the path the folder was opened by.
    if (relative::DosPath(handle_, where)) return path_;
    return Join(where, L"");
  }

  bool IsSameFolder(const Directory& other) const override {
    // By identity, whatever the spelling of the paths they were opened by (an 8.3 name in an
    // old uninstall entry); by where they lead only where the file system gives no identity.
    // Every folder of this process is one of these.
    const auto& win32 = static_cast<const Win32Folder&>(other);
    if (identity_ && win32.identity_) return *identity_ == *win32.identity_;
    return SamePath(Join(final_path_, L""), Join(win32.final_path_, L""));
  }

  // The contents of a file that a filter or cloud provider supplies, through a second open of
  // the same name that lets the filter act; the first, which shares no delete, keeps the name
  // from being swapped meanwhile, and both must be one file.
  Handle OpenContents(const Handle& first, const Name& name, const relative::OpenKind& kind) const {
    relative::Opened second = relative::Open(handle_, name.name(), name.reported(), kind);
    ThrowIf(second.error, name);
    if (!SameFile(first, second.file, name)) ThrowLink(name);
    return std::move(second.file);
  }

 private:
  std::unique_ptr<File> Create(const Name& name, const relative::OpenKind& kind) {
    relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), kind);
    ThrowIf(opened.error, name);
    FileStatus status;
    status.exists = true;
    return std::make_unique<Win32File>(*this, name, Found{std::move(opened.file), status}, kind);
  }

  bool LiesHere(const Handle& file, const Name& name) const {
    return LiesIn(file, FinalPathOrThrow(file, name.reported()), handle_, final_path_, name.name(), normalized_);
  }

  // One file, by its identity on the system; where the file system gives none, by its id.
  bool SameFile(const Handle& first, const Handle& second, const Name& name) const {
    relative::Identity a, b;
    if (!relative::QueryIdentity(first, a) && !relative::QueryIdentity(second, b)) return a == b;
    std::uint64_t first_id = 0, second_id = 0;
    ThrowIf(relative::QueryFileId(first, first_id), name);
    ThrowIf(relative::QueryFileId(second, second_id), name);
    return first_id == second_id;
  }

  std::wstring path_;
  Handle handle_;
  std::wstring final_path_;
  std::optional<relative::Identity> identity_;
  mutable std::optional<std::wstring> normalized_;  // the folder's long form: see LiesIn
};

const Handle& Win32File::Contents() {
  if (!found_.contents_elsewhere) return found_.file;
  if (!contents_.valid()) {
    contents_ = folder_.OpenContents(found_.file, name_, contents_kind_);
  }
  return contents_;
}

void Win32File::RenameTo(const Name& to, bool replace) {
  // Each rename on disk before the next, as FILE_WRITE_THROUGH at the open has it.
  if (!(kind_.options & FILE_WRITE_THROUGH)) ThrowIf(relative::SetWriteThrough(found_.file), name_);
  ThrowIf(relative::RenameTo(found_.file, folder_.handle(), to.name(), replace), to);
  name_ = to;
}

}  // namespace

std::wstring ExecutableDir() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) ThrowLastError(L"");
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      const std::size_t slash = path.find_last_of(L'\\');
      if (slash == std::wstring::npos) return path;
      // Keep the "\" of a drive root ("M:\setup.exe" is in "M:\").
      return path.substr(0, slash == 2 && path[1] == L':' ? slash + 1 : slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::unique_ptr<Directory> Win32Files::PinFolder(const std::wstring& folder, bool must_be_itself) {
  Handle handle = relative::OpenPath(folder, must_be_itself ? opens::kDataFolder : opens::kFolder);
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    if (IsNotThere(error)) ThrowFolderNotFound(folder);
    throw common::MakeError(error, folder);
  }
  relative::Facts facts;
  ThrowIf(relative::QueryFacts(handle, facts), folder);
  if (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) throw common::MakeError(common::kErrorPathNotFound, folder);
  std::wstring final_path = FinalPathOrThrow(handle, folder);
  if (must_be_itself) {
    // A OneDrive folder is a reparse point too, and no link.
    ContentsElsewhere(handle, facts.attributes, nullptr, folder);
    // Its parent may be reached through a link; the folder itself must lie in that parent.
    std::wstring path = folder;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) throw common::MakeError(common::kErrorPathNotFound, folder);
    const Handle parent = relative::OpenPath(path.substr(0, slash + 1), opens::kParent);
    if (!parent.valid()) ThrowLastError(folder);
    std::optional<std::wstring> parent_long;
    if (!LiesIn(handle, final_path, parent, FinalPathOrThrow(parent, folder), path.substr(slash + 1), parent_long)) {
      throw common::MakeError(common::kErrorCantAccessFile, folder, common::Cause::kLinkElsewhere);
    }
  }
  return std::make_unique<Win32Folder>(Join(folder, L""), std::move(handle), std::move(final_path));
}

void Win32Files::Pause(unsigned milliseconds) { Sleep(milliseconds); }

namespace {

std::wstring Environment(const wchar_t* name) {
  std::vector<wchar_t> value(MAX_PATH);
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) return std::wstring(value.data(), length);
    value.resize(length);
  }
}

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

// ProfileImagePath as stored (REG_EXPAND_SZ, which only RRF_NOEXPAND lets RegGetValueW return
// as it is), then expanded; empty when the account lists none.
std::wstring ProfileFolderOf(HKEY list, const wchar_t* sid) {
  std::vector<wchar_t> value(MAX_PATH);
  for (int query = 0; query < 4; ++query) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    const LSTATUS status = RegGetValueW(list, sid, L"ProfileImagePath",
                                        RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value.data(), &bytes);
    if (status == ERROR_SUCCESS) return Expanded(value.data());
    if (status != ERROR_MORE_DATA) return {};
    value.resize(bytes / sizeof(wchar_t) + 1);
  }
  return {};
}

// Services' own accounts: never an interactive user's, so never virtualized.
bool IsServiceAccount(const std::wstring& sid) {
  return sid == L"S-1-5-18" || sid == L"S-1-5-19" || sid == L"S-1-5-20";
}

}  // namespace

std::vector<std::wstring> Win32Files::VirtualizedFolders() {
  std::vector<std::wstring> folders;
  auto add = [&](const std::wstring& folder) {
    if (folder.empty()) return;
    const Handle handle = relative::OpenPath(folder, opens::kParent);
    std::wstring where;
    if (handle.valid() && !relative::DosPath(handle, where)) folders.push_back(Join(where, L""));
  };
  using KnownFolderFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
  using FreeFn = void(WINAPI*)(LPVOID);
  const auto known = SystemFunction<KnownFolderFn>(L"shell32.dll", "SHGetKnownFolderPath");
  const auto free = SystemFunction<FreeFn>(L"ole32.dll", "CoTaskMemFree");
  // The folders Microsoft lists as virtualized. A 32-bit program is given no 64-bit Program Files
  // among its known folders; the environment names it.
  for (const KNOWNFOLDERID* id : {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86, &FOLDERID_ProgramFilesX64,
                                  &FOLDERID_Windows, &FOLDERID_ProgramData}) {
    PWSTR path = nullptr;
    if (known && known(*id, KF_FLAG_DONT_VERIFY, nullptr, &path) == S_OK) add(path);
    if (free) free(path);
  }
  add(Environment(L"ProgramW6432"));
  return folders;
}

std::vector<std::wstring> Win32Files::ProfileFolders() {
  HKEY key = nullptr;
  // The 64-bit view, which a 32-bit setup.exe on 64-bit Windows is not given by itself.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                    KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return {};
  }
  const common::ScopedKey list(key);
  const std::wstring desktop = DesktopUser();
  std::vector<std::wstring> folders;
  for (DWORD i = 0;; ++i) {
    std::vector<wchar_t> sid(256);  // a SID's string is at most 184 characters
    DWORD length = static_cast<DWORD>(sid.size());
    const LSTATUS status = RegEnumKeyExW(key, i, sid.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || IsServiceAccount(sid.data())) continue;
    const std::wstring folder = ProfileFolderOf(key, sid.data());
    if (folder.empty()) continue;
    folders.insert(sid.data() == desktop ? folders.begin() : folders.end(), folder);
  }
  return folders;
}

}  // namespace install
