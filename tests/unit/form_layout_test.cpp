#include "app/form_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using app::ControlId;

struct DpiCase {
  int dpi;
  int client_width, client_height;
  int body_font_height, heading_font_height;
};

void PrintTo(const DpiCase& c, std::ostream* os) { *os << c.dpi << " dpi"; }

class DpiScalingTest : public testing::TestWithParam<DpiCase> {};

TEST_P(DpiScalingTest, ClientAreaAndFontsFollowTheScreen) {
  const DpiCase& c = GetParam();
  EXPECT_EQ(app::TwipsToPixels(app::kForm1.client_width, c.dpi), c.client_width);
  EXPECT_EQ(app::TwipsToPixels(app::kForm1.client_height, c.dpi), c.client_height);
  EXPECT_EQ(app::FontHeightForDpi(app::FindFont(app::FontRole::Body).centipoints, c.dpi),
            c.body_font_height);
  EXPECT_EQ(app::FontHeightForDpi(app::FindFont(app::FontRole::Heading).centipoints, c.dpi),
            c.heading_font_height);
}

INSTANTIATE_TEST_SUITE_P(Screens, DpiScalingTest,
                         testing::Values(DpiCase{96, 369, 171, -13, -16},
                                         DpiCase{120, 461, 214, -16, -20},
                                         DpiCase{144, 554, 257, -20, -24},
                                         DpiCase{192, 738, 342, -26, -32}));

TEST(FormLayout, TabOrderPutsTextBoxAboveTheLabelItCovers) {
  std::wstring order;
  for (const app::ControlSpec* layout : app::ControlsInTabOrder()) order += std::wstring(layout->name) + L" ";
  EXPECT_EQ(order, L"Label1 Command1 Command2 Text1 Label2 Label3 ");

  const app::ControlSpec& text = *app::FindControl(ControlId::Text1);
  const app::ControlSpec& label = *app::FindControl(ControlId::Label3);
  EXPECT_GT(text.top, label.top);
  EXPECT_LT(text.top, label.top + label.height);
}

TEST(FormLayout, OnlyTheOkButtonStartsDisabled) {
  for (const app::ControlSpec& layout : app::kControls) {
    EXPECT_EQ(layout.initially_enabled, layout.id != ControlId::Command1) << std::wstring(layout.name);
  }
}

TEST(FormLayout, JapaneseFacesComeFirstAndFallBackToInstalledOnes) {
  const auto& body = app::FindFont(app::FontRole::Body);
  const auto& fixed = app::FindFont(app::FontRole::Fixed);
  EXPECT_EQ(std::wstring(body.faces[0]), L"\uff2d\uff33 \uff30\u30b4\u30b7\u30c3\u30af");
  EXPECT_EQ(std::wstring(fixed.faces[0]), L"\uff2d\uff33 \u30b4\u30b7\u30c3\u30af");
  auto lists = [](const app::FontSpec& font, const wchar_t* face) {
    for (auto f = font.faces; *f; ++f) {
      if (std::wstring(*f) == face) return true;
    }
    return false;
  };
  EXPECT_TRUE(lists(body, L"IPAPGothic"));
  EXPECT_TRUE(lists(fixed, L"IPAGothic"));
  EXPECT_FALSE(lists(body, L"IPAGothic")) << "a fixed-pitch face is no stand-in for a proportional one";
}

}  // namespace
