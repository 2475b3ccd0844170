#include "app/failure_text.h"

#include "app/texts.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using common::Cause;
using common::MakeError;

TEST(FailureReport, NamesNumberDescriptionAndPath) {
  const common::SetupError error = MakeError(common::kErrorFileNotFound, L"C:\\K\\data\\30.dat");
  EXPECT_EQ(app::FormatFailureReport(error), std::wstring(app::kFailureLead) + L"\r\n\r\n" +
                                                 app::kFailureNumberLabel + L"2\r\n" +
                                                 app::kFailureDescriptionLabel + app::kNumberDescriptions[0].text +
                                                 L"\r\n" + app::kFailurePathLabel + L"C:\\K\\data\\30.dat");
}

TEST(FailureReport, LeavesOutThePathLineWhenThereIsNoneAndAddsTheNotesOnRestoring) {
  common::SetupError error = MakeError(common::kErrorNotEnoughMemory);
  EXPECT_EQ(app::FormatFailureReport(error).find(app::kFailurePathLabel), std::wstring::npos);
  error = MakeError(common::kErrorSharingViolation, L"C:\\K\\data\\21.dat");
  error.restore_incomplete = true;
  error.unrestored = {L"C:\\K\\data\\15.dat"};
  std::wstring unrestored = app::kUnrestoredNote;
  unrestored.replace(unrestored.find(L"{path}"), 6, error.unrestored.front());
  const std::wstring text = app::FormatFailureReport(error);
  EXPECT_NE(text.find(std::wstring(app::kFailurePathLabel) + L"C:\\K\\data\\21.dat\r\n\r\n" +
                      app::kRestoreIncompleteNote + L"\r\n\r\n" + unrestored),
            std::wstring::npos)
      << text.c_str();
  EXPECT_EQ(text.substr(text.size() - unrestored.size()), unrestored);
}

// Each description the user may meet, once: what happened and what to do about it.
TEST(FailureReport, DescriptionsSayWhatToDo) {
  common::SetupError room = MakeError(common::kErrorDiskFull, L"C:\\K\\data\\", Cause::kNotEnoughRoom);
  room.drive = L"C:\\";
  room.bytes_needed = 12 * 1024 * 1024 + 1;  // rounded up
  room.bytes_available = 3 * 1024 * 1024 + 1024 * 1024 / 10 + 5;  // rounded down
  common::SetupError unc_room = room;
  unc_room.drive = L"\\\\server\\share\\";
  unc_room.bytes_needed = 0;
  unc_room.bytes_available = 0;
  const std::wstring in_use = app::kInUseDescription;
  common::SetupError drive = MakeError(common::kErrorPathNotFound, L"Z:\\K\\data\\", Cause::kDriveNotSeen);
  drive.drive = L"Z:";
  common::SetupError right = MakeError(common::kErrorAccessDenied, L"x", Cause::kMissingRight);
  right.operation = L"SetFileTime";
  const std::wstring cloud = app::kCloudFileDescription;
  const struct {
    common::SetupError error;
    std::wstring description;
  } cases[] = {
      {MakeError(common::kErrorSharingViolation), in_use},
      {MakeError(common::kErrorDeletePending, L"x", Cause::kInUse), in_use},
      {MakeError(common::kErrorLockViolation), in_use},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kInUse), app::kInUseOrDeniedDescription},
      {MakeError(common::kErrorAccessDenied),
       L"アクセスが拒否されました。書き込みが許可されていません。"},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kReadOnly),
       app::kReadOnlyDescription},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kFolderInTheWay),
       app::kFolderInTheWayDescription},
      {MakeError(common::kErrorFileNotFound, L"x", Cause::kAddonFileMissing),
       app::kAddonFileMissingDescription},
      {room,
       L"ディスクの空き容量が不足しています。C: に 12.1 MB の空きが必要ですが、3.1 MB しかありません。"
       L"空きを作ってから、もう一度 setup.exe を実行してください。"},
      {unc_room,
       L"ディスクの空き容量が不足しています。\\\\server\\share\\ に 0.0 MB の空きが必要ですが、0.0 MB しかありません。"
       L"空きを作ってから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorDiskFull),
       L"ディスクの空き容量が不足しています。空きを作ってから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorSharingViolation, L"x", Cause::kAnotherSetupRunning),
       app::kAnotherSetupRunningDescription},
      {MakeError(common::kErrorFilenameTooLong, L"x", Cause::kPathTooLong),
       app::kPathTooLongDescription},
      {MakeError(common::kErrorCantAccessFile, L"x", Cause::kLinkElsewhere),
       app::kLinkElsewhereDescription},
      {MakeError(common::kErrorPathNotFound), L"フォルダが見つかりません。"},
      {MakeError(common::kErrorHandleEof), L"ファイルの終わりを越えて読み込もうとしました。データが不足しています。"},
      {MakeError(common::kErrorCantAccessFile, L"x", Cause::kUnknownReparse), app::kUnknownReparseDescription},
      {drive,
       L"ドライブ Z: が見つかりません。ネットワークドライブや subst で作ったドライブは、"
       L"管理者として実行したプログラムからは見えないことがあります。"
       L"追加ファイルをこの PC のディスクのフォルダにコピーしてから、そこで setup.exe を実行してください。"},
      {right, L"setup.exe の内部エラーです（SetFileTime に必要なアクセス権を要求していません）。"},
      // The cloud files' errors, first, last and a gap between them.
      {MakeError(358), cloud},
      {MakeError(common::kErrorCloudFileProviderNotRunning), cloud},
      {MakeError(395), cloud},
      {MakeError(427), cloud},
      {MakeError(376), app::kUnexpectedErrorDescription},
      {MakeError(common::kErrorUntrustedMountPoint), app::kUntrustedMountPointDescription},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kFolderAtOwnName), app::kFolderAtOwnNameDescription},
      {MakeError(common::kErrorFileInvalid, L"x", Cause::kChangedMeanwhile), app::kChangedMeanwhileDescription},
      {MakeError(common::kErrorInternal, L"", Cause::kUnexpected), app::kUnexpectedFailureDescription},
      {MakeError(999999), app::kUnexpectedErrorDescription},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app::DescribeError(c.error), c.description) << c.error.number;
  }
}

// Every file that could not be put back, or was kept aside, is named; several in one folder
// name it once.
TEST(FailureReport, NamesEveryFileNotPutBack) {
  const struct {
    std::vector<std::wstring> unrestored;
    std::wstring named;
  } cases[] = {
      {{L"C:\\K\\data\\21.dat"}, L"C:\\K\\data\\21.dat"},
      {{L"C:\\K\\data\\21.dat", L"C:\\K\\data\\16.dat", L"C:\\K\\data\\30.dat"},
       L"C:\\K\\data\\ の 21.dat、16.dat、30.dat"},
      {{L"C:\\K\\data\\21.dat", L"C:\\L\\data\\16.dat"}, L"C:\\K\\data\\21.dat、C:\\L\\data\\16.dat"},
  };
  for (const auto& c : cases) {
    for (const bool aside : {false, true}) {
      common::SetupError error = MakeError(common::kErrorFileNotFound, L"E:\\52.dat", Cause::kAddonFileMissing);
      (aside ? error.set_aside : error.unrestored) = c.unrestored;
      std::wstring note = aside ? app::kSetAsideNote : app::kUnrestoredNote;
      note.replace(note.find(L"{path}"), 6, c.named);
      const std::wstring text = app::FormatFailureReport(error);
      EXPECT_EQ(text.substr(text.size() - note.size()), note) << text.c_str();
    }
  }
}

// Whatever the run throws, the report gets an error to show: never an abort without one.
TEST(FailureReport, AnythingThrownBecomesAnError) {
  const common::SetupError held = MakeError(common::kErrorSharingViolation, L"C:\\K\\data\\30.dat", Cause::kInUse);
  const struct {
    const char* what;
    std::function<void()> raise;
    std::uint32_t number;
    Cause cause;
  } cases[] = {
      {"the error type", [&] { throw held; }, common::kErrorSharingViolation, Cause::kInUse},
      {"out of memory", [] { throw std::bad_alloc(); }, common::kErrorNotEnoughMemory, Cause::kNumber},
      {"a number out of range", [] { (void)std::stoull("99999999999999999999"); }, common::kErrorInternal,
       Cause::kUnexpected},
      {"not even an exception", [] { throw 42; }, common::kErrorInternal, Cause::kUnexpected},
  };
  for (const auto& c : cases) {
    common::SetupError error;
    try {
      c.raise();
    } catch (...) {
      error = app::FailureOfCurrentException();
    }
    EXPECT_EQ(error.number, c.number) << c.what;
    EXPECT_EQ(error.cause, c.cause) << c.what;
    EXPECT_EQ(error.path, c.number == held.number ? held.path : L"") << c.what;
  }
}

}  // namespace
