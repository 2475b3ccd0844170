// Every text the user sees, exactly as it must appear.
#pragma once

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

}  // namespace app
