// The one place a failure ends up: a modal message box, then the process ends.
#pragma once

#include <windows.h>

#include "common/setup_error.h"

namespace app {

inline constexpr UINT kExitOk = 0;
inline constexpr UINT kExitFailure = 1;

[[noreturn]] void ReportFailureAndExit(HWND owner, const common::SetupError& error);
// Inside a catch handler: reports whatever was thrown, anything at all, the same way.
[[noreturn]] void ReportCurrentFailureAndExit(HWND owner) noexcept;

}  // namespace app
