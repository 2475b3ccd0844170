#include "app/fonts.h"

#include <cwchar>
#include <utility>

#include "app/texts.h"

namespace app {
namespace {

int CALLBACK NoteFaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;  // one match is enough
}

bool IsFaceInstalled(const wchar_t* face) {
  LOGFONTW query{};
  query.lfCharSet = SHIFTJIS_CHARSET;
  wcsncpy(query.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  const common::ScopedDc screen = common::GetWindowDc(nullptr);
  EnumFontFamiliesExW(screen.get(), &query, NoteFaceFound, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

bool IsVisible(wchar_t c) { return c > L' ' && c != 0x3000; }

}  // namespace

std::wstring ChooseInstalledFace(const wchar_t* const* faces) {
  for (; *faces; ++faces) {
    if (IsFaceInstalled(*faces)) return *faces;
  }
  return {};
}

common::ScopedFont CreateRoleFont(const FontSpec& role_font, int dpi) {
  LOGFONTW font{};
  if (role_font.role == FontRole::Dialog) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return {};
    common::ScopedFont message(CreateFontIndirectW(&metrics.lfMessageFont));
    // 終了 is the only Japanese a button shows; Wine 10's message font draws it as two boxes.
    common::ScopedFont japanese = JapaneseFontInstead(message.get(), kExitCaption);
    return japanese.valid() ? std::move(japanese) : std::move(message);
  }
  font.lfHeight = FontHeightForDpi(role_font.centipoints, dpi);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = SHIFTJIS_CHARSET;
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  const std::wstring face = ChooseInstalledFace(role_font.faces);
  // With none of ours installed, the first name still lets the mapper pick a Japanese face.
  wcsncpy(font.lfFaceName, face.empty() ? role_font.faces[0] : face.c_str(), LF_FACESIZE - 1);
  return common::ScopedFont(CreateFontIndirectW(&font));
}

size_t CountUnshown(HFONT font, const std::wstring& text) {
  if (text.empty()) return 0;
  const common::ScopedDc screen = common::GetWindowDc(nullptr);
  const HGDIOBJ previous = SelectObject(screen.get(), font);
  std::wstring glyphs(text.size(), L'\0');
  const DWORD done = GetGlyphIndicesW(screen.get(), text.c_str(), static_cast<int>(text.size()),
                                      reinterpret_cast<WORD*>(glyphs.data()), GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(screen.get(), previous);
  if (done == GDI_ERROR) return 0;  // nothing known: the font stays as it is
  size_t unshown = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsVisible(text[i]) && glyphs[i] == 0xFFFF) ++unshown;
  }
  return unshown;
}

common::ScopedFont JapaneseFontInstead(HFONT font, const std::wstring& text) {
  LOGFONTW like{};
  if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  const size_t unshown = CountUnshown(font, text);
  if (unshown == 0 || GetObjectW(font, sizeof(like), &like) != sizeof(like)) return {};
  const std::wstring face = ChooseInstalledFace(FindFont(FontRole::Body).faces);
  if (face.empty()) return {};
  wcsncpy(like.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  like.lfCharSet = SHIFTJIS_CHARSET;
  common::ScopedFont japanese(CreateFontIndirectW(&like));
  if (!japanese.valid() || CountUnshown(japanese.get(), text) >= unshown) return {};
  return japanese;
}

}  // namespace app
