// uidriver: drives one Win32 program for the Wine tests. Each command line
// word sequence is a command; each command prints one JSON line, and the first
// failure prints {"error": ...} and exits with 2.

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kDefaultCaption[] = L"Kolvenir1.0 Shareware file copy";
constexpr wchar_t kAnyCaption[] = L"*";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr DWORD kDefaultWindowTimeoutMs = 180000;  // a 32-bit program needs ~60 s under qemu
constexpr DWORD kDefaultMsgboxTimeoutMs = 60000;
constexpr DWORD kDefaultExitTimeoutMs = 60000;
constexpr DWORD kDismissTimeoutMs = 10000;
constexpr DWORD kDefaultFileTimeoutMs = 60000;
constexpr UINT kTerminateExitCode = 1;  // what Task Manager's End task leaves
constexpr DWORD kPollMs = 50;
constexpr UINT kSendTimeoutMs = 3000;
constexpr int kMsgboxTextId = 0xFFFF;
constexpr int kExitCodeFailure = 2;

struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure{message}; }

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::string LastErrorText(const char* what, DWORD code = GetLastError()) {
  wchar_t* buffer = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = buffer ? buffer : L"";
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return std::string(what) + " failed: " + std::to_string(code) + " " + ToUtf8(text);
}

std::string QuoteJson(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          wsprintfA(escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string QuoteJson(const std::wstring& text) { return QuoteJson(ToUtf8(text)); }

// Builds one JSON object; values that are already JSON go in through Raw.
class JsonObject {
 public:
  JsonObject& Raw(const char* key, const std::string& json) {
    if (!body_.empty()) body_ += ',';
    body_ += QuoteJson(std::string(key)) + ':' + json;
    return *this;
  }
  JsonObject& Str(const char* key, const std::wstring& value) { return Raw(key, QuoteJson(value)); }
  JsonObject& Str(const char* key, const std::string& value) { return Raw(key, QuoteJson(value)); }
  JsonObject& Int(const char* key, long long value) { return Raw(key, std::to_string(value)); }
  JsonObject& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonObject& Null(const char* key) { return Raw(key, "null"); }
  std::string Text() const { return '{' + body_ + '}'; }

 private:
  std::string body_;
};

std::string JoinJson(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string RectJson(const RECT& r) {
  return JoinJson({std::to_string(r.left), std::to_string(r.top), std::to_string(r.right),
                   std::to_string(r.bottom)});
}

void WriteLine(const std::string& line) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string bytes = line + "\n";
  DWORD written = 0;
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(out);
}

long long ParseInteger(const std::wstring& text, const char* what) {
  if (text.empty()) Fail(std::string("empty ") + what);
  wchar_t* end = nullptr;
  long long value = std::wcstoll(text.c_str(), &end, 0);
  if (*end != L'\0') Fail(std::string("not a number for ") + what + ": " + ToUtf8(text));
  return value;
}

bool IsInteger(const std::wstring& text) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  std::wcstoll(text.c_str(), &end, 0);
  return *end == L'\0';
}

std::vector<BYTE> ParseHex(const std::wstring& text) {
  std::vector<BYTE> bytes;
  if (text == L"-") return bytes;
  if (text.size() % 2 != 0) Fail("hex needs an even number of digits: " + ToUtf8(text));
  for (size_t i = 0; i < text.size(); i += 2) {
    wchar_t pair[3] = {text[i], text[i + 1], L'\0'};
    if (!iswxdigit(pair[0]) || !iswxdigit(pair[1])) Fail("bad hex: " + ToUtf8(text));
    bytes.push_back(static_cast<BYTE>(std::wcstoul(pair, nullptr, 16)));
  }
  return bytes;
}

std::string FormatHex(const BYTE* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

REGSAM ParseView(const std::wstring& text) {
  if (text == L"32") return KEY_WOW64_32KEY;
  if (text == L"64") return KEY_WOW64_64KEY;
  Fail("registry view must be 32 or 64, got " + ToUtf8(text));
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return name;
}

// Sends WM_GETTEXT with a timeout so a busy target cannot hang us; falls back to
// the text the window manager keeps.
std::wstring TextOf(HWND hwnd, bool may_send) {
  if (may_send) {
    DWORD_PTR length = 0;
    if (SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &length)) {
      std::wstring text(length + 1, L'\0');
      DWORD_PTR copied = 0;
      if (SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                              SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
        text.resize(copied);
        return text;
      }
    }
  }
  wchar_t buffer[4096] = {};
  int copied = InternalGetWindowText(hwnd, buffer, 4096);
  return std::wstring(buffer, copied);
}

bool IsResponding(HWND hwnd) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored) != 0;
}

RECT RectInClient(HWND hwnd, HWND client_of) {
  RECT r = {};
  GetWindowRect(hwnd, &r);
  MapWindowPoints(HWND_DESKTOP, client_of, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool IsButtonClass(HWND hwnd) { return lstrcmpiW(ClassOf(hwnd).c_str(), L"Button") == 0; }

bool IsDefaultButton(HWND hwnd) {
  return IsButtonClass(hwnd) &&
         (GetWindowLongW(hwnd, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

bool IsUnderWine() {
  static const bool under_wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return under_wine;
}

bool IsStockFont(HFONT font) {
  for (int index : {OEM_FIXED_FONT, ANSI_FIXED_FONT, ANSI_VAR_FONT, SYSTEM_FONT,
                    DEVICE_DEFAULT_FONT, SYSTEM_FIXED_FONT, DEFAULT_GUI_FONT}) {
    if (GetStockObject(index) == font) return true;
  }
  return false;
}

std::string LogFontJson(const LOGFONTW& lf, HFONT font) {
  return JsonObject()
      .Int("handle", static_cast<long long>(reinterpret_cast<ULONG_PTR>(font)))
      .Bool("known", true)
      .Bool("stock", IsStockFont(font))
      .Str("face", std::wstring(lf.lfFaceName))
      .Int("height", lf.lfHeight)
      .Int("weight", lf.lfWeight)
      .Int("charset", lf.lfCharSet)
      .Bool("italic", lf.lfItalic != 0)
      .Bool("underline", lf.lfUnderline != 0)
      .Bool("strikeout", lf.lfStrikeOut != 0)
      .Text();
}

// Wine keeps GDI handles private to each process and will not pass WM_GETFONT
// between processes, so there the font is read out of a 64-bit target: the
// handle from where Wine's controls keep it, the LOGFONTW from its handle table.
#pragma pack(push, 1)
struct WineGdiEntry {
  UINT64 object;
  ULONG owner;
  USHORT unique;
  UCHAR type;
  UCHAR flags;
  UINT64 user_pointer;
};
#pragma pack(pop)
static_assert(sizeof(WineGdiEntry) == 24, "Wine's GDI_HANDLE_ENTRY is 24 bytes");

constexpr UCHAR kWineFontType = 0x0a;
constexpr size_t kPeb64GdiTableOffset = 0xF8;
constexpr size_t kWineFontObjectHeader64 = 16;  // funcs pointer, selcount, flags
constexpr size_t kWineEditStateScan = 1024;

bool ReadRemote(HANDLE process, UINT64 address, void* buffer, size_t size) {
  SIZE_T read = 0;
  return ReadProcessMemory(process, reinterpret_cast<void*>(address), buffer, size, &read) &&
         read == size;
}

bool IsPlausible(const LOGFONTW& lf) {
  size_t length = wcsnlen(lf.lfFaceName, LF_FACESIZE);
  return lf.lfWeight >= 0 && lf.lfWeight <= 1000 && lf.lfItalic <= 1 && lf.lfUnderline <= 1 &&
         lf.lfStrikeOut <= 1 && length > 0 && length < LF_FACESIZE;
}

class WineFontReader {
 public:
  explicit WineFontReader(HANDLE process) : process_(process) {
    BOOL wow = FALSE;
    if (!process || !IsWow64Process(process, &wow)) {
      problem_ = "no access to the process";
    } else if (wow) {
      problem_ = "font of a 32-bit process is out of reach under Wine";
    } else if (!FindTable()) {
      problem_ = "no GDI handle table in the process";
    }
  }

  const std::string& problem() const { return problem_; }

  bool Lookup(DWORD handle, LOGFONTW* lf) const {
    WineGdiEntry entry = {};
    return problem_.empty() &&
           ReadRemote(process_, table_ + LOWORD(handle) * sizeof entry, &entry, sizeof entry) &&
           entry.unique == HIWORD(handle) && entry.type == kWineFontType && entry.object &&
           ReadRemote(process_, entry.object + kWineFontObjectHeader64, lf, sizeof *lf) &&
           IsPlausible(*lf);
  }

  // An Edit, and the common controls' Static and Button, keep their font inside
  // a state block; the one word there that names a live font object is it.
  DWORD FindStateFont(HWND control) const {
    auto state = static_cast<UINT64>(GetWindowLongPtrW(control, 0));
    DWORD words[kWineEditStateScan / sizeof(DWORD)] = {};
    if (!problem_.empty() || !state || !ReadRemote(process_, state, words, sizeof words)) return 0;
    LOGFONTW lf = {};
    for (DWORD word : words) {
      if (LOWORD(word) && (HIWORD(word) & 0x7f) == kWineFontType && Lookup(word, &lf)) return word;
    }
    return 0;
  }

 private:
  bool FindTable() {
    using QueryFunction = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    struct {
      void* exit_status;
      UINT64 peb;
      void* rest[4];
    } basic = {};
    ULONG length = 0;
    return query && query(process_, 0 /* ProcessBasicInformation */, &basic, sizeof basic, &length) == 0 &&
           ReadRemote(process_, basic.peb + kPeb64GdiTableOffset, &table_, sizeof table_) && table_;
  }

  HANDLE process_;
  UINT64 table_ = 0;
  std::string problem_;
};

DWORD WineControlFont(HWND control, const WineFontReader& reader) {
  std::wstring name = ClassOf(control);
  LOGFONTW lf = {};
  // user32's own controls keep the handle in a window word; comctl32 v6's keep a state block.
  auto direct = static_cast<DWORD>(
      GetWindowLongW(control, lstrcmpiW(name.c_str(), L"Button") == 0 ? 4 : 0));
  if (lstrcmpiW(name.c_str(), L"Edit") != 0 && reader.Lookup(direct, &lf)) return direct;
  return reader.FindStateFont(control);
}

// The font a control draws with, as its LOGFONTW; false with *reason when it cannot be known,
// and false with an empty reason for a control that has none.
bool ControlFont(HWND hwnd, bool may_send, HANDLE process, LOGFONTW* lf, HFONT* font,
                 std::string* reason) {
  if (!may_send) return *reason = "not responding", false;
  DWORD_PTR result = 0;
  bool sent = SendMessageTimeoutW(hwnd, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  *font = reinterpret_cast<HFONT>(result);
  if (!IsUnderWine()) {
    if (!sent) return *reason = "WM_GETFONT timed out", false;
    if (!*font) return false;
    if (GetObjectW(*font, sizeof *lf, lf) != sizeof *lf) return *reason = LastErrorText("GetObjectW"), false;
    return true;
  }
  WineFontReader reader(process);
  DWORD handle = WineControlFont(hwnd, reader);
  if (!handle) {
    if (!reader.problem().empty() && lstrcmpiW(ClassOf(hwnd).c_str(), L"Edit") == 0) *reason = reader.problem();
    return false;
  }
  *font = reinterpret_cast<HFONT>(static_cast<ULONG_PTR>(handle));
  if (IsStockFont(*font) && GetObjectW(*font, sizeof *lf, lf) == sizeof *lf) return true;
  if (reader.Lookup(handle, lf)) return true;
  *reason = reader.problem().empty() ? "font not found in the process" : reader.problem();
  return false;
}

std::string FontJson(HWND hwnd, bool may_send, HANDLE process) {
  LOGFONTW lf = {};
  HFONT font = nullptr;
  std::string reason;
  if (ControlFont(hwnd, may_send, process, &lf, &font, &reason)) return LogFontJson(lf, font);
  if (reason.empty()) return "null";
  JsonObject unknown;
  if (font) unknown.Int("handle", static_cast<long long>(reinterpret_cast<ULONG_PTR>(font)));
  return unknown.Bool("known", false).Str("reason", reason).Text();
}

// What the same font, made here in the same prefix, draws of a text: the face the mapper gave
// and the visible characters that face has no glyph for (shown as empty boxes).
std::string CoverageJson(HWND hwnd, HANDLE process, const std::wstring& text) {
  LOGFONTW lf = {};
  HFONT font = nullptr;
  std::string reason;
  if (!ControlFont(hwnd, true, process, &lf, &font, &reason)) {
    return JsonObject().Bool("known", false).Str("reason", reason.empty() ? "no font" : reason).Text();
  }
  HFONT made = CreateFontIndirectW(&lf);
  HDC screen = GetDC(nullptr);
  HGDIOBJ previous = SelectObject(screen, made);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(screen, LF_FACESIZE, face);
  std::vector<WORD> glyphs(text.size() + 1);
  DWORD done = GetGlyphIndicesW(screen, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                                GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(screen, previous);
  ReleaseDC(nullptr, screen);
  DeleteObject(made);
  if (done == GDI_ERROR) return JsonObject().Bool("known", false).Str("reason", "GetGlyphIndicesW failed").Text();
  std::wstring unshown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] > L' ' && text[i] != 0x3000 && glyphs[i] == 0xFFFF) unshown += text[i];
  }
  return JsonObject().Bool("known", true).Str("face", std::wstring(lf.lfFaceName)).Str("drawn_with", face)
      .Str("unshown", unshown).Text();
}

struct FindRequest {
  DWORD pid;
  std::wstring caption;  // kAnyCaption: any visible non-dialog window
  bool dialog;           // look for #32770 instead of the main window
  HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND hwnd, LPARAM param) {
  auto* request = reinterpret_cast<FindRequest*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != request->pid || !IsWindowVisible(hwnd)) return TRUE;
  bool is_dialog = ClassOf(hwnd) == kDialogClass;
  if (request->dialog != is_dialog) return TRUE;
  if (!request->dialog && request->caption != kAnyCaption &&
      TextOf(hwnd, false) != request->caption) {
    return TRUE;
  }
  request->found = hwnd;
  return FALSE;
}

HWND FindTopLevel(DWORD pid, const std::wstring& caption, bool dialog) {
  FindRequest request{pid, caption, dialog, nullptr};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&request));
  return request.found;
}

struct ChildList {
  HWND parent;
  std::vector<HWND> children;
};

BOOL CALLBACK AddDirectChild(HWND child, LPARAM param) {
  auto* list = reinterpret_cast<ChildList*>(param);
  if (GetParent(child) == list->parent) list->children.push_back(child);
  return TRUE;
}

// In z-order, top first. EnumChildWindows lists a snapshot; a GetWindow walk can skip a child
// that the program raises meanwhile.
std::vector<HWND> ChildrenOf(HWND parent) {
  ChildList list{parent, {}};
  EnumChildWindows(parent, AddDirectChild, reinterpret_cast<LPARAM>(&list));
  return list.children;
}

// A file's identity as its folder lists it: a rename over a name brings another id.
struct ListedFile {
  std::wstring name;
  LONGLONG id;
};

// The files (not folders) directly in dir; false when the folder cannot be read.
bool ListFiles(const std::wstring& dir, std::vector<ListedFile>* files) {
  files->clear();
  HANDLE handle = CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::vector<LONGLONG> buffer(8192);  // LONGLONG: the entries need 8-byte alignment
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  bool ok = true;
  for (;;) {
    if (!GetFileInformationByHandleEx(handle, kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
      ok = GetLastError() == ERROR_NO_MORE_FILES;
      break;
    }
    kind = FileIdBothDirectoryInfo;
    auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
      if (!(info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        files->push_back({std::wstring(info->FileName, info->FileNameLength / sizeof(WCHAR)),
                          info->FileId.QuadPart});
      }
      if (!info->NextEntryOffset) break;
      bytes += info->NextEntryOffset;
    }
  }
  CloseHandle(handle);
  return ok;
}

// Opens as a virus scanner does: reading, letting others only read.
HANDLE OpenLikeScanner(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens as a program that may itself rename or delete the file (a sync client, say): it lets
// others do anything, yet nobody can open the file for delete without sharing delete, which a
// handle that writes or reads the file never meets.
HANDLE OpenToClaim(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | DELETE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class Guard {
 public:
  explicit Guard(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~Guard() { section_.Leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CriticalSection& section_;
};

constexpr DWORD kScanPollMs = 2;
constexpr DWORD kHoldPollMs = 1;

// What the background scanner and holders did, for scan-report. Made once and
// never freed: their threads use it until the process ends.
class Watch {
 public:
  // Lists dir now (those files are left alone) and starts the scanner thread.
  size_t StartScan(const std::wstring& dir, DWORD hold_ms) {
    {
      Guard guard(section_);
      if (scanning_) Fail("a scan is already running");
    }
    std::vector<ListedFile> files;
    if (!ListFiles(dir, &files)) Fail(LastErrorText(("listing " + ToUtf8(dir)).c_str()));
    auto* scan = new Scan{this, dir, hold_ms, {}, {}, {}};
    for (const ListedFile& file : files) scan->known[file.name] = file.id;
    {
      Guard guard(section_);
      scanning_ = true;
      dir_ = dir;
      hold_ms_ = hold_ms;
    }
    StartThread(RunScan, scan);
    return files.size();
  }

  // Holds the file from when it appears (and, with a trigger, once that has appeared too), for
  // hold_ms or (INFINITE) until the driver ends.
  void StartHold(const std::wstring& path, DWORD hold_ms, const std::wstring& trigger = {},
                 bool claim = false) {
    size_t index = 0;
    {
      Guard guard(section_);
      index = holds_.size();
      holds_.push_back({path, false});
    }
    StartThread(RunHold, new Hold{this, path, index, hold_ms, trigger, claim});
  }

  // Once trigger is there, opens path as a game does its own file, letting others do anything
  // with it, replaces its contents with bytes, and keeps it open for hold_ms or (INFINITE) until
  // the driver ends.
  void StartWrite(const std::wstring& trigger, const std::wstring& path, std::vector<BYTE> bytes,
                  DWORD hold_ms) {
    size_t index = 0;
    {
      Guard guard(section_);
      index = writes_.size();
      writes_.push_back({path, false, false, 0});
    }
    StartThread(RunWrite, new Write{this, path, index, trigger, std::move(bytes), hold_ms});
  }

  std::string Report() {
    Guard guard(section_);
    std::vector<std::string> opened, failed, waiting, holds, writes;
    for (const std::wstring& name : opened_) opened.push_back(QuoteJson(name));
    for (const std::wstring& name : failed_) failed.push_back(QuoteJson(name));
    for (const std::wstring& name : waiting_) waiting.push_back(QuoteJson(name));
    for (const auto& [path, held] : holds_) {
      holds.push_back(JsonObject().Str("path", path).Bool("held", held).Text());
    }
    for (const Written& write : writes_) {
      JsonObject out;
      out.Str("path", write.path).Bool("written", write.written).Bool("held", write.held);
      if (write.error) out.Int("last_error", write.error);
      writes.push_back(out.Text());
    }
    JsonObject report;
    report.Str("cmd", "scan-report").Bool("scanning", scanning_);
    if (scanning_) report.Str("dir", dir_).Int("hold_ms", hold_ms_);
    return report.Int("opened", opened_.size())
        .Raw("names", JoinJson(opened))
        .Int("failed", failed_.size())
        .Raw("failed_names", JoinJson(failed))
        .Raw("waiting", JoinJson(waiting))
        .Raw("holds", JoinJson(holds))
        .Raw("writes", JoinJson(writes))
        .Text();
  }

 private:
  struct Timed {
    HANDLE file;
    ULONGLONG close_at;
  };

  // The scanner thread's own state; only the report is shared.
  struct Scan {
    Watch* watch;
    std::wstring dir;
    DWORD hold_ms;
    std::map<std::wstring, LONGLONG> known;    // present, and opened or there from the start
    std::map<std::wstring, LONGLONG> waiting;  // open refused; tried again each poll
    std::deque<Timed> held;                    // in closing order: every hold is as long
  };

  struct Hold {
    Watch* watch;
    std::wstring path;
    size_t index;
    DWORD hold_ms;
    std::wstring trigger;
    bool claim;  // opened as OpenToClaim does, not as a scanner
  };

  struct Write {
    Watch* watch;
    std::wstring path;
    size_t index;
    std::wstring trigger;
    std::vector<BYTE> bytes;
    DWORD hold_ms;
  };

  struct Written {
    std::wstring path;
    bool written;
    bool held;
    DWORD error;  // of a write or end-of-file that failed after the open
  };

  static void StartThread(LPTHREAD_START_ROUTINE run, void* state) {
    HANDLE thread = CreateThread(nullptr, 0, run, state, 0, nullptr);
    if (!thread) Fail(LastErrorText("CreateThread"));
    CloseHandle(thread);
  }

  static DWORD WINAPI RunScan(void* param) {
    auto* scan = static_cast<Scan*>(param);
    std::vector<ListedFile> files;
    for (;;) {
      ULONGLONG now = GetTickCount64();
      while (!scan->held.empty() && scan->held.front().close_at <= now) {
        CloseHandle(scan->held.front().file);
        scan->held.pop_front();
      }
      if (ListFiles(scan->dir, &files)) scan->watch->Look(scan, files);
      Sleep(kScanPollMs);
    }
  }

  void Look(Scan* scan, const std::vector<ListedFile>& files) {
    std::map<std::wstring, LONGLONG> present;
    for (const ListedFile& file : files) {
      present[file.name] = file.id;
      auto known = scan->known.find(file.name);
      if (known != scan->known.end() && known->second == file.id) continue;
      HANDLE handle = OpenLikeScanner(scan->dir + L"\\" + file.name);
      if (handle == INVALID_HANDLE_VALUE) {
        scan->waiting[file.name] = file.id;
        continue;
      }
      // Should a newer file have taken the name meanwhile, the next poll opens that too.
      scan->known[file.name] = file.id;
      scan->waiting.erase(file.name);
      scan->held.push_back({handle, GetTickCount64() + scan->hold_ms});
      Guard guard(section_);
      opened_.push_back(file.name);
    }
    Guard guard(section_);
    for (auto it = scan->waiting.begin(); it != scan->waiting.end();) {
      auto now = present.find(it->first);
      if (now != present.end() && now->second == it->second) {
        ++it;
        continue;
      }
      failed_.push_back(it->first);  // gone or replaced before we got it
      it = scan->waiting.erase(it);
    }
    for (auto it = scan->known.begin(); it != scan->known.end();) {
      it = present.count(it->first) ? std::next(it) : scan->known.erase(it);
    }
    waiting_.clear();
    for (const auto& entry : scan->waiting) waiting_.push_back(entry.first);
  }

  static DWORD WINAPI RunHold(void* param) {
    auto* hold = static_cast<Hold*>(param);
    HANDLE file;
    while (!hold->trigger.empty() && GetFileAttributesW(hold->trigger.c_str()) == INVALID_FILE_ATTRIBUTES) {
      Sleep(kHoldPollMs);
    }
    while ((file = hold->claim ? OpenToClaim(hold->path) : OpenLikeScanner(hold->path)) == INVALID_HANDLE_VALUE) {
      Sleep(kHoldPollMs);
    }
    hold->watch->SetHeld(hold->index, true);
    if (hold->hold_ms != INFINITE) {
      Sleep(hold->hold_ms);
      CloseHandle(file);
      hold->watch->SetHeld(hold->index, false);
    }  // else never closed: it stays held until the driver ends
    delete hold;
    return 0;
  }

  static DWORD WINAPI RunWrite(void* param) {
    auto* write = static_cast<Write*>(param);
    while (GetFileAttributesW(write->trigger.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(kHoldPollMs);
    HANDLE file;
    // Whoever holds the file unshared for a moment is waited out, as the game would retry.
    while ((file = CreateFileW(write->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) == INVALID_HANDLE_VALUE) {
      Sleep(kHoldPollMs);
    }
    DWORD done = 0;
    bool ok = WriteFile(file, write->bytes.data(), static_cast<DWORD>(write->bytes.size()), &done,
                        nullptr) && done == write->bytes.size() && SetEndOfFile(file);
    DWORD error = ok ? 0 : GetLastError();
    write->watch->SetWritten(write->index, ok, true, error);
    if (write->hold_ms != INFINITE) {
      Sleep(write->hold_ms);
      CloseHandle(file);
      write->watch->SetWritten(write->index, ok, false, error);
    }  // else never closed: it stays open until the driver ends
    delete write;
    return 0;
  }

  void SetWritten(size_t index, bool written, bool held, DWORD error) {
    Guard guard(section_);
    writes_[index] = {writes_[index].path, written, held, error};
  }

  void SetHeld(size_t index, bool held) {
    Guard guard(section_);
    holds_[index].second = held;
  }

  CriticalSection section_;
  bool scanning_ = false;
  std::wstring dir_;
  DWORD hold_ms_ = 0;
  std::vector<std::wstring> opened_;
  std::vector<std::wstring> failed_;
  std::vector<std::wstring> waiting_;
  std::vector<std::pair<std::wstring, bool>> holds_;
  std::vector<Written> writes_;
};

class Driver {
 public:
  using Args = std::vector<std::wstring>;

  struct Command {
    const wchar_t* name;
    size_t required;
    size_t optional;
    std::string (Driver::*run)(const Args&);
  };

  static const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {L"reg-delete", 2, 0, &Driver::RegDelete},
        {L"reg-create", 2, 0, &Driver::RegCreate},
        {L"reg-set", 5, 0, &Driver::RegSet},
        {L"reg-set-wide", 5, 0, &Driver::RegSetWide},
        {L"reg-get", 3, 0, &Driver::RegGet},
        {L"start", 1, 1, &Driver::Start},
        {L"attach", 1, 1, &Driver::Attach},
        {L"wait-window", 0, 2, &Driver::WaitWindow},
        {L"dump", 0, 0, &Driver::Dump},
        {L"pixel", 2, 0, &Driver::Pixel},
        {L"click", 1, 0, &Driver::Click},
        {L"mouse-click", 1, 0, &Driver::MouseClick},
        {L"mouse-click-at", 2, 0, &Driver::MouseClickAt},
        {L"key", 1, 0, &Driver::Key},
        {L"set-text", 2, 0, &Driver::SetText},
        {L"close", 0, 0, &Driver::Close},
        {L"wait-msgbox", 0, 1, &Driver::WaitMsgbox},
        {L"dismiss-msgbox", 0, 1, &Driver::DismissMsgbox},
        {L"wait-exit", 0, 1, &Driver::WaitExit},
        {L"assert-running", 0, 0, &Driver::AssertRunning},
        {L"sleep", 1, 0, &Driver::SleepFor},
        {L"lock", 1, 1, &Driver::Lock},
        {L"wait-text", 2, 1, &Driver::WaitText},
        {L"terminate", 0, 1, &Driver::Terminate},
        {L"wait-file", 1, 1, &Driver::WaitFile},
        {L"wait-gone", 1, 1, &Driver::WaitGone},
        {L"scan", 2, 0, &Driver::StartScan},
        {L"hold-when-appears", 1, 1, &Driver::HoldWhenAppears},
        {L"hold-when-there", 2, 1, &Driver::HoldWhenThere},
        {L"claim-when-there", 2, 1, &Driver::ClaimWhenThere},
        {L"write-when-there", 3, 1, &Driver::WriteWhenThere},
        {L"scan-report", 0, 0, &Driver::ScanReport},
        {L"try-open", 3, 0, &Driver::TryOpen},
        {L"short-path", 1, 0, &Driver::ShortPath},
    };
    return kCommands;
  }

  static const Command* Lookup(const std::wstring& name) {
    for (const Command& command : Commands()) {
      if (name == command.name) return &command;
    }
    return nullptr;
  }

 private:
  std::string RegDelete(const Args& args) {
    REGSAM view = ParseView(args[0]);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, args[1].c_str(), 0, KEY_ALL_ACCESS | view, &key);
    if (status == ERROR_FILE_NOT_FOUND) return Ok("reg-delete").Bool("existed", false).Text();
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegOpenKeyExW", status));
    status = RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegDeleteTreeW", status));
    status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, args[1].c_str(), view, 0);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegDeleteKeyExW", status));
    return Ok("reg-delete").Bool("existed", true).Text();
  }

  static HKEY CreateKey(const std::wstring& view, const std::wstring& subkey, bool* created) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | ParseView(view), nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegCreateKeyExW", status));
    *created = disposition == REG_CREATED_NEW_KEY;
    return key;
  }

  std::string RegCreate(const Args& args) {
    bool created = false;
    RegCloseKey(CreateKey(args[0], args[1], &created));
    return Ok("reg-create").Bool("created", created).Text();
  }

  // The A entry point on purpose: the system converts REG_SZ data from the
  // ANSI code page exactly as for an installer that wrote it with A calls.
  std::string RegSet(const Args& args) {
    auto type = static_cast<DWORD>(ParseInteger(args[3], "value type"));
    std::vector<BYTE> data = ParseHex(args[4]);
    auto size = static_cast<DWORD>(data.size());
    // RegSetValueExA counts a string's NUL for the caller when the byte just
    // past the data is one; a non-NUL guard keeps the size exactly as given.
    data.push_back(0xFF);
    bool created = false;
    HKEY key = CreateKey(args[0], args[1], &created);
    LONG status = RegSetValueExA(key, ToAnsi(args[2]).c_str(), 0, type, data.data(), size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegSetValueExA", status));
    return Ok("reg-set").Int("type", type).Int("size", size).Text();
  }

  // The data as UTF-16LE bytes, stored as given: what an installer writing with W calls
  // leaves, whatever our own ANSI code page is.
  std::string RegSetWide(const Args& args) {
    auto type = static_cast<DWORD>(ParseInteger(args[3], "value type"));
    std::vector<BYTE> data = ParseHex(args[4]);
    auto size = static_cast<DWORD>(data.size());
    // RegSetValueExW, like the A call, adds a NUL the caller left out but placed just past
    // the data; a non-NUL guard keeps the size exactly as given.
    data.insert(data.end(), {0xFF, 0xFF});
    bool created = false;
    HKEY key = CreateKey(args[0], args[1], &created);
    LONG status = RegSetValueExW(key, args[2].c_str(), 0, type, data.data(), size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegSetValueExW", status));
    return Ok("reg-set-wide").Int("type", type).Int("size", size).Text();
  }

  std::string RegGet(const Args& args) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, args[1].c_str(), 0,
                                KEY_QUERY_VALUE | ParseView(args[0]), &key);
    if (status == ERROR_FILE_NOT_FOUND) return Ok("reg-get").Bool("exists", false).Text();
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegOpenKeyExW", status));
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key, args[2].c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
      RegCloseKey(key);
      return Ok("reg-get").Bool("exists", false).Text();
    }
    std::vector<BYTE> wide(size + 2);
    status = RegQueryValueExW(key, args[2].c_str(), nullptr, &type, wide.data(), &size);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegQueryValueExW", status));
    std::string name = ToAnsi(args[2]);
    DWORD ansi_size = 0;
    RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, &ansi_size);
    std::vector<BYTE> ansi(ansi_size + 2);
    status = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, ansi.data(), &ansi_size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) Fail(LastErrorText("RegQueryValueExA", status));
    return Ok("reg-get")
        .Bool("exists", true)
        .Int("type", type)
        .Str("hex", FormatHex(wide.data(), size))
        .Str("ansi_hex", FormatHex(ansi.data(), ansi_size))
        .Text();
  }

  std::string Start(const Args& args) {
    std::wstring command_line = L"\"" + args[0] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // No std handles: under Wine the child would otherwise hold our output pipe open.
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(args[0].c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        args.size() > 1 ? args[1].c_str() : nullptr, &startup, &info)) {
      Fail(LastErrorText("CreateProcessW"));
    }
    CloseHandle(info.hThread);
    Adopt(info.hProcess, info.dwProcessId);
    return Ok("start").Int("pid", pid_).Text();
  }

  std::string Attach(const Args& args) {
    auto pid = static_cast<DWORD>(ParseInteger(args[0], "pid"));
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
                                     PROCESS_TERMINATE,
                                 FALSE, pid);
    if (!process) Fail(LastErrorText("OpenProcess"));
    Adopt(process, pid);
    if (args.size() > 1) caption_ = args[1];
    main_ = FindTopLevel(pid_, caption_, false);
    return Ok("attach").Int("pid", pid_).Bool("window", main_ != nullptr).Text();
  }

  std::string WaitWindow(const Args& args) {
    RequireProcess();
    DWORD timeout = kDefaultWindowTimeoutMs;
    for (const std::wstring& arg : args) {
      if (IsInteger(arg)) {
        timeout = static_cast<DWORD>(ParseInteger(arg, "timeout"));
      } else {
        caption_ = arg;
      }
    }
    DWORD started = GetTickCount();
    for (;;) {
      main_ = FindTopLevel(pid_, caption_, false);
      if (main_) break;
      if (HWND dialog = FindTopLevel(pid_, L"", true)) {
        Fail("a message box came before the window: " + ToUtf8(MsgboxText(dialog)));
      }
      if (WaitForSingleObject(process_, kPollMs) == WAIT_OBJECT_0) {
        Fail("process exited with code " + std::to_string(ExitCode()) + " before its window");
      }
      if (GetTickCount() - started > timeout) {
        Fail("no window captioned " + ToUtf8(caption_) + " after " + std::to_string(timeout) +
             " ms");
      }
    }
    DWORD elapsed = GetTickCount() - started;
    WaitForInputIdle(process_, timeout > elapsed ? timeout - elapsed : 0);
    return Ok("wait-window")
        .Str("caption", TextOf(main_, false))
        .Str("class", ClassOf(main_))
        .Int("ms", GetTickCount() - started)
        .Text();
  }

  std::string Dump(const Args&) {
    RequireWindow();
    bool responding = IsResponding(main_);
    RECT window = {};
    GetWindowRect(main_, &window);
    RECT client = {};
    GetClientRect(main_, &client);
    POINT origin = {0, 0};
    ClientToScreen(main_, &origin);
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);

    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    DWORD thread = GetWindowThreadProcessId(main_, nullptr);
    std::string focus = "null";
    if (GetGUIThreadInfo(thread, &gui) && gui.hwndFocus) {
      focus = gui.hwndFocus == main_ ? "0" : std::to_string(GetDlgCtrlID(gui.hwndFocus));
    }

    std::vector<std::string> children;
    int z = 0;
    for (HWND child : ChildrenOf(main_)) {
      children.push_back(JsonObject()
                             .Int("id", GetDlgCtrlID(child))
                             .Str("class", ClassOf(child))
                             .Str("text", TextOf(child, responding))
                             .Bool("enabled", IsWindowEnabled(child) != FALSE)
                             .Bool("visible", IsWindowVisible(child) != FALSE)
                             .Raw("rect", RectJson(RectInClient(child, main_)))
                             .Int("style", static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)))
                             .Int("exstyle", static_cast<DWORD>(GetWindowLongW(child, GWL_EXSTYLE)))
                             .Int("z", z++)
                             .Raw("font", FontJson(child, responding, process_))
                             .Bool("default", IsDefaultButton(child))
                             .Text());
    }
    return Ok("dump")
        .Int("pid", pid_)
        .Bool("responding", responding)
        .Str("caption", TextOf(main_, false))
        .Str("class", ClassOf(main_))
        .Raw("rect", RectJson(window))
        .Raw("client", JoinJson({std::to_string(client.right), std::to_string(client.bottom)}))
        .Raw("client_origin", JoinJson({std::to_string(origin.x), std::to_string(origin.y)}))
        .Int("dpi", dpi)
        .Raw("focus", focus)
        .Bool("foreground", GetForegroundWindow() == main_)
        .Int("style", static_cast<DWORD>(GetWindowLongW(main_, GWL_STYLE)))
        .Int("exstyle", static_cast<DWORD>(GetWindowLongW(main_, GWL_EXSTYLE)))
        .Raw("children", JoinJson(children))
        .Text();
  }

  std::string Pixel(const Args& args) {
    RequireWindow();
    POINT point = {static_cast<LONG>(ParseInteger(args[0], "x")),
                   static_cast<LONG>(ParseInteger(args[1], "y"))};
    HDC dc = GetDC(main_);
    COLORREF color = GetPixel(dc, point.x, point.y);
    ReleaseDC(main_, dc);
    std::string source = "window";
    if (color == CLR_INVALID) {
      POINT on_screen = point;
      ClientToScreen(main_, &on_screen);
      HDC screen = GetDC(nullptr);
      color = GetPixel(screen, on_screen.x, on_screen.y);
      ReleaseDC(nullptr, screen);
      source = "screen";
    }
    if (color == CLR_INVALID) Fail("GetPixel gave no colour");
    return Ok("pixel")
        .Raw("rgb", JoinJson({std::to_string(GetRValue(color)), std::to_string(GetGValue(color)),
                              std::to_string(GetBValue(color))}))
        .Str("source", source)
        .Text();
  }

  std::string Click(const Args& args) {
    HWND control = Control(args[0]);
    if (!PostMessageW(control, BM_CLICK, 0, 0)) Fail(LastErrorText("PostMessageW"));
    return Ok("click").Int("id", GetDlgCtrlID(control)).Text();
  }

  std::string MouseClick(const Args& args) {
    HWND control = Control(args[0]);
    RECT r = {};
    GetWindowRect(control, &r);
    return ClickScreen({(r.left + r.right) / 2, (r.top + r.bottom) / 2}, "mouse-click");
  }

  std::string MouseClickAt(const Args& args) {
    RequireWindow();
    POINT point = {static_cast<LONG>(ParseInteger(args[0], "x")),
                   static_cast<LONG>(ParseInteger(args[1], "y"))};
    ClientToScreen(main_, &point);
    return ClickScreen(point, "mouse-click-at");
  }

  std::string Key(const Args& args) {
    auto vk = static_cast<WORD>(ParseInteger(args[0], "virtual key"));
    INPUT inputs[2] = {};
    for (INPUT& input : inputs) {
      input.type = INPUT_KEYBOARD;
      input.ki.wVk = vk;
      input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) Fail(LastErrorText("SendInput"));
    Sleep(100);  // let the target's queue take it before the next command looks
    HWND foreground = GetForegroundWindow();
    return Ok("key").Int("vk", vk).Str("foreground", foreground ? TextOf(foreground, false) : L"").Text();
  }

  std::string SetText(const Args& args) {
    HWND control = Control(args[0]);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args[1].c_str()),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
      Fail(LastErrorText("WM_SETTEXT"));
    }
    return Ok("set-text").Int("id", GetDlgCtrlID(control)).Bool("result", result != 0).Text();
  }

  std::string Close(const Args&) {
    RequireWindow();
    if (!PostMessageW(main_, WM_SYSCOMMAND, SC_CLOSE, 0)) Fail(LastErrorText("PostMessageW"));
    return Ok("close").Text();
  }

  std::string WaitMsgbox(const Args& args) {
    RequireProcess();
    DWORD timeout = args.empty() ? kDefaultMsgboxTimeoutMs
                                 : static_cast<DWORD>(ParseInteger(args[0], "timeout"));
    DWORD started = GetTickCount();
    while (!(msgbox_ = FindTopLevel(pid_, L"", true))) {
      if (WaitForSingleObject(process_, kPollMs) == WAIT_OBJECT_0) {
        Fail("process exited with code " + std::to_string(ExitCode()) + " without a message box");
      }
      if (GetTickCount() - started > timeout) {
        Fail("no message box after " + std::to_string(timeout) + " ms");
      }
    }
    WaitForInputIdle(process_, kSendTimeoutMs);
    HWND relative_to = main_ ? main_ : msgbox_;
    std::vector<std::string> buttons;
    for (HWND child : ChildrenOf(msgbox_)) {
      if (!IsButtonClass(child) || !IsWindowVisible(child)) continue;
      buttons.push_back(JsonObject()
                            .Int("id", GetDlgCtrlID(child))
                            .Str("text", TextOf(child, true))
                            .Raw("rect", RectJson(RectInClient(child, relative_to)))
                            .Bool("default", IsDefaultButton(child))
                            .Text());
    }
    HWND owner = GetWindow(msgbox_, GW_OWNER);
    return Ok("wait-msgbox")
        .Str("caption", TextOf(msgbox_, true))
        .Str("text", MsgboxText(msgbox_))
        .Raw("text_font", CoverageJson(MsgboxTextControl(msgbox_), process_, MsgboxText(msgbox_)))
        .Bool("owned_by_window", main_ && owner == main_)
        .Raw("rect", RectJson(RectInClient(msgbox_, relative_to)))
        .Raw("buttons", JoinJson(buttons))
        .Int("ms", GetTickCount() - started)
        .Text();
  }

  std::string DismissMsgbox(const Args& args) {
    RequireProcess();
    if (!msgbox_ || !IsWindow(msgbox_)) msgbox_ = FindTopLevel(pid_, L"", true);
    if (!msgbox_) Fail("no message box to dismiss");
    HWND button = nullptr;
    if (!args.empty()) {
      button = GetDlgItem(msgbox_, static_cast<int>(ParseInteger(args[0], "button id")));
    } else {
      std::vector<HWND> buttons;
      for (HWND child : ChildrenOf(msgbox_)) {
        if (IsButtonClass(child) && IsWindowVisible(child)) buttons.push_back(child);
      }
      button = GetDlgItem(msgbox_, IDOK);
      if (!button && buttons.size() == 1) button = buttons[0];
    }
    if (!button) Fail("message box has no such button; name one by id");
    int id = GetDlgCtrlID(button);
    PostMessageW(button, BM_CLICK, 0, 0);
    DWORD started = GetTickCount();
    while (IsWindow(msgbox_) && IsWindowVisible(msgbox_)) {
      if (GetTickCount() - started > kDismissTimeoutMs) Fail("message box stayed up");
      Sleep(kPollMs);
    }
    msgbox_ = nullptr;
    return Ok("dismiss-msgbox").Int("id", id).Text();
  }

  std::string WaitExit(const Args& args) {
    RequireProcess();
    DWORD timeout = args.empty() ? kDefaultExitTimeoutMs
                                 : static_cast<DWORD>(ParseInteger(args[0], "timeout"));
    if (WaitForSingleObject(process_, timeout) != WAIT_OBJECT_0) {
      Fail("process still running after " + std::to_string(timeout) + " ms");
    }
    return Ok("wait-exit").Int("exit", ExitCode()).Text();
  }

  std::string AssertRunning(const Args&) {
    RequireProcess();
    if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
      Fail("process exited with code " + std::to_string(ExitCode()));
    }
    return Ok("assert-running").Bool("running", true).Text();
  }

  std::string SleepFor(const Args& args) {
    auto ms = static_cast<DWORD>(ParseInteger(args[0], "milliseconds"));
    Sleep(ms);
    return Ok("sleep").Int("ms", ms).Text();
  }

  // lock PATH [SHARE]: holds a file open for reading and writing until the driver ends, as a
  // program using it would; without sharing unless a share mode is given (7 lets others read,
  // write and delete, as a game that keeps its file open does).
  std::string Lock(const Args& args) {
    auto share = args.size() > 1 ? static_cast<DWORD>(ParseInteger(args[1], "share mode")) : 0;
    HANDLE file = CreateFileW(args[0].c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(LastErrorText("CreateFileW"));
    locks_.push_back(file);
    JsonObject out = Ok("lock").Str("path", args[0]);
    if (share) out.Int("share", share);
    return out.Text();
  }

  // Waits until a control shows the text, without sending it messages while it is busy.
  std::string WaitText(const Args& args) {
    HWND control = Control(args[0]);
    DWORD timeout = args.size() > 2 ? static_cast<DWORD>(ParseInteger(args[2], "timeout"))
                                    : kDefaultExitTimeoutMs;
    DWORD started = GetTickCount();
    while (TextOf(control, false) != args[1]) {
      if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
        Fail("process exited with code " + std::to_string(ExitCode()) + " before the text showed");
      }
      if (GetTickCount() - started > timeout) Fail("text did not show in time");
      Sleep(1);
    }
    return Ok("wait-text").Int("ms", GetTickCount() - started).Text();
  }

  // Ends the program at once, as Task Manager's End task does.
  std::string Terminate(const Args& args) {
    RequireProcess();
    auto code = args.empty() ? kTerminateExitCode
                             : static_cast<UINT>(ParseInteger(args[0], "exit code"));
    bool was_running = WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    if (was_running && !TerminateProcess(process_, code)) Fail(LastErrorText("TerminateProcess"));
    if (WaitForSingleObject(process_, kDefaultExitTimeoutMs) != WAIT_OBJECT_0) {
      Fail("process still running after TerminateProcess");
    }
    main_ = nullptr;
    msgbox_ = nullptr;
    return Ok("terminate").Bool("was_running", was_running).Int("exit", ExitCode()).Text();
  }

  std::string WaitFile(const Args& args) {
    DWORD timeout = args.size() > 1 ? static_cast<DWORD>(ParseInteger(args[1], "timeout"))
                                    : kDefaultFileTimeoutMs;
    DWORD started = GetTickCount();
    while (GetFileAttributesW(args[0].c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (GetTickCount() - started > timeout) {
        Fail("no " + ToUtf8(args[0]) + " after " + std::to_string(timeout) + " ms");
      }
      Sleep(1);  // staged files may live only a few milliseconds
    }
    return Ok("wait-file").Str("path", args[0]).Int("ms", GetTickCount() - started).Text();
  }

  // Waits until a file no longer exists under its name: deleted, or renamed away.
  std::string WaitGone(const Args& args) {
    DWORD timeout = args.size() > 1 ? static_cast<DWORD>(ParseInteger(args[1], "timeout"))
                                    : kDefaultFileTimeoutMs;
    DWORD started = GetTickCount();
    for (;;) {
      DWORD error = GetFileAttributesW(args[0].c_str()) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
      if (GetTickCount() - started > timeout) {
        Fail(ToUtf8(args[0]) + " still there after " + std::to_string(timeout) + " ms");
      }
      Sleep(1);  // a rename in a series of them is over in a moment
    }
    return Ok("wait-gone").Str("path", args[0]).Int("ms", GetTickCount() - started).Text();
  }

  std::string StartScan(const Args& args) {
    auto hold_ms = static_cast<DWORD>(ParseInteger(args[1], "hold milliseconds"));
    size_t existing = Watching().StartScan(args[0], hold_ms);
    return Ok("scan").Str("dir", args[0]).Int("hold_ms", hold_ms).Int("existing", existing).Text();
  }

  std::string HoldWhenAppears(const Args& args) {
    DWORD hold_ms = args.size() > 1 ? static_cast<DWORD>(ParseInteger(args[1], "hold milliseconds"))
                                    : INFINITE;
    Watching().StartHold(args[0], hold_ms);
    JsonObject out = Ok("hold-when-appears").Str("path", args[0]);
    if (hold_ms != INFINITE) out.Int("hold_ms", hold_ms);
    return out.Text();
  }

  // hold-when-there TRIGGER PATH [ms]: as hold-when-appears, from when TRIGGER is there.
  std::string HoldWhenThere(const Args& args) {
    DWORD hold_ms = args.size() > 2 ? static_cast<DWORD>(ParseInteger(args[2], "hold milliseconds"))
                                    : INFINITE;
    Watching().StartHold(args[1], hold_ms, args[0]);
    JsonObject out = Ok("hold-when-there").Str("trigger", args[0]).Str("path", args[1]);
    if (hold_ms != INFINITE) out.Int("hold_ms", hold_ms);
    return out.Text();
  }

  // claim-when-there TRIGGER PATH [ms]: as hold-when-there, opened as OpenToClaim does; unlike a
  // scanner's, that open is let in beside a handle that writes the file.
  std::string ClaimWhenThere(const Args& args) {
    DWORD hold_ms = args.size() > 2 ? static_cast<DWORD>(ParseInteger(args[2], "hold milliseconds"))
                                    : INFINITE;
    Watching().StartHold(args[1], hold_ms, args[0], true);
    JsonObject out = Ok("claim-when-there").Str("trigger", args[0]).Str("path", args[1]);
    if (hold_ms != INFINITE) out.Int("hold_ms", hold_ms);
    return out.Text();
  }

  // write-when-there TRIGGER PATH HEX [ms]: once TRIGGER is there, PATH gets the bytes (hex, or
  // - for none) in place of its contents, through a handle that shares everything and stays open
  // for ms or until the driver ends; scan-report tells whether the write was done.
  std::string WriteWhenThere(const Args& args) {
    std::vector<BYTE> bytes = ParseHex(args[2]);
    DWORD hold_ms = args.size() > 3 ? static_cast<DWORD>(ParseInteger(args[3], "hold milliseconds"))
                                    : INFINITE;
    std::string hex = FormatHex(bytes.data(), bytes.size());
    Watching().StartWrite(args[0], args[1], std::move(bytes), hold_ms);
    JsonObject out = Ok("write-when-there")
                         .Str("trigger", args[0])
                         .Str("path", args[1])
                         .Int("size", hex.size() / 2)
                         .Str("hex", hex);
    if (hold_ms != INFINITE) out.Int("hold_ms", hold_ms);
    return out.Text();
  }

  std::string ScanReport(const Args&) { return Watching().Report(); }

  // Opens and closes at once; a refusal is the answer, not a failure.
  std::string TryOpen(const Args& args) {
    auto access = static_cast<DWORD>(ParseInteger(args[1], "access"));
    auto share = static_cast<DWORD>(ParseInteger(args[2], "share mode"));
    HANDLE file = CreateFileW(args[0].c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (!error) CloseHandle(file);
    return Ok("try-open")
        .Str("path", args[0])
        .Bool("opened", !error)
        .Int("last_error", error)
        .Text();
  }

  // The 8.3 spelling of a path, as old uninstall entries give it.
  std::string ShortPath(const Args& args) {
    std::vector<wchar_t> buffer(MAX_PATH);
    const DWORD length = GetShortPathNameW(args[0].c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) Fail(LastErrorText("GetShortPathNameW", GetLastError()));
    return Ok("short-path").Str("path", args[0]).Str("short", std::wstring(buffer.data(), length)).Text();
  }

  Watch& Watching() {
    if (!watch_) watch_ = new Watch();  // never freed: its threads run until the process ends
    return *watch_;
  }

  static JsonObject Ok(const char* command) { return JsonObject().Str("cmd", command); }

  void Adopt(HANDLE process, DWORD pid) {
    if (process_) CloseHandle(process_);
    process_ = process;
    pid_ = pid;
    main_ = nullptr;
    msgbox_ = nullptr;
  }

  void RequireProcess() const {
    if (!process_) Fail("no process; use start or attach first");
  }

  void RequireWindow() const {
    RequireProcess();
    if (!main_ || !IsWindow(main_)) Fail("no window; use wait-window first");
  }

  HWND Control(const std::wstring& id) const {
    RequireWindow();
    HWND control = GetDlgItem(main_, static_cast<int>(ParseInteger(id, "control id")));
    if (!control) Fail("no control with id " + ToUtf8(id));
    return control;
  }

  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
  }

  static HWND MsgboxTextControl(HWND dialog) {
    if (HWND text = GetDlgItem(dialog, kMsgboxTextId)) return text;
    for (HWND child : ChildrenOf(dialog)) {
      if (lstrcmpiW(ClassOf(child).c_str(), L"Static") == 0 && !TextOf(child, true).empty()) return child;
    }
    return nullptr;
  }

  static std::wstring MsgboxText(HWND dialog) {
    HWND text = MsgboxTextControl(dialog);
    return text ? TextOf(text, true) : L"";
  }

  std::string ClickScreen(POINT point, const char* command) {
    RequireWindow();
    SetForegroundWindow(main_);
    if (!SetCursorPos(point.x, point.y)) Fail(LastErrorText("SetCursorPos"));
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3] = {};
    for (INPUT& input : inputs) input.type = INPUT_MOUSE;
    inputs[0].mi.dx = MulDiv(point.x, 65535, width - 1);
    inputs[0].mi.dy = MulDiv(point.y, 65535, height - 1);
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    // Read before the click: a button that closes its box may be gone before the click returns.
    HWND hit = WindowFromPoint(point);
    int hit_id = hit && hit != main_ ? GetDlgCtrlID(hit) : 0;
    std::wstring hit_class = hit ? ClassOf(hit) : L"";
    POINT client = point;
    ScreenToClient(main_, &client);
    for (INPUT& input : inputs) {
      if (SendInput(1, &input, sizeof(INPUT)) != 1) Fail(LastErrorText("SendInput"));
      Sleep(30);  // a down and up in the same instant can be merged away
    }
    return Ok(command)
        .Raw("at", JoinJson({std::to_string(client.x), std::to_string(client.y)}))
        .Raw("screen", JoinJson({std::to_string(point.x), std::to_string(point.y)}))
        .Int("hit_id", hit_id)
        .Str("hit_class", hit_class)
        .Text();
  }

  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND main_ = nullptr;
  HWND msgbox_ = nullptr;
  std::vector<HANDLE> locks_;
  Watch* watch_ = nullptr;
  std::wstring caption_ = kDefaultCaption;

 public:
  // Parses the whole line first so a typo fails before anything runs.
  static std::vector<std::pair<const Command*, Args>> Parse(int argc, wchar_t** argv) {
    std::vector<std::pair<const Command*, Args>> steps;
    for (int i = 1; i < argc;) {
      const Command* command = Lookup(argv[i]);
      if (!command) Fail("unknown command: " + ToUtf8(argv[i]));
      ++i;
      Args args;
      for (size_t n = 0; n < command->required; ++n, ++i) {
        if (i >= argc) Fail("missing argument for " + ToUtf8(command->name));
        args.push_back(argv[i]);
      }
      for (size_t n = 0; n < command->optional && i < argc && !Lookup(argv[i]); ++n, ++i) {
        args.push_back(argv[i]);
      }
      steps.emplace_back(command, args);
    }
    return steps;
  }

  int Run(int argc, wchar_t** argv) {
    std::string current = "usage";
    try {
      auto steps = Parse(argc, argv);
      if (steps.empty()) Fail("no commands given");
      for (const auto& [command, args] : steps) {
        current = ToUtf8(command->name);
        WriteLine((this->*(command->run))(args));
      }
      return 0;
    } catch (const Failure& failure) {
      WriteLine(JsonObject().Str("error", failure.message).Str("cmd", current).Text());
      return kExitCodeFailure;
    }
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Tells the harness this run got as far as its own code: one Wine ended before that may be
  // started again, as nothing it was asked for has happened.
  static const char kRunning[] = "uidriver: running\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kRunning, sizeof kRunning - 1, &written, nullptr);
  Driver driver;
  return driver.Run(argc, argv);
}
