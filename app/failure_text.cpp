#include "app/failure_text.h"

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
    Fill(note, L"{path}", error.unrestored);
    text += L"\r\n\r\n" + note;
  }
  return text;
}

}  // namespace app
