#include "app/form_layout.h"

#include <algorithm>

#include "app/texts.h"

namespace app {
namespace {

constexpr Rgb kFormGrey{224, 224, 224};

// Where ＭＳ Ｐゴシック or ＭＳ ゴシック is missing: their English names on Windows, then
// Japanese UI faces, then what Debian's fonts-ipafont-gothic and fonts-noto-cjk give under Wine.
constexpr const wchar_t* kProportionalFaces[] = {
    L"ＭＳ Ｐゴシック", L"MS PGothic", L"Meiryo UI", L"MS UI Gothic",
    L"IPAPGothic", L"IPAPゴシック", L"Noto Sans CJK JP", nullptr};
constexpr const wchar_t* kFixedFaces[] = {
    L"ＭＳ ゴシック", L"MS Gothic", L"IPAGothic", L"IPAゴシック",
    L"Noto Sans Mono CJK JP", nullptr};
constexpr const wchar_t* kNoFaces[] = {nullptr};

constexpr std::array<FontSpec, 4> kFonts{{
    {FontRole::Heading, 1200, kProportionalFaces},
    {FontRole::Body, 975, kProportionalFaces},
    {FontRole::Fixed, 975, kFixedFaces},
    {FontRole::Dialog, 0, kNoFaces},  // the system's message font
}};

}  // namespace

const FormSpec kForm1{kFormCaption, 5535, 2565, kFormGrey};

const std::array<ControlSpec, 6> kControls{{
    {ControlId::Label2, L"Label2", ControlKind::Label, 120, 120, 5295, 375, 4,
     kLabel2Initial, true, FontRole::Heading, Rgb{192, 0, 0}, kFormGrey},
    {ControlId::Label1, L"Label1", ControlKind::Label, 240, 600, 5055, 975, 0,
     kLabel1Initial, true, FontRole::Body, std::nullopt, kFormGrey},
    {ControlId::Label3, L"Label3", ControlKind::Label, 240, 1200, 4935, 735, 5,
     L"", true, FontRole::Body, Rgb{0, 0, 192}, kFormGrey},
    {ControlId::Text1, L"Text1", ControlKind::TextBox, 240, 1680, 4935, 285, 3,
     L"", true, FontRole::Fixed, std::nullopt, std::nullopt},
    {ControlId::Command1, L"Command1", ControlKind::Button, 3600, 2040, 735, 495, 1,
     kOkCaption, false, FontRole::Dialog, std::nullopt, std::nullopt},
    {ControlId::Command2, L"Command2", ControlKind::Button, 4440, 2040, 735, 495, 2,
     kCancelCaption, true, FontRole::Dialog, std::nullopt, std::nullopt},
}};

const ControlSpec* FindControl(ControlId id) {
  const auto found = std::find_if(kControls.begin(), kControls.end(),
                                  [id](const ControlSpec& c) { return c.id == id; });
  return found == kControls.end() ? nullptr : &*found;
}

const FontSpec& FindFont(FontRole role) {
  return *std::find_if(kFonts.begin(), kFonts.end(),
                       [role](const FontSpec& f) { return f.role == role; });
}

std::array<const ControlSpec*, 6> ControlsInTabOrder() {
  std::array<const ControlSpec*, 6> order{};
  std::transform(kControls.begin(), kControls.end(), order.begin(),
                 [](const ControlSpec& c) { return &c; });
  std::sort(order.begin(), order.end(),
            [](const ControlSpec* a, const ControlSpec* b) { return a->tab_index < b->tab_index; });
  return order;
}

int TwipsToPixels(int twips, int dpi) {
  const long long scaled = static_cast<long long>(twips) * dpi;
  return static_cast<int>((scaled + (scaled >= 0 ? 720 : -720)) / 1440);
}

int FontHeightForDpi(int centipoints, int dpi) {
  const long long scaled = static_cast<long long>(centipoints) * dpi;
  return -static_cast<int>((scaled + 3600) / 7200);
}

}  // namespace app
