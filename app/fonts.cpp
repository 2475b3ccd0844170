#include "app/fonts.h"

#include <cwchar>

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
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
      return common::ScopedFont(CreateFontIndirectW(&metrics.lfMessageFont));
    }
    return common::ScopedFont();
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

}  // namespace app
