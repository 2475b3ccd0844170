#include "app/failure_text.h"

#include <new>
#include <string>

#include "app/texts.h"

namespace app {
namespace {

using common::Cause;

// std::to_wstring would bring in the C library's whole printf; the digits are ASCII anyway.
std::wstring Decimal(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  return std::wstring(digits.begin(), digits.end());
}

// Megabytes with one decimal, rounded the way that does not understate the shortage.
std::wstring Megabytes(std::uint64_t bytes, bool round_up) {
  constexpr std::uint64_t kTenth = 1024 * 1024 / 10;
  const std::uint64_t tenths = round_up ? (bytes + kTenth - 1) / kTenth : bytes / kTenth;
  return Decimal(tenths / 10) + L"." + Decimal(tenths % 10) + L" MB";
}

void Fill(std::wstring& text, const std::wstring& field, const std::wstring& value) {
  const std::size_t at = text.find(field);
  if (at != std::wstring::npos) text.replace(at, field.size(), value);
}

// Every file: several in one folder name the folder once.
std::wstring ListOfFiles(const std::vector<std::wstring>& paths) {
  if (paths.size() == 1) return paths.front();
  const std::wstring folder = paths.front().substr(0, paths.front().rfind(L'\\') + 1);
  bool one_folder = !folder.empty();
  for (const std::wstring& path : paths) {
    one_folder = one_folder && path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                 path.find(L'\\', folder.size()) == std::wstring::npos;
  }
  std::wstring names;
  for (const std::wstring& path : paths) {
    if (!names.empty()) names += kFileNameSeparator;
    names += one_folder ? path.substr(folder.size()) : path;
  }
  if (!one_folder) return names;
  std::wstring text = kFilesInFolder;
  Fill(text, L"{names}", names);
  Fill(text, L"{folder}", folder);
  return text;
}

std::wstring DescribeNumber(std::uint32_t number) {
  for (const NumberText& entry : kNumberDescriptions) {
    if (entry.number == number) return entry.text;
  }
  for (const NumberRange& range : kCloudFileErrors) {
    if (number >= range.first && number <= range.last) return kCloudFileDescription;
  }
  return kUnexpectedErrorDescription;
}

}  // namespace

std::wstring DescribeError(const common::SetupError& error) {
  switch (error.cause) {
    case Cause::kNumber: return DescribeNumber(error.number);
    case Cause::kInUse:
      return error.number == common::kErrorAccessDenied ? kInUseOrDeniedDescription : kInUseDescription;
    case Cause::kReadOnly: return kReadOnlyDescription;
    case Cause::kFolderInTheWay: return kFolderInTheWayDescription;
    case Cause::kAddonFileMissing: return kAddonFileMissingDescription;
    case Cause::kAnotherSetupRunning: return kAnotherSetupRunningDescription;
    case Cause::kPathTooLong: return kPathTooLongDescription;
    case Cause::kLinkElsewhere: return kLinkElsewhereDescription;
    case Cause::kUnknownReparse: return kUnknownReparseDescription;
    case Cause::kDriveNotSeen: {
      std::wstring text = kDriveNotSeenDescription;
      Fill(text, L"{drive}", error.drive);
      return text;
    }
    case Cause::kMissingRight: {
      std::wstring text = kMissingRightDescription;
      Fill(text, L"{operation}", error.operation);
      return text;
    }
    case Cause::kFolderAtOwnName: return kFolderAtOwnNameDescription;
    case Cause::kChangedMeanwhile: return kChangedMeanwhileDescription;
    case Cause::kUnexpected: return kUnexpectedFailureDescription;
    case Cause::kNotEnoughRoom: {
      std::wstring text = kNotEnoughRoomDescription;
      // "C:\" reads as the drive "C:".
      std::wstring drive = error.drive;
      if (drive.size() == 3 && drive[1] == L':' && drive[2] == L'\\') drive.pop_back();
      Fill(text, L"{drive}", drive);
      Fill(text, L"{needed}", Megabytes(error.bytes_needed, true));
      Fill(text, L"{available}", Megabytes(error.bytes_available, false));
      return text;
    }
  }
  return DescribeNumber(error.number);
}

std::wstring FormatFailureReport(const common::SetupError& error) {
  std::wstring text = kFailureLead;
  text += L"\r\n\r\n";
  text += kFailureNumberLabel;
  text += Decimal(error.number);
  text += L"\r\n";
  text += kFailureDescriptionLabel;
  text += DescribeError(error);
  if (!error.path.empty()) {
    text += L"\r\n";
    text += kFailurePathLabel;
    text += error.path;
  }
  if (error.restore_incomplete) {
    text += L"\r\n\r\n";
    text += kRestoreIncompleteNote;
  }
  if (!error.unrestored.empty()) {
    std::wstring note = kUnrestoredNote;
    Fill(note, L"{path}", ListOfFiles(error.unrestored));
    text += L"\r\n\r\n" + note;
  }
  if (!error.set_aside.empty()) {
    std::wstring note = kSetAsideNote;
    Fill(note, L"{path}", ListOfFiles(error.set_aside));
    text += L"\r\n\r\n" + note;
  }
  return text;
}

common::SetupError FailureOfCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const common::SetupError& error) {
      return error;
    } catch (const std::bad_alloc&) {
      return common::MakeError(common::kErrorNotEnoughMemory);
    } catch (...) {
      // A fault of the program's own (std::out_of_range, say): still a report, never an abort.
      return common::MakeError(common::kErrorInternal, {}, Cause::kUnexpected);
    }
  } catch (...) {
    return common::MakeError(common::kErrorNotEnoughMemory);  // copying the error ran out of memory
  }
}

}  // namespace app
