// The failure report in words: the description of an error and the text of the message box.
#pragma once

#include <string>

#include "common/setup_error.h"

namespace app {

// Japanese description of a failure: what happened and, where the user can act, what to do.
std::wstring DescribeError(const common::SetupError& error);

// The text of the failure report's message box.
std::wstring FormatFailureReport(const common::SetupError& error);

// Only inside a catch handler: whatever was thrown, as the error to report.
common::SetupError FailureOfCurrentException() noexcept;

}  // namespace app
