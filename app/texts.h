// Every text the user sees, exactly as it must appear.
#pragma once

#include "common/setup_error.h"

namespace app {

inline constexpr wchar_t kFormCaption[] = L"Kolvenir1.0 Shareware file copy";

// Initial captions; the load handler replaces the first two.
inline constexpr wchar_t kLabel1Initial[] = L"Label1";
inline constexpr wchar_t kLabel2Initial[] = L"Label2";
inline constexpr wchar_t kOkCaption[] = L"OK";
inline constexpr wchar_t kCancelCaption[] = L"Cancel";
inline constexpr wchar_t kExitCaption[] = L"終了";

// The gap between 後編 and 追加 is an ideographic space.
inline constexpr wchar_t kHeading[] = L"Kolvenir1.0後編\u3000追加ファイルのコピー";

inline constexpr wchar_t kFoundMessage[] =
    L"以下の場所に「Kolvenir1.0」がｲﾝｽﾄｰﾙされています.\r\n"
    L"\r\n"
    L"「ＯＫ」ﾎﾞﾀﾝをｸﾘｯｸすると追加ﾌｧｲﾙのｺﾋﾟｰを行います.";

inline constexpr wchar_t kNotFoundMessage[] =
    L"Kolvenir1.0が見つかりません\r\n"
    L"Kolvenir1.0前編をインストール後に再実行してください.";

inline constexpr wchar_t kFinishedMessage[] =
    L"ﾌｧｲﾙｺﾋﾟｰ終了.\r\n"
    L"「終了」ﾎﾞﾀﾝをｸﾘｯｸしてください.";

inline constexpr wchar_t kClosingNote[] = L"Kolvenir1.0後編をお楽しみください.";

// The failure report.
inline constexpr wchar_t kFailureLead[] = L"エラーが発生したため、セットアップを中止しました。";
inline constexpr wchar_t kFailureNumberLabel[] = L"エラー番号: ";
inline constexpr wchar_t kFailureDescriptionLabel[] = L"内容: ";
inline constexpr wchar_t kFailurePathLabel[] = L"対象: ";
inline constexpr wchar_t kRestoreIncompleteNote[] =
    L"データフォルダを完全には元に戻せませんでした。ほかのプログラムを終了してから、"
    L"もう一度 setup.exe を実行すると元に戻ります。";
// {path} is filled in: one file's path, or several files as kFilesInFolder.
inline constexpr wchar_t kUnrestoredNote[] =
    L"前回中断されたセットアップの控えのファイルが見つからないため、{path} を元に戻せませんでした。"
    L"追加ファイルをすべてそろえて、もう一度 setup.exe を実行すると、すべてインストールされます。";
// {path} is filled in as for kUnrestoredNote.
inline constexpr wchar_t kSetAsideNote[] =
    L"前回中断されたセットアップのあとで、ほかのプログラムか手作業で置かれたファイルがありました。"
    L"どのファイルも消さずに、元に戻すときに場所を空けたファイルを {path} として残しました。"
    L"中身を確かめて、不要なら削除してください。";
// Several files of one folder: the folder once, then every name. {folder} and {names} are filled in.
inline constexpr wchar_t kFilesInFolder[] = L"{folder} の {names}";
inline constexpr wchar_t kFileNameSeparator[] = L"、";

// Descriptions that say what to do, where the number alone does not.
inline constexpr wchar_t kInUseDescription[] =
    L"ファイルがほかのプログラム（Kolvenir1.0 本体など）で使用中です。"
    L"そのプログラムを終了してから、もう一度 setup.exe を実行してください。";
// Access denied after the retries: a holder, or a permission or Controlled Folder Access.
inline constexpr wchar_t kInUseOrDeniedDescription[] =
    L"ファイルがほかのプログラム（Kolvenir1.0 本体など）で使用中か、書き込みが許可されていません。"
    L"そのプログラムを終了してから、もう一度 setup.exe を実行してください。"
    L"Windows セキュリティの「コントロールされたフォルダー アクセス」が有効な場合は、setup.exe を許可してから実行してください。";
inline constexpr wchar_t kReadOnlyDescription[] =
    L"ファイルが読み取り専用のため、置き換えられません。"
    L"読み取り専用の設定を外してから、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kFolderInTheWayDescription[] =
    L"同じ名前のフォルダがあるため、ファイルを置き換えられません。";
inline constexpr wchar_t kAddonFileMissingDescription[] =
    L"追加ファイルが見つかりません。追加ファイルはすべて setup.exe と同じフォルダに必要です。"
    L"圧縮ファイル（zip など）の中から直接実行せず、すべてのファイルを展開してから setup.exe を実行してください。";
// {drive}, {needed} and {available} are filled in.
inline constexpr wchar_t kNotEnoughRoomDescription[] =
    L"ディスクの空き容量が不足しています。{drive} に {needed} の空きが必要ですが、{available} しかありません。"
    L"空きを作ってから、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kAnotherSetupRunningDescription[] =
    L"ほかの setup.exe が同じフォルダにインストール中です。"
    L"そちらが終わってから、必要ならもう一度 setup.exe を実行してください。";
inline constexpr wchar_t kPathTooLongDescription[] =
    L"インストール先のパスが長すぎるため、作業用のファイルを作れません。"
    L"Kolvenir1.0 をもっと短いパスのフォルダにインストールしてから、もう一度 setup.exe を実行してください。";

inline constexpr wchar_t kLinkElsewhereDescription[] =
    L"このファイルまたはフォルダはほかの場所へのリンクのため、setup.exe は使用しません。"
    L"リンクを削除してから（追加ファイルの場合は、自分のフォルダに展開し直してから）、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kFolderAtOwnNameDescription[] =
    L"setup.exe が作業の記録に使う名前のフォルダがあるため、インストールできません。"
    L"このフォルダを削除してから、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kChangedMeanwhileDescription[] =
    L"setup.exe の実行中に、ほかのプログラム（Kolvenir1.0 本体など）がこのファイルを書き換えました。"
    L"ファイルは書き換えられたままにしてあります。そのプログラムを終了してから、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kUnexpectedFailureDescription[] =
    L"予期しないエラーが発生しました。もう一度 setup.exe を実行してください"
    L"（途中までの変更があれば、そのときに元に戻ります）。";

inline constexpr wchar_t kUnknownReparseDescription[] =
    L"このファイルまたはフォルダは setup.exe が扱えない特殊な形式（再解析ポイント）のため、使用しません。"
    L"ふつうのフォルダにコピーしてから、もう一度 setup.exe を実行してください。";
// {drive} is filled in.
inline constexpr wchar_t kDriveNotSeenDescription[] =
    L"ドライブ {drive} が見つかりません。ネットワークドライブや subst で作ったドライブは、"
    L"管理者として実行したプログラムからは見えないことがあります。"
    L"追加ファイルをこの PC のディスクのフォルダにコピーしてから、そこで setup.exe を実行してください。";
// {operation} is filled in. The program's own fault: nothing the user did.
inline constexpr wchar_t kMissingRightDescription[] =
    L"setup.exe の内部エラーです（{operation} に必要なアクセス権を要求していません）。";
inline constexpr wchar_t kCloudFileDescription[] =
    L"このファイルは OneDrive などのクラウドにあり、内容をこの PC に取り出せませんでした。"
    L"エクスプローラーでファイルを右クリックして「このデバイス上で常に保持する」を選ぶか、"
    L"追加ファイルを OneDrive の外のフォルダにコピーしてから、もう一度 setup.exe を実行してください。";
inline constexpr wchar_t kUntrustedMountPointDescription[] =
    L"このフォルダへの経路に管理者以外のユーザーが作ったリンク（ジャンクションなど）があるため、"
    L"Windows が管理者として実行中の setup.exe にその使用を許しません。"
    L"リンクを管理者として作り直すか、リンクを通らない実際のフォルダを使ってから、もう一度 setup.exe を実行してください。";

// Descriptions by error number.
struct NumberText {
  std::uint32_t number;
  const wchar_t* text;
};
inline constexpr NumberText kNumberDescriptions[] = {
    {common::kErrorFileNotFound, L"ファイルが見つかりません。"},
    {common::kErrorPathNotFound, L"フォルダが見つかりません。"},
    {common::kErrorAccessDenied, L"アクセスが拒否されました。書き込みが許可されていません。"},
    {common::kErrorNotEnoughMemory, L"メモリが不足しています。"},
    {common::kErrorSharingViolation, kInUseDescription},
    {common::kErrorLockViolation, kInUseDescription},
    {common::kErrorHandleEof, L"ファイルの終わりを越えて読み込もうとしました。データが不足しています。"},
    {common::kErrorFileExists, L"同じ名前のファイルが既にあります。"},
    {common::kErrorInvalidParameter, L"引数が正しくありません。"},
    {common::kErrorDiskFull, L"ディスクの空き容量が不足しています。空きを作ってから、もう一度 setup.exe を実行してください。"},
    {common::kErrorInvalidName, L"ファイル名またはフォルダ名が正しくありません。"},
    {common::kErrorAlreadyExists, L"同じ名前のファイルが既にあります。"},
    // A name another program still holds after it was deleted.
    {common::kErrorDeletePending, kInUseDescription},
    {common::kErrorFilenameTooLong, L"ファイル名が長すぎます。"},
    {common::kErrorUntrustedMountPoint, kUntrustedMountPointDescription},
};
// The cloud files' errors (ERROR_CLOUD_FILE_*): contents a provider could not bring.
struct NumberRange {
  std::uint32_t first, last;
};
inline constexpr NumberRange kCloudFileErrors[] = {{358, 358}, {362, 366}, {374, 375}, {377, 383},
                                                   {386, 398}, {404, 404}, {426, 427}};
inline constexpr wchar_t kUnexpectedErrorDescription[] = L"予期しないエラーが発生しました。";

}  // namespace app
