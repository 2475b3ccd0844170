// Form1: the program's one window. Its procedure only dispatches; the handlers carry the names
// the user-facing behaviour is described by.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "app/form_layout.h"
#include "common/scoped_handle.h"
#include "app/window_states.h"

namespace app {

class Form1 {
 public:
  Form1(HINSTANCE instance, int show_command);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Creates the window and its controls, then runs Form_Load; a window not made is a failure.
  void Create();
  int RunMessageLoop();

  // Event handlers.
  void Form_Load();
  void Command1_Click();
  void Command2_Click();
  void Form_Unload(bool& cancel);

  // For the copy run, which drives the window through its states.
  void EnterState(WindowState state);
  // Drops the clicks and key presses that arrived while a handler kept the window busy.
  void DiscardPendingInput();

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

  void OnCommand(int id, int code, HWND control);
  LRESULT OnControlColor(HDC dc, HWND control);

  template <typename Handler>
  void RunHandler(Handler&& handler);

  void CreateControls();
  void ApplyChange(const ControlChange& change);
  void FocusFirstAvailableControl();
  HWND Control(ControlId id) const;
  const ControlSpec* SpecOf(HWND control) const;

  HINSTANCE instance_;
  int show_command_;
  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  std::array<common::ScopedFont, 4> fonts_;   // indexed by FontRole

  // Window-level values shared with the lookup and the copy run.
  std::wstring installDir;
  std::int32_t valueSize = 0;
};

}  // namespace app
