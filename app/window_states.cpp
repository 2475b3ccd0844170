#include "app/window_states.h"

#include "app/texts.h"

namespace app {
namespace {

using Kind = ControlChange::Kind;

ControlChange SetText(ControlId id, std::wstring text) { return {id, Kind::Text, std::move(text)}; }
ControlChange SetEnabled(ControlId id, bool on) { return {id, Kind::Enabled, {}, on}; }
ControlChange SetVisible(ControlId id, bool on) { return {id, Kind::Visible, {}, on}; }

}  // namespace

std::vector<ControlChange> ChangesForState(WindowState state, const std::wstring& install_dir) {
  switch (state) {
    case WindowState::Found:
      return {SetText(ControlId::Label1, kFoundMessage),
              SetEnabled(ControlId::Command1, true),
              SetText(ControlId::Label2, kHeading),
              SetText(ControlId::Text1, install_dir)};
    case WindowState::NotFound:
      return {SetText(ControlId::Label1, kNotFoundMessage),
              SetEnabled(ControlId::Text1, false),
              SetEnabled(ControlId::Command1, false),
              SetText(ControlId::Command2, kExitCaption),
              SetText(ControlId::Label2, kHeading),
              SetText(ControlId::Text1, install_dir)};
    case WindowState::Copying:
      return {SetEnabled(ControlId::Command1, false),
              SetEnabled(ControlId::Command2, false)};
    case WindowState::Done:
      // Label3 goes above Label1 here: Label1 is opaque and its lower band would hide the
      // closing note's first line. Before Done Label3 is empty and stays below.
      return {SetText(ControlId::Label1, kFinishedMessage),
              SetVisible(ControlId::Text1, false),
              SetText(ControlId::Label3, kClosingNote),
              {ControlId::Label3, Kind::BringToTop, {}, false},
              SetEnabled(ControlId::Command2, true),
              SetText(ControlId::Command2, kExitCaption),
              SetEnabled(ControlId::Command1, false)};
  }
  return {};
}

}  // namespace app
