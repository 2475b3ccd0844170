#include "install/virtual_store.h"

#include <algorithm>

namespace install {
namespace {

wchar_t Folded(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring WithSeparator(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

bool IsUnder(const std::wstring& folder, const std::wstring& root) {
  return root.size() > 3 && folder.size() > root.size() &&
         std::equal(root.begin(), root.end(), folder.begin(),
                    [](wchar_t a, wchar_t b) { return Folded(a) == Folded(b); });
}

}  // namespace

std::optional<std::wstring> VirtualStoreCopyOf(const std::wstring& folder, const VirtualStore& store) {
  const std::wstring path = WithSeparator(folder);
  const bool on_a_drive = path.size() > 3 && path[1] == L':' && path[2] == L'\\';
  if (!on_a_drive || store.folder.empty()) return std::nullopt;
  for (const std::wstring& root : store.roots) {
    if (IsUnder(path, WithSeparator(root))) return WithSeparator(store.folder) + path.substr(3);
  }
  return std::nullopt;
}

}  // namespace install
