// The one error type: raised where an operation fails, shown by ReportFailureAndExit.
#pragma once

#include <cstdint>
#include <string>

namespace app {

// Numbers are Win32 error codes, so a report can be looked up by anyone who knows Windows.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorHandleEof = 38;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;

struct SetupError {
  std::uint32_t number = 0;
  std::wstring description;
  std::wstring path;  // the file or folder involved; empty when there is none
};

// An error with the Japanese description that belongs to its number.
SetupError MakeError(std::uint32_t number, std::wstring path = {});

// Japanese description of a Win32 error code; a generic sentence for codes we do not expect.
std::wstring DescribeError(std::uint32_t number);

// The text of the failure report's message box.
std::wstring FormatFailureReport(const SetupError& error);

}  // namespace app
