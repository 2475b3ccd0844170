// The one error type: raised where an operation fails, carried to the window, which words it
// (app/failure_text) and shows it once before the program ends.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace common {

// Numbers are Win32 error codes, so a report can be looked up by anyone who knows Windows.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorNotReady = 21;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorHandleEof = 38;
inline constexpr std::uint32_t kErrorBadNetPath = 53;
inline constexpr std::uint32_t kErrorBadNetName = 67;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorDeletePending = 303;
inline constexpr std::uint32_t kErrorFilenameTooLong = 206;
inline constexpr std::uint32_t kErrorCloudFileProviderNotRunning = 362;
inline constexpr std::uint32_t kErrorUntrustedMountPoint = 448;
inline constexpr std::uint32_t kErrorFileInvalid = 1006;
inline constexpr std::uint32_t kErrorInternal = 1359;
inline constexpr std::uint32_t kErrorCantAccessFile = 1920;

// What lies behind a failure where its number alone does not tell the user what to do.
enum class Cause {
  kNumber,               // the number's own description
  kInUse,                // another program holds the file
  kReadOnly,             // the file is marked read-only
  kFolderInTheWay,       // a folder has the file's name
  kAddonFileMissing,     // an add-on file is not beside setup.exe
  kNotEnoughRoom,        // the room check: see bytes_needed, bytes_available, drive
  kAnotherSetupRunning,  // another setup.exe holds the data folder
  kPathTooLong,          // a name the program must write would be too long
  kLinkElsewhere,        // the name is a link, or a second name of a file elsewhere
  kUnknownReparse,       // a reparse point of a kind the program does not know
  kDriveNotSeen,         // the path's drive is not there for this process: see drive
  kMissingRight,         // the program asked too few rights for operation: its own fault
  kFolderAtOwnName,      // a folder has one of the program's own names
  kChangedMeanwhile,     // another program wrote the file after the run read it
  kUnexpected,           // nothing the program knows of: an exception it did not expect
};

struct SetupError {
  std::uint32_t number = 0;
  std::wstring path;  // the user's file or folder involved; empty when there is none
  Cause cause = Cause::kNumber;
  std::uint64_t bytes_needed = 0;
  std::uint64_t bytes_available = 0;
  std::wstring drive;
  // The call refused for want of a right (kMissingRight).
  std::wstring operation;
  // The data folder could not be put back as it was; the next run finishes the job.
  bool restore_incomplete = false;
  // Files an interrupted run had replaced that could not be put back (their kept copies are gone).
  std::vector<std::wstring> unrestored;
  // Files a rollback could not tell from the user's own and so kept under these names.
  std::vector<std::wstring> set_aside;
};

inline SetupError MakeError(std::uint32_t number, std::wstring path = {}, Cause cause = Cause::kNumber) {
  SetupError error;
  error.number = number;
  error.path = std::move(path);
  error.cause = cause;
  return error;
}

}  // namespace common
