// The window's four display states as ordered lists of control changes.
#pragma once

#include <string>
#include <vector>

#include "app/form_layout.h"

namespace app {

enum class WindowState { Found, NotFound, Copying, Done };

struct ControlChange {
  enum class Kind { Text, Enabled, Visible, BringToTop };
  ControlId id;
  Kind kind;
  std::wstring text;  // Kind::Text
  bool flag = false;  // Kind::Enabled, Kind::Visible
};

// What entering a state changes, in the order it must be changed. install_dir is shown
// in Text1 on entering Found or NotFound (empty in the latter).
std::vector<ControlChange> ChangesForState(WindowState state, const std::wstring& install_dir);

}  // namespace app
