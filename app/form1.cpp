#include "app/form1.h"

#include <windowsx.h>

#include <new>
#include <string>
#include <vector>

#include "app/failure_report.h"
#include "app/fonts.h"
#include "app/texts.h"
#include "install/addon_install.h"
#include "install/win32_files.h"
#include "lookup/REG.h"
#include "lookup/uninstall_lookup.h"
#include "lookup/user_folders.h"

namespace app {
namespace {

constexpr wchar_t kWindowClass[] = L"Form1";
// Fixed frame: the layout is fixed in twips and has nothing to gain from resizing.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = 0;

COLORREF ToColorRef(Rgb c) { return RGB(c.r, c.g, c.b); }

// The folder that holds the running setup.exe, as Windows reports it: no trailing "\" except
// for a drive root such as M:\.
std::wstring ExecutableDir() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) throw common::MakeError(GetLastError(), L"");
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

DWORD StyleFor(const ControlSpec& layout) {
  // Clipping siblings keeps a lower control (Label3) from painting over an upper one (Text1).
  const DWORD common = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | (layout.initially_enabled ? 0 : WS_DISABLED);
  switch (layout.kind) {
    case ControlKind::Label:
      // SS_EDITCONTROL breaks lines inside words too: Japanese text has no spaces to break at.
      return common | SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL;
    case ControlKind::TextBox:
      return common | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
    case ControlKind::Button:
      return common | WS_TABSTOP | BS_PUSHBUTTON;
  }
  return common;
}

const wchar_t* ClassFor(ControlKind kind) {
  switch (kind) {
    case ControlKind::Label: return L"STATIC";
    case ControlKind::TextBox: return L"EDIT";
    case ControlKind::Button: return L"BUTTON";
  }
  return L"STATIC";
}

// A window not made is a failure like any other (where a hook refused it, no error is set).
template <typename... Args>
HWND CreateWindowOrThrow(Args... args) {
  SetLastError(ERROR_SUCCESS);
  if (HWND window = CreateWindowExW(args...)) return window;
  throw common::MakeError(GetLastError() != ERROR_SUCCESS ? GetLastError() : common::kErrorInternal);
}

int ScreenDpi() {
  const common::ScopedDc screen = common::GetWindowDc(nullptr);
  const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSX);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

Form1::Form1(HINSTANCE instance, int show_command)
    : instance_(instance), show_command_(show_command) {}

void Form1::Create() {
  dpi_ = ScreenDpi();

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance_;
  wc.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(1));
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  // The class owns its brush: the system deletes it with the class, and nothing else may.
  wc.hbrBackground = CreateSolidBrush(ToColorRef(kForm1.back_color));
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);

  RECT frame{0, 0, TwipsToPixels(kForm1.client_width, dpi_),
             TwipsToPixels(kForm1.client_height, dpi_)};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - width) / 2;
  const int y = work.top + (work.bottom - work.top - height) / 2;

  RunHandler([&] {
    hwnd_ = CreateWindowOrThrow(kFormExStyle, kWindowClass, kForm1.caption, kFormStyle, x, y, width, height,
                                nullptr, nullptr, instance_, this);
    CreateControls();
    Form_Load();
  });
}

int Form1::RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Tab moves between the controls; Enter and Esc reach no button, since neither is the
    // default or cancel button.
    if (IsDialogMessageW(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(kExitOk);
}

LRESULT CALLBACK Form1::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form) return DefWindowProcW(hwnd, message, wparam, lparam);
  return form->HandleMessage(message, wparam, lparam);
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(GET_WM_COMMAND_ID(wparam, lparam), GET_WM_COMMAND_CMD(wparam, lparam),
                GET_WM_COMMAND_HWND(wparam, lparam));
      return 0;
    case WM_CTLCOLORSTATIC:
      return OnControlColor(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
    case WM_CLOSE: {
      bool cancel = false;
      RunHandler([this, &cancel] { Form_Unload(cancel); });
      return 0;
    }
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

template <typename Handler>
void Form1::RunHandler(Handler&& handler) {
  // The only place failures are caught: each ends the program with its report.
  try {
    handler();
  } catch (...) {
    ReportCurrentFailureAndExit(hwnd_);
  }
}

void Form1::OnCommand(int id, int code, HWND control) {
  // A click posted to a disabled button still reports itself; a disabled button never acts.
  if (code != BN_CLICKED || !IsWindowEnabled(control)) return;
  if (id == static_cast<int>(ControlId::Command1)) RunHandler([this] { Command1_Click(); });
  if (id == static_cast<int>(ControlId::Command2)) RunHandler([this] { Command2_Click(); });
}

LRESULT Form1::OnControlColor(HDC dc, HWND control) {
  const ControlSpec* layout = SpecOf(control);
  // A disabled edit box asks here too; it keeps the system's colours.
  if (!layout || layout->kind != ControlKind::Label) {
    return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                          reinterpret_cast<LPARAM>(control));
  }
  SetTextColor(dc, layout->text_color ? ToColorRef(*layout->text_color) : GetSysColor(COLOR_WINDOWTEXT));
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, ToColorRef(*layout->back_color));
  return static_cast<LRESULT>(GetClassLongPtrW(hwnd_, GCLP_HBRBACKGROUND));
}

void Form1::CreateControls() {
  for (std::size_t role = 0; role < fonts_.size(); ++role) {
    fonts_[role] = CreateRoleFont(FindFont(static_cast<FontRole>(role)), dpi_);
  }
  HWND above = HWND_TOP;
  for (const ControlSpec* layout : ControlsInTabOrder()) {
    const DWORD ex_style = layout->kind == ControlKind::TextBox ? WS_EX_CLIENTEDGE : 0;
    HWND control = CreateWindowOrThrow(
        ex_style, ClassFor(layout->kind), layout->initial_text, StyleFor(*layout),
        TwipsToPixels(layout->left, dpi_), TwipsToPixels(layout->top, dpi_),
        TwipsToPixels(layout->width, dpi_), TwipsToPixels(layout->height, dpi_), hwnd_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout->id)), instance_, nullptr);
    SendMessageW(control, WM_SETFONT,
                 reinterpret_cast<WPARAM>(fonts_[static_cast<std::size_t>(layout->font)].get()), FALSE);
    // Stacking follows tab order, so Text1 is drawn above Label3.
    SetWindowPos(control, above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    above = control;
  }
}

HWND Form1::Control(ControlId id) const { return GetDlgItem(hwnd_, static_cast<int>(id)); }

const ControlSpec* Form1::SpecOf(HWND control) const {
  // Only the form's own children: an id alone could be any window's.
  if (!control || GetParent(control) != hwnd_) return nullptr;
  return FindControl(static_cast<ControlId>(GetDlgCtrlID(control)));
}

void Form1::EnterState(WindowState state) {
  for (const ControlChange& change : ChangesForState(state, installDir)) ApplyChange(change);
  FocusFirstAvailableControl();
}

void Form1::ApplyChange(const ControlChange& change) {
  HWND control = Control(change.id);
  switch (change.kind) {
    case ControlChange::Kind::Text:
      SetWindowTextW(control, change.text.c_str());
      break;
    case ControlChange::Kind::Enabled:
      EnableWindow(control, change.flag);
      break;
    case ControlChange::Kind::Visible:
      ShowWindow(control, change.flag ? SW_SHOWNA : SW_HIDE);
      break;
    case ControlChange::Kind::BringToTop:
      SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      break;
  }
}

void Form1::FocusFirstAvailableControl() {
  HWND focus = GetFocus();
  if (focus && IsWindowEnabled(focus) && IsWindowVisible(focus) && SpecOf(focus)) return;
  for (const ControlSpec* layout : ControlsInTabOrder()) {
    HWND control = Control(layout->id);
    if ((GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP) && IsWindowEnabled(control) &&
        IsWindowVisible(control)) {
      SetFocus(control);
      return;
    }
  }
}

void Form1::DiscardPendingInput() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
}

void Form1::Form_Load() {
  // Visible before the lookup; it is painted once the handler returns.
  ShowWindow(hwnd_, show_command_);
  const bool found =
      lookup::UninstallEntryLookup(regedit::ReadLocalMachineValue, regedit::DecodeAnsi, installDir, valueSize);
  EnterState(found ? WindowState::Found : WindowState::NotFound);
}

// The copy run.
void Form1::Command1_Click() {
  const std::wstring sourceDir = install::SourceDirFrom(ExecutableDir());
  EnterState(WindowState::Copying);  // OK stays disabled from here on: the run happens once
  install::Win32Files files;
  install::InstallAddons(files, sourceDir, installDir, {lookup::VirtualizedFolders(), lookup::ProfileFolders});
  Sleep(2000);
  // Clicks made during the run must not act on the 終了 button that Done enables.
  DiscardPendingInput();
  EnterState(WindowState::Done);
}

void Form1::Command2_Click() { SendMessageW(hwnd_, WM_CLOSE, 0, 0); }

void Form1::Form_Unload(bool& cancel) {
  // Never refused: the program ends here, with nothing further run.
  cancel = false;
  ExitProcess(kExitOk);
}

}  // namespace app
