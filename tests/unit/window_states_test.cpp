#include "app/window_states.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using app::ControlId;
using app::WindowState;

struct Props {
  std::wstring text;
  bool enabled = true;
  bool visible = true;
  bool operator==(const Props& o) const {
    return text == o.text && enabled == o.enabled && visible == o.visible;
  }
};

std::ostream& operator<<(std::ostream& os, const Props& p) {
  return os << "{text of " << p.text.size() << " chars, enabled=" << p.enabled
            << ", visible=" << p.visible << "}";
}

// The controls as created, then changed state by state as the window would change them.
class Window {
 public:
  Window() {
    for (const app::ControlSpec& layout : app::kControls) {
      props_[layout.id] = {layout.initial_text, layout.initially_enabled, true};
    }
  }
  void Enter(WindowState state, const std::wstring& dir = L"") {
    for (const app::ControlChange& c : app::ChangesForState(state, dir)) {
      Props& p = props_[c.id];
      switch (c.kind) {
        case app::ControlChange::Kind::Text: p.text = c.text; break;
        case app::ControlChange::Kind::Enabled: p.enabled = c.flag; break;
        case app::ControlChange::Kind::Visible: p.visible = c.flag; break;
        case app::ControlChange::Kind::BringToTop: break;
      }
    }
  }
  const Props& operator[](ControlId id) { return props_[id]; }

 private:
  std::map<ControlId, Props> props_;
};

const std::wstring kHeading = L"Kolvenir1.0\u5f8c\u7de8\u3000\u8ffd\u52a0\u30d5\u30a1\u30a4\u30eb\u306e\u30b3\u30d4\u30fc";
// Half-width katakana (U+FF61..U+FF9F), full-width ＯＫ, ASCII full stops.
const std::wstring kFound =
    L"\u4ee5\u4e0b\u306e\u5834\u6240\u306b\u300cKolvenir1.0\u300d\u304c"
    L"\uff72\uff9d\uff7d\uff84\uff70\uff99\u3055\u308c\u3066\u3044\u307e\u3059.\r\n\r\n"
    L"\u300c\uff2f\uff2b\u300d\uff8e\uff9e\uff80\uff9d\u3092\uff78\uff98\uff6f\uff78\u3059\u308b\u3068"
    L"\u8ffd\u52a0\uff8c\uff67\uff72\uff99\u306e\uff7a\uff8b\uff9f\uff70\u3092\u884c\u3044\u307e\u3059.";
const std::wstring kNotFound =
    L"Kolvenir1.0\u304c\u898b\u3064\u304b\u308a\u307e\u305b\u3093\r\n"
    L"Kolvenir1.0\u524d\u7de8\u3092\u30a4\u30f3\u30b9\u30c8\u30fc\u30eb\u5f8c\u306b"
    L"\u518d\u5b9f\u884c\u3057\u3066\u304f\u3060\u3055\u3044.";
const std::wstring kFinished =
    L"\uff8c\uff67\uff72\uff99\uff7a\uff8b\uff9f\uff70\u7d42\u4e86.\r\n"
    L"\u300c\u7d42\u4e86\u300d\uff8e\uff9e\uff80\uff9d\u3092\uff78\uff98\uff6f\uff78\u3057\u3066"
    L"\u304f\u3060\u3055\u3044.";
const std::wstring kExit = L"\u7d42\u4e86";

TEST(WindowStates, FoundShowsTheFolderAndEnablesOk) {
  Window w;
  w.Enter(WindowState::Found, L"C:\\Kolvenir1.0\\");
  EXPECT_EQ(w[ControlId::Label2], (Props{kHeading, true, true}));
  EXPECT_EQ(w[ControlId::Label1], (Props{kFound, true, true}));
  EXPECT_EQ(w[ControlId::Text1], (Props{L"C:\\Kolvenir1.0\\", true, true}));
  EXPECT_EQ(w[ControlId::Label3], (Props{L"", true, true}));
  EXPECT_EQ(w[ControlId::Command1], (Props{L"OK", true, true}));
  EXPECT_EQ(w[ControlId::Command2], (Props{L"Cancel", true, true}));
}

TEST(WindowStates, NotFoundOffersOnlyExit) {
  Window w;
  w.Enter(WindowState::NotFound);
  EXPECT_EQ(w[ControlId::Label2], (Props{kHeading, true, true}));
  EXPECT_EQ(w[ControlId::Label1], (Props{kNotFound, true, true}));
  EXPECT_EQ(w[ControlId::Text1], (Props{L"", false, true}));
  EXPECT_EQ(w[ControlId::Command1], (Props{L"OK", false, true}));
  EXPECT_EQ(w[ControlId::Command2], (Props{kExit, true, true}));
}

TEST(WindowStates, CopyingDisablesBothButtonsAndKeepsTheRest) {
  Window w;
  w.Enter(WindowState::Found, L"C:\\K\\");
  w.Enter(WindowState::Copying);
  EXPECT_EQ(w[ControlId::Label1], (Props{kFound, true, true}));
  EXPECT_EQ(w[ControlId::Text1], (Props{L"C:\\K\\", true, true}));
  EXPECT_FALSE(w[ControlId::Command1].enabled);
  EXPECT_FALSE(w[ControlId::Command2].enabled);
}

TEST(WindowStates, DoneHidesTheFolderAndLeavesOnlyExit) {
  Window w;
  w.Enter(WindowState::Found, L"C:\\K\\");
  w.Enter(WindowState::Copying);
  w.Enter(WindowState::Done);
  EXPECT_EQ(w[ControlId::Label1], (Props{kFinished, true, true}));
  EXPECT_FALSE(w[ControlId::Text1].visible);
  EXPECT_FALSE(w[ControlId::Label3].text.empty());
  EXPECT_EQ(w[ControlId::Command1], (Props{L"OK", false, true}));
  EXPECT_EQ(w[ControlId::Command2], (Props{kExit, true, true}));
}

TEST(WindowStates, DoneChangesControlsInTheirFixedOrder) {
  std::vector<std::pair<ControlId, app::ControlChange::Kind>> order;
  for (const auto& c : app::ChangesForState(WindowState::Done, L"")) {
    if (c.kind != app::ControlChange::Kind::BringToTop) order.emplace_back(c.id, c.kind);
  }
  using K = app::ControlChange::Kind;
  const std::vector<std::pair<ControlId, K>> expected{
      {ControlId::Label1, K::Text},      {ControlId::Text1, K::Visible},
      {ControlId::Label3, K::Text},      {ControlId::Command2, K::Enabled},
      {ControlId::Command2, K::Text},    {ControlId::Command1, K::Enabled}};
  EXPECT_EQ(order, expected);
}

}  // namespace
