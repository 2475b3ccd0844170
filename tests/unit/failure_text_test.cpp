#include "app/failure_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using common::Cause;
using common::MakeError;

TEST(FailureReport, NamesNumberDescriptionAndPath) {
  const common::SetupError error = MakeError(common::kErrorFileNotFound, L"C:\\K\\data\\30.dat");
  EXPECT_EQ(app::FormatFailureReport(error),
            L"エラーが発生したため、セットアップを中止しました。\r\n\r\n"
            L"エラー番号: 2\r\n"
            L"内容: ファイルが見つかりません。\r\n"
            L"対象: C:\\K\\data\\30.dat");
}

TEST(FailureReport, LeavesOutThePathLineWhenThereIsNoneAndAddsTheRestoreNote) {
  common::SetupError error = MakeError(common::kErrorNotEnoughMemory);
  EXPECT_EQ(app::FormatFailureReport(error).find(L"対象"), std::wstring::npos);
  error = MakeError(common::kErrorSharingViolation, L"C:\\K\\data\\21.dat");
  error.restore_incomplete = true;
  const std::wstring text = app::FormatFailureReport(error);
  EXPECT_NE(text.find(L"対象: C:\\K\\data\\21.dat\r\n\r\n"
                      L"データフォルダを完全には元に戻せませんでした。ほかのプログラムを終了してから、"
                      L"もう一度 setup.exe を実行すると元に戻ります。"),
            std::wstring::npos)
      << text.c_str();
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
  const std::wstring in_use =
      L"ファイルがほかのプログラム（Kolvenir1.0 本体など）で使用中です。"
      L"そのプログラムを終了してから、もう一度 setup.exe を実行してください。";
  const struct {
    common::SetupError error;
    std::wstring description;
  } cases[] = {
      {MakeError(common::kErrorSharingViolation), in_use},
      {MakeError(common::kErrorLockViolation), in_use},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kInUse), in_use},
      {MakeError(common::kErrorAccessDenied),
       L"アクセスが拒否されました。書き込みが許可されていません。"},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kReadOnly),
       L"ファイルが読み取り専用のため、置き換えられません。"
       L"読み取り専用の設定を外してから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorAccessDenied, L"x", Cause::kFolderInTheWay),
       L"同じ名前のフォルダがあるため、ファイルを置き換えられません。"},
      {MakeError(common::kErrorFileNotFound, L"x", Cause::kAddonFileMissing),
       L"追加ファイルが見つかりません。追加ファイルはすべて setup.exe と同じフォルダに必要です。"
       L"圧縮ファイル（zip など）の中から直接実行せず、すべてのファイルを展開してから setup.exe を実行してください。"},
      {room,
       L"ディスクの空き容量が不足しています。C: に 12.1 MB の空きが必要ですが、3.1 MB しかありません。"
       L"空きを作ってから、もう一度 setup.exe を実行してください。"},
      {unc_room,
       L"ディスクの空き容量が不足しています。\\\\server\\share\\ に 0.0 MB の空きが必要ですが、0.0 MB しかありません。"
       L"空きを作ってから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorDiskFull),
       L"ディスクの空き容量が不足しています。空きを作ってから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorSharingViolation, L"x", Cause::kAnotherSetupRunning),
       L"ほかの setup.exe が同じフォルダにインストール中です。"
       L"そちらが終わってから、必要ならもう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorFilenameTooLong, L"x", Cause::kPathTooLong),
       L"インストール先のパスが長すぎるため、作業用のファイルを作れません。"
       L"Kolvenir1.0 をもっと短いパスのフォルダにインストールしてから、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorCantAccessFile, L"x", Cause::kLinkElsewhere),
       L"このファイルまたはフォルダはほかの場所へのリンクのため、setup.exe は使用しません。"
       L"リンクを削除してから（追加ファイルの場合は、自分のフォルダに展開し直してから）、もう一度 setup.exe を実行してください。"},
      {MakeError(common::kErrorPathNotFound), L"フォルダが見つかりません。"},
      {MakeError(common::kErrorHandleEof), L"ファイルの終わりを越えて読み込もうとしました。データが不足しています。"},
      {MakeError(999999), L"予期しないエラーが発生しました。"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app::DescribeError(c.error), c.description) << c.error.number;
  }
}

}  // namespace
