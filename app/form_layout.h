// Form1 and its controls as data: geometry in twips, tab order, fonts, colours, initial content.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace app {

struct Rgb {
  std::uint8_t r, g, b;
  friend bool operator==(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
};

enum class ControlId : int {
  Label1 = 101,
  Label2 = 102,
  Label3 = 103,
  Text1 = 104,
  Command1 = 105,
  Command2 = 106,
};

enum class ControlKind { Label, TextBox, Button };

// Which font a control uses; the faces behind each are tried in order until one exists.
enum class FontRole { Heading, Body, Fixed, Dialog };

struct FontSpec {
  FontRole role;
  int centipoints;               // 9.75 pt is 975
  const wchar_t* const* faces;   // null-terminated preference list; empty for Dialog
};

struct ControlSpec {
  ControlId id;
  const wchar_t* name;
  ControlKind kind;
  int left, top, width, height;  // twips, relative to the client area
  int tab_index;
  const wchar_t* initial_text;
  bool initially_enabled;
  FontRole font;
  std::optional<Rgb> text_color;  // nullopt: the system's default
  std::optional<Rgb> back_color;
};

struct FormSpec {
  const wchar_t* caption;
  int client_width, client_height;  // twips
  Rgb back_color;
};

extern const FormSpec kForm1;
extern const std::array<ControlSpec, 6> kControls;

// Null for an id that is none of the form's controls.
const ControlSpec* FindControl(ControlId id);
const FontSpec& FindFont(FontRole role);

// Controls in tab order, which is also their stacking order from the top.
std::array<const ControlSpec*, 6> ControlsInTabOrder();

// Twips and points become pixels by the screen's real DPI, rounded to nearest.
int TwipsToPixels(int twips, int dpi);
// LOGFONT height (negative: character height) for a size in hundredths of a point.
int FontHeightForDpi(int centipoints, int dpi);

}  // namespace app
