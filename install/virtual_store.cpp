#include "install/virtual_store.h"

#include <algorithm>

#include "install/own_names.h"

namespace install {
namespace {

wchar_t Folded(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring WithSeparator(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

bool IsOnADrive(const std::wstring& path) { return path.size() > 3 && path[1] == L':' && path[2] == L'\\'; }

bool IsUnder(const std::wstring& folder, const std::wstring& root) {
  return IsOnADrive(root) && folder.size() > root.size() &&
         std::equal(root.begin(), root.end(), folder.begin(),
                    [](wchar_t a, wchar_t b) { return Folded(a) == Folded(b); });
}

}  // namespace

std::optional<std::vector<std::wstring>> VirtualStoreNames(const std::wstring& folder,
                                                           const std::vector<std::wstring>& virtualized) {
  const std::wstring path = WithSeparator(folder);
  if (!IsOnADrive(path)) return std::nullopt;
  if (std::none_of(virtualized.begin(), virtualized.end(),
                   [&](const std::wstring& root) { return IsUnder(path, WithSeparator(root)); })) {
    return std::nullopt;
  }
  std::vector<std::wstring> names{L"AppData", L"Local", L"VirtualStore"};
  for (std::size_t from = 3, to; from < path.size(); from = to + 1) {
    to = path.find(L'\\', from);
    // An empty name, or one that leaves the folder, is no path Windows gives.
    const std::wstring name = path.substr(from, to - from);
    if (!IsPlainName(name)) return std::nullopt;
    names.push_back(name);
  }
  return names;
}

}  // namespace install
