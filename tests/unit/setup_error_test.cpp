#include "app/setup_error.h"

#include <gtest/gtest.h>

namespace {

TEST(FailureReport, NamesNumberDescriptionAndPath) {
  const app::SetupError error = app::MakeError(app::kErrorFileNotFound, L"C:\\K\\data\\21.dat");
  EXPECT_EQ(app::FormatFailureReport(error),
            L"エラーが発生したため、セットアップを中止しました。\r\n\r\n"
            L"エラー番号: 2\r\n"
            L"内容: ファイルが見つかりません。\r\n"
            L"対象: C:\\K\\data\\21.dat");
}

TEST(FailureReport, LeavesOutThePathLineWhenThereIsNone) {
  const std::wstring text = app::FormatFailureReport(app::MakeError(app::kErrorNotEnoughMemory));
  EXPECT_EQ(text.find(L"対象"), std::wstring::npos);
  EXPECT_NE(text.find(L"エラー番号: 8\r\n"), std::wstring::npos);
}

TEST(FailureReport, EveryExpectedFailureHasItsOwnDescription) {
  const std::wstring generic = app::DescribeError(999999);
  for (std::uint32_t number : {app::kErrorFileNotFound, app::kErrorPathNotFound,
                               app::kErrorAccessDenied, app::kErrorSharingViolation,
                               app::kErrorHandleEof, app::kErrorDiskFull}) {
    EXPECT_NE(app::DescribeError(number), generic) << number;
  }
}

}  // namespace
