#include "install/win32_files.h"

#include <windows.h>
#include <sddl.h>

#include <optional>
#include <vector>

#include "common/setup_error.h"
#include "install/folder_relative.h"

namespace install {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;

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

void WriteAll(const Handle& file, const char* data, std::size_t size, const Name& name) {
  while (size > 0) {
    const DWORD chunk = size > kCopyChunk ? kCopyChunk : static_cast<DWORD>(size);
    DWORD written = 0;
    ThrowIf(relative::Write(file, data, chunk, written), name);
    if (written == 0) throw name.Error(common::kErrorDiskFull);
    data += written;
    size -= written;
  }
}

// The attributes a replacement carries over from the file it replaces.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class Win32Lock : public HeldLock {
 public:
  explicit Win32Lock(Handle file) : file_(std::move(file)) {}

 private:
  Handle file_;
};

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

bool IsNotThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What another program's hold, or the file's own state (read-only, a folder), makes an open
// that asks to write or delete fail with.
bool IsRefusal(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

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

// Reads at offsets through a handle it does not own.
class HandleReader : public ByteSource {
 public:
  HandleReader(const Handle& file, const Name& name) : file_(file), name_(name) {}
  std::size_t Read(char* buf, std::size_t n) override {
    DWORD got = 0;
    const DWORD want = n > kCopyChunk ? kCopyChunk : static_cast<DWORD>(n);
    ThrowIf(relative::ReadAt(file_, offset_, buf, want, got), name_);
    offset_ += got;
    return got;
  }

 private:
  const Handle& file_;
  const Name& name_;
  std::uint64_t offset_ = 0;
};

class Win32Folder;

// Created new, shared with nobody; closed when destroyed, never deleted then.
class Win32NewFile : public NewFile {
 public:
  Win32NewFile(const Win32Folder& folder, Name name, Handle file)
      : folder_(folder), name_(std::move(name)), file_(std::move(file)) {}
  void Write(const std::string& bytes) override { WriteAll(file_, bytes.data(), bytes.size(), name_); }
  void Flush() override { ThrowIf(relative::Flush(file_), name_); }
  std::uint64_t Id() override {
    std::uint64_t id = 0;
    ThrowIf(relative::QueryFileId(file_, id), name_);
    return id;
  }
  void SetPermissions(const std::string& permissions) override { ThrowIf(relative::SetDacl(file_, permissions), name_); }
  void RenameOver(const Name& to) override;
  // For the operation that made it, when it fails before the file is whole.
  void Discard() noexcept {
    try {
      relative::MarkForDeletion(file_);
    } catch (...) {  // the next run removes spare names
    }
  }
  const Handle& handle() const { return file_; }
  const Name& name() const { return name_; }

 private:
  const Win32Folder& folder_;
  Name name_;
  Handle file_;
};

class Win32Folder : public Folder {
 public:
  Win32Folder(std::wstring path, Handle handle, std::wstring final_path)
      : path_(std::move(path)), handle_(std::move(handle)), final_path_(std::move(final_path)) {
    relative::Identity identity;
    if (!relative::QueryIdentity(handle_, identity)) identity_ = identity;
  }

  const std::wstring& path() const override { return path_; }
  const Handle& handle() const { return handle_; }

  // Opens name as kind, and refuses it unless it is what its name in the folder claims: not a
  // link by its reparse tag, not somewhere else by its final path (under Wine a unix symlink is
  // followed whatever the open asked), and, unless extra_names, not one of several hard links
  // to a file. Nothing when nothing is there.
  std::optional<Found> OpenIn(const Name& name, const relative::OpenKind& kind, bool extra_names) const {
    relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), kind);
    if (IsNotThere(opened.error)) return std::nullopt;
    ThrowIf(opened.error, name);
    return CheckIsItself(std::move(opened.file), name, extra_names);
  }

  Found CheckIsItself(Handle file, const Name& name, bool extra_names) const {
    Found found{std::move(file), {}};
    relative::Facts facts;
    ThrowIf(relative::QueryFacts(found.file, facts), name);
    found.status = StatusOf(facts);
    found.contents_elsewhere = ContentsElsewhere(found.file, facts.attributes, &name, name.reported());
    ThrowIf(relative::QueryFileId(found.file, found.status.id), name);
    if (!extra_names && facts.links > 1) ThrowLink(name);
    if (!LiesHere(found.file, name)) ThrowLink(name);
    return found;
  }

  // Whether the open file is name in this folder by where it leads. The names as opened come
  // first; a path spelt otherwise on the way (an 8.3 name in an old uninstall entry) is
  // compared again in long form before it is taken for somewhere else.
  bool LiesHere(const Handle& file, const Name& name) const {
    if (SamePath(FinalPathOrThrow(file, name.reported()), Join(final_path_, name.name()))) return true;
    std::wstring file_path;
    if (relative::NormalizedPath(file, file_path)) return false;
    if (!normalized_) {
      std::wstring folder_path;
      normalized_ = relative::NormalizedPath(handle_, folder_path) ? std::wstring() : folder_path;
    }
    return !normalized_->empty() && SamePath(file_path, Join(*normalized_, name.name()));
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

  // The contents of a file that a filter or cloud provider supplies, through a second open of
  // the same name that lets the filter act; the first, which shares no delete, keeps the name
  // from being swapped meanwhile, and both must be one file.
  Handle OpenContents(const Handle& first, const Name& name, const relative::OpenKind& kind) const {
    relative::Opened second = relative::Open(handle_, name.name(), name.reported(), kind);
    ThrowIf(second.error, name);
    if (!SameFile(first, second.file, name)) ThrowLink(name);
    return std::move(second.file);
  }

  FileStatus Look(const Name& name) override {
    const std::optional<Found> found = OpenIn(name, opens::kLook, true);
    return found ? found->status : FileStatus{};
  }

  std::unique_ptr<SourceFile> OpenForReading(const Name& name) override;
  std::unique_ptr<Replaced> OpenToReplace(const Name& name) override;

  bool IsSameFolder(const Folder& other) const override {
    // By identity, whatever the spelling of the paths they were opened by (an 8.3 name in an
    // old uninstall entry); by where they lead only where the file system gives no identity.
    const auto* win32 = dynamic_cast<const Win32Folder*>(&other);
    if (!win32) return false;
    if (identity_ && win32->identity_) return *identity_ == *win32->identity_;
    return SamePath(Join(final_path_, L""), Join(win32->final_path_, L""));
  }

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

  std::unique_ptr<HeldLock> Lock(const Name& name) override {
    for (int attempt = 1;; ++attempt) {
      relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), opens::kLock);
      if (!opened.error) return std::make_unique<Win32Lock>(std::move(opened.file));
      const bool taken = opened.error == ERROR_FILE_EXISTS || opened.error == ERROR_ALREADY_EXISTS;
      if (!taken || attempt == 3) throw name.Error(opened.error);
      // Left by a power cut: removed. Held by another setup.exe, this fails with a sharing
      // violation; planted as a link, it is refused.
      Delete(name);
    }
  }

  std::unique_ptr<NewFile> CreateNew(const Name& name, std::uint32_t attributes) override {
    return Create(name, attributes);
  }

  std::unique_ptr<Win32NewFile> Create(const Name& name, std::uint32_t attributes) const {
    relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), opens::kCreate);
    ThrowIf(opened.error, name);
    auto file = std::make_unique<Win32NewFile>(*this, name, std::move(opened.file));
    if (const DWORD carried = attributes & kCarriedAttributes) {
      if (const DWORD error = relative::SetAttributes(file->handle(), carried)) {
        file->Discard();
        throw name.Error(error);
      }
    }
    return file;
  }

  // A new file at name with what source reads and the given write time; nothing is left at
  // name if it fails.
  std::unique_ptr<NewFile> CopyInto(ByteSource& source, const Name& name, std::uint32_t attributes,
                                    std::uint64_t write_time) const {
    std::unique_ptr<Win32NewFile> file = Create(name, attributes);
    try {
      std::vector<char> chunk(kCopyChunk);
      while (const std::size_t got = source.Read(chunk.data(), chunk.size())) {
        WriteAll(file->handle(), chunk.data(), got, name);
      }
      ThrowIf(relative::SetWriteTime(file->handle(), write_time), name);
    } catch (...) {
      file->Discard();
      throw;
    }
    return file;
  }

  std::unique_ptr<NewFile> CopyToNew(SourceFile& source, const Name& name, std::uint32_t attributes) override {
    // Read from its start, and the time its own: a retried copy must be the same copy.
    FromStart from_start(source);
    // Not the source's attributes: files from a CD are read-only, and the copy must stay replaceable.
    return CopyInto(from_start, name, attributes, source.status().write_time);
  }

  void RenameOver(const Name& from, const Name& to) override {
    // What was at `to` is replaced as a name, whatever it is, never followed.
    const std::optional<Found> found = OpenIn(from, opens::kMove, true);
    if (!found) throw from.Error(ERROR_FILE_NOT_FOUND);
    ThrowIf(relative::RenameTo(found->file, handle_, to.name()), to);
  }

  void FlushEntries() override { ThrowIf(relative::FlushEntries(handle_), path_); }

  void RenameAside(const Name& from, const Name& to) override {
    const std::optional<Found> found = OpenIn(from, opens::kMove, true);
    if (!found) throw from.Error(ERROR_FILE_NOT_FOUND);
    const DWORD error = relative::RenameTo(found->file, handle_, to.name(), false);
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) throw to.Error(common::kErrorAlreadyExists);
    ThrowIf(error, to);
  }

  bool Delete(const Name& name, std::uint64_t only_file = 0) override {
    // The name goes, never what it might point to: a link is refused before anything is marked.
    const std::optional<Found> found = OpenIn(name, opens::kRemove, true);
    if (!found) return true;
    if (found->status.directory) throw name.Error(ERROR_ACCESS_DENIED, common::Cause::kFolderAtOwnName);
    if (only_file && found->status.id != only_file) return false;
    const std::uint32_t attributes = found->status.attributes & (kCarriedAttributes | FILE_ATTRIBUTE_READONLY);
    const bool read_only = found->status.read_only;
    // Windows refuses to delete a read-only file; the flag is the file's, on all its names.
    if (read_only) {
      const DWORD cleared = attributes & ~FILE_ATTRIBUTE_READONLY;
      ThrowIf(relative::SetAttributes(found->file, cleared ? cleared : FILE_ATTRIBUTE_NORMAL), name);
    }
    const DWORD error = relative::MarkForDeletion(found->file);
    if (read_only && (error || found->status.names > 1)) relative::SetAttributes(found->file, attributes);
    ThrowIf(error, name);
    return true;
  }

 private:
  std::wstring path_;
  Handle handle_;
  std::wstring final_path_;
  std::optional<relative::Identity> identity_;
  mutable std::optional<std::wstring> normalized_;  // empty where it cannot be had
};

void Win32NewFile::RenameOver(const Name& to) {
  // Each rename on disk before the next, as FILE_WRITE_THROUGH at the open would have it.
  ThrowIf(relative::SetWriteThrough(file_), name_);
  ThrowIf(relative::RenameTo(file_, folder_.handle(), to.name()), to);
  name_ = to;
}

// A file to read: the first handle (on the name itself) keeps the name from moving; for a file
// whose contents a filter or cloud provider supplies, a second one reads them.
class Win32Source : public SourceFile {
 public:
  Win32Source(Found found, Handle contents, Name name)
      : name_handle_(std::move(found.file)), contents_(std::move(contents)), status_(found.status),
        name_(std::move(name)) {}
  const FileStatus& status() const override { return status_; }
  std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) override {
    DWORD got = 0;
    const DWORD want = n > kCopyChunk ? kCopyChunk : static_cast<DWORD>(n);
    ThrowIf(relative::ReadAt(contents_.valid() ? contents_ : name_handle_, offset, buf, want, got), name_);
    return got;
  }

 private:
  Handle name_handle_;
  Handle contents_;
  FileStatus status_;
  Name name_;
};

std::unique_ptr<SourceFile> Win32Folder::OpenForReading(const Name& name) {
  std::optional<Found> found = OpenIn(name, opens::kRead, false);
  if (!found) return nullptr;
  Handle contents;
  if (found->contents_elsewhere && !found->status.directory) contents = OpenContents(found->file, name, opens::kContents);
  return std::make_unique<Win32Source>(std::move(*found), std::move(contents), name);
}

// The destination, open to be replaced, or, where that open was refused, only looked at: the
// refusal is then CheckFree's to report, and every call that needs more than a look makes it
// first.
class Win32Replaced : public Replaced {
 public:
  Win32Replaced(Win32Folder& folder, Name name, Found found, std::optional<common::SetupError> refused)
      : folder_(folder), name_(std::move(name)), found_(std::move(found)), refused_(std::move(refused)) {}

  const FileStatus& status() const override { return found_.status; }

  void CheckFree() override {
    if (!refused_) return;
    relative::Opened opened = relative::Open(folder_.handle(), name_.name(), name_.reported(), opens::kReplace);
    if (opened.error) throw name_.Error(opened.error);
    found_ = folder_.CheckIsItself(std::move(opened.file), name_, true);
    refused_.reset();
  }

  std::unique_ptr<ByteSource> Read() override {
    CheckFree();
    return std::make_unique<HandleReader>(Contents(), name_);
  }

  std::string Permissions() override {
    CheckFree();
    std::string permissions;
    ThrowIf(relative::QueryOwnDacl(found_.file, permissions), name_);
    return permissions;
  }

  bool HardLinksWork(const Name& probe) override {
    CheckFree();
    if (relative::LinkAs(found_.file, folder_.handle(), probe.name()) != 0) return false;
    try {
      folder_.Delete(probe);
    } catch (const common::SetupError&) {
      // left over, it goes with the next run's spare names
    }
    return true;
  }

  std::unique_ptr<NewFile> KeepAs(const Name& kept) override {
    CheckFree();
    if (relative::LinkAs(found_.file, folder_.handle(), kept.name()) == 0) return nullptr;
    // FAT and exFAT volumes and some network shares have no hard links: keep a copy instead,
    // with the file's own attributes and time.
    HandleReader reader(Contents(), name_);
    return folder_.CopyInto(reader, kept, found_.status.attributes, found_.status.write_time);
  }

 private:
  const Handle& Contents() {
    if (!found_.contents_elsewhere) return found_.file;
    if (!contents_.valid()) contents_ = folder_.OpenContents(found_.file, name_, opens::kSharedContents);
    return contents_;
  }

  Win32Folder& folder_;
  Name name_;
  Found found_;
  Handle contents_;
  std::optional<common::SetupError> refused_;
};

std::unique_ptr<Replaced> Win32Folder::OpenToReplace(const Name& name) {
  relative::Opened opened = relative::Open(handle_, name.name(), name.reported(), opens::kReplace);
  if (IsNotThere(opened.error)) return nullptr;
  if (!opened.error) {
    return std::make_unique<Win32Replaced>(*this, name, CheckIsItself(std::move(opened.file), name, true), std::nullopt);
  }
  if (!IsRefusal(opened.error)) throw name.Error(opened.error);
  // Held by another program, read-only or a folder: what it is decides what the user is told.
  std::optional<Found> looked = OpenIn(name, opens::kLook, true);
  if (!looked) return nullptr;
  return std::make_unique<Win32Replaced>(*this, name, std::move(*looked), name.Error(opened.error));
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

std::unique_ptr<Folder> Win32Files::PinFolder(const std::wstring& folder, bool must_be_itself) {
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
    const std::wstring leaf = path.substr(slash + 1);
    bool lies_there = SamePath(final_path, Join(FinalPathOrThrow(parent, folder), leaf));
    if (!lies_there) {
      // Spelt otherwise on the way (8.3 names): compared again in long form.
      std::wstring long_folder, long_parent;
      lies_there = !relative::NormalizedPath(handle, long_folder) && !relative::NormalizedPath(parent, long_parent) &&
                   SamePath(long_folder, Join(long_parent, leaf));
    }
    if (!lies_there) throw common::MakeError(common::kErrorCantAccessFile, folder, common::Cause::kLinkElsewhere);
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

// The user a process runs as, as a string SID; empty when it cannot be read.
std::wstring UserOf(HANDLE token) {
  std::vector<unsigned char> buffer(256);
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

std::wstring UserOfProcess(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  const common::ScopedHandle held(token);
  return UserOf(token);
}

// %LOCALAPPDATA% of the user whose desktop started setup.exe: this process's own, unless
// another account's credentials were typed in to elevate it, when it is the shell's user's.
std::wstring ShellUsersLocalAppData() {
  const std::wstring own = Environment(L"LOCALAPPDATA");
  DWORD pid = 0;
  const HWND shell = GetShellWindow();
  if (!shell || !GetWindowThreadProcessId(shell, &pid)) return own;
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return own;
  const common::ScopedHandle held(process);
  const std::wstring shell_user = UserOfProcess(process);
  if (shell_user.empty() || shell_user == UserOfProcess(GetCurrentProcess())) return own;
  // Its profile as the system lists it; a Local AppData moved elsewhere is not followed.
  const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + shell_user;
  std::vector<wchar_t> profile(MAX_PATH);
  DWORD size = static_cast<DWORD>(profile.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                   profile.data(), &size) != ERROR_SUCCESS) {
    return own;
  }
  return Join(profile.data(), L"AppData\\Local");
}

}  // namespace

VirtualStore Win32Files::FindVirtualStore() {
  // The folders Microsoft lists as virtualized, as this process sees them.
  VirtualStore store;
  for (const wchar_t* name : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"SystemRoot", L"ProgramData"}) {
    const std::wstring root = Environment(name);
    if (!root.empty()) store.roots.push_back(Join(root, L""));
  }
  const std::wstring local = ShellUsersLocalAppData();
  if (!local.empty()) store.folder = Join(local, L"VirtualStore\\");
  return store;
}

}  // namespace install
