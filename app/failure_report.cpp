#include "app/failure_report.h"

#include "app/failure_text.h"
#include "app/fonts.h"
#include "app/texts.h"

namespace app {
namespace {

struct HookTraits {
  using Handle = HHOOK;
  static HHOOK None() { return nullptr; }
  void Close(HHOOK hook) const { UnhookWindowsHookEx(hook); }
};
using ScopedHook = common::Scoped<HookTraits>;

// The box being shown: hooks carry no data of their own, and one report ends the process.
struct Box {
  const std::wstring* text = nullptr;
  HHOOK hook = nullptr;
  HWND dialog = nullptr;
  WNDPROC original = nullptr;
  common::ScopedFont font;
};
Box box;

bool IsDialog(HWND window) {
  wchar_t name[16] = {};
  return GetClassNameW(window, name, 16) && lstrcmpW(name, L"#32770") == 0;
}

void SetFontOfChildren(HWND parent, HFONT font) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
}

// The box lays itself out at WM_INITDIALOG with the dialog's font (Wine asks WM_GETFONT), so the
// face is swapped just before, and only where that font has no glyphs for the report: a fresh
// Wine 10 prefix gives Tahoma, whose Japanese fallbacks are faces that are not installed.
LRESULT CALLBACK BoxProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG && box.text) {
    const auto font = reinterpret_cast<HFONT>(CallWindowProcW(box.original, dialog, WM_GETFONT, 0, 0));
    box.font = JapaneseFontInstead(font, *box.text);
    if (box.font.valid()) SetFontOfChildren(dialog, box.font.get());
  } else if (message == WM_GETFONT && box.font.valid()) {
    return reinterpret_cast<LRESULT>(box.font.get());
  }
  return CallWindowProcW(box.original, dialog, message, wparam, lparam);
}

LRESULT CALLBACK WatchForBox(int code, WPARAM wparam, LPARAM lparam) {
  const auto window = reinterpret_cast<HWND>(wparam);
  if (code == HCBT_CREATEWND && !box.dialog && IsDialog(window)) {
    box.dialog = window;
    box.original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BoxProc)));
  }
  return CallNextHookEx(box.hook, code, wparam, lparam);
}

}  // namespace

void ReportFailureAndExit(HWND owner, const common::SetupError& error) {
  std::wstring text;
  try {
    text = FormatFailureReport(error);
  } catch (...) {
    // Out of memory for the words: the lead line alone, but never an end without a report.
  }
  const std::wstring* shown = text.empty() ? nullptr : &text;
  box.text = shown;
  const ScopedHook hook(SetWindowsHookExW(WH_CBT, WatchForBox, nullptr, GetCurrentThreadId()));
  box.hook = hook.get();
  MessageBoxW(owner, shown ? shown->c_str() : kFailureLead, kFormCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  ExitProcess(kExitFailure);
}

void ReportCurrentFailureAndExit(HWND owner) noexcept { ReportFailureAndExit(owner, FailureOfCurrentException()); }

}  // namespace app
