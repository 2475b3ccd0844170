// Creates the window's fonts, choosing the first preferred face that this system has.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "app/form_layout.h"
#include "common/scoped_handle.h"

namespace app {

// The first face of the list that is installed with the Shift-JIS character set; empty if none.
// Asking for a face by name is not enough: the font mapper silently substitutes another.
std::wstring ChooseInstalledFace(const wchar_t* const* faces);

// The font for a role at the screen's DPI; the system's message font for FontRole::Dialog, or
// the labels' face at its size where that font has no glyphs for the buttons' Japanese.
common::ScopedFont CreateRoleFont(const FontSpec& role_font, int dpi);

// How many visible characters of the text the font itself has no glyph for (drawn as boxes).
size_t CountUnshown(HFONT font, const std::wstring& text);

// A font like the given one (size, weight) in the installed Japanese face the window's labels
// use, where that face shows more of the text; otherwise an empty handle.
common::ScopedFont JapaneseFontInstead(HFONT font, const std::wstring& text);

}  // namespace app
