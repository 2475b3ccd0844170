#include "install/own_names.h"

#include <string_view>

namespace install {
namespace {

constexpr std::size_t Length(const wchar_t* text) { return std::char_traits<wchar_t>::length(text); }
static_assert(kLongestSpareSuffix >= Length(kStagedSuffix) && kLongestSpareSuffix >= Length(kKeptSuffix) &&
              kLongestSpareSuffix == Length(kAsideSuffix) + 1 && kAsideNames <= 9);
static_assert(kLongestOwnName == Length(kJournalName) + Length(kKeptSuffix) && kLongestOwnName >= Length(kLockName));

bool EndsWith(std::wstring_view name, std::wstring_view end) {
  return name.size() >= end.size() && name.substr(name.size() - end.size()) == end;
}

}  // namespace

std::wstring Aside(const std::wstring& name, int n) {
  return name + kAsideSuffix + (n == 1 ? L"" : std::wstring(1, static_cast<wchar_t>(L'0' + n)));
}

bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) return false;
  }
  return true;
}

// NAME.setup-bak, or with a digit 2 to 9.
bool IsAsideName(const std::wstring& name) {
  const std::wstring_view suffix = kAsideSuffix;
  if (EndsWith(name, suffix)) return name.size() > suffix.size();
  const std::wstring_view stem = std::wstring_view(name).substr(0, name.empty() ? 0 : name.size() - 1);
  return name.size() > suffix.size() + 1 && name.back() >= L'2' && name.back() <= L'0' + kAsideNames &&
         EndsWith(stem, suffix);
}

bool IsOwnName(const std::wstring& name) {
  return EndsWith(name, kStagedSuffix) || EndsWith(name, kKeptSuffix) || IsAsideName(name) || name == kJournalName ||
         name == kLockName;
}

}  // namespace install
