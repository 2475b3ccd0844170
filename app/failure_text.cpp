#include "app/failure_text.h"


#include "app/texts.h"

namespace app {
namespace {

using common::Cause;

// Megabytes with one decimal, rounded the way that does not understate the shortage.
std::wstring Megabytes(std::uint64_t bytes, bool round_up) {
  constexpr std::uint64_t kTenth = 1024 * 1024 / 10;
  const std::uint64_t tenths = round_up ? (bytes + kTenth - 1) / kTenth : bytes / kTenth;
  return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" MB";
}

void Fill(std::wstring& text, const std::wstring& field, const std::wstring& value) {
  const std::size_t at = text.find(field);
  if (at != std::wstring::npos) text.replace(at, field.size(), value);
}

std::wstring DescribeNumber(std::uint32_t number) {
  for (const NumberText& entry : kNumberDescriptions) {
    if (entry.number == number) return entry.text;
  }
  return kUnexpectedErrorDescription;
}

}  // namespace

std::wstring DescribeError(const common::SetupError& error) {
  switch (error.cause) {
    case Cause::kNumber: return DescribeNumber(error.number);
    case Cause::kInUse: return kInUseDescription;
    case Cause::kReadOnly: return kReadOnlyDescription;
    case Cause::kFolderInTheWay: return kFolderInTheWayDescription;
    case Cause::kAddonFileMissing: return kAddonFileMissingDescription;
    case Cause::kAnotherSetupRunning: return kAnotherSetupRunningDescription;
    case Cause::kPathTooLong: return kPathTooLongDescription;
    case Cause::kLinkElsewhere: return kLinkElsewhereDescription;
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
  text += std::to_wstring(error.number);
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
  return text;
}

}  // namespace app
