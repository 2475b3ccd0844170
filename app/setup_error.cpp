#include "app/setup_error.h"

#include <utility>

#include "app/texts.h"

namespace app {

std::wstring DescribeError(std::uint32_t number) {
  switch (number) {
    case kErrorFileNotFound: return L"ファイルが見つかりません。";
    case kErrorPathNotFound: return L"フォルダが見つかりません。";
    case kErrorAccessDenied: return L"アクセスが拒否されました。ファイルが読み取り専用か、書き込みが許可されていません。";
    case kErrorNotEnoughMemory: return L"メモリが不足しています。";
    case kErrorSharingViolation: return L"ファイルがほかのプログラムで使用中です。";
    case kErrorLockViolation: return L"ファイルの一部がほかのプログラムによってロックされています。";
    case kErrorHandleEof: return L"ファイルの終わりを越えて読み込もうとしました。データが不足しています。";
    case kErrorFileExists:
    case kErrorAlreadyExists: return L"同じ名前のファイルが既にあります。";
    case kErrorInvalidParameter: return L"引数が正しくありません。";
    case kErrorDiskFull: return L"ディスクの空き容量が不足しています。";
    default: return L"予期しないエラーが発生しました。";
  }
}

SetupError MakeError(std::uint32_t number, std::wstring path) {
  return SetupError{number, DescribeError(number), std::move(path)};
}

std::wstring FormatFailureReport(const SetupError& error) {
  std::wstring text = kFailureLead;
  text += L"\r\n\r\n";
  text += kFailureNumberLabel;
  text += std::to_wstring(error.number);
  text += L"\r\n";
  text += kFailureDescriptionLabel;
  text += error.description;
  if (!error.path.empty()) {
    text += L"\r\n";
    text += kFailurePathLabel;
    text += error.path;
  }
  return text;
}

}  // namespace app
