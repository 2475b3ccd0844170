#include "lookup/REG.h"

#include <windows.h>

#include <cstring>

#include "common/scoped_handle.h"

namespace regedit {
namespace {

constexpr UINT kJapaneseCodePage = 932;

// Where the system's own ANSI conversion already is Japanese (or no other is to be had), the
// ANSI functions are used as they are.
bool SystemReadsAsJapanese() { return GetACP() == kJapaneseCodePage || !IsValidCodePage(kJapaneseCodePage); }

UINT JapaneseOrSystemCodePage() { return IsValidCodePage(kJapaneseCodePage) ? kJapaneseCodePage : CP_ACP; }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stored UTF-16 as a Japanese system's RegQueryValueExA gives it: the terminator converts with
// the text where it is stored, and an odd last byte is no character.
std::string ToJapanese(const std::string& utf16) {
  std::wstring text(utf16.size() / sizeof(wchar_t), L'\0');
  if (text.empty()) return {};
  std::memcpy(text.data(), utf16.data(), text.size() * sizeof(wchar_t));
  const int chars = static_cast<int>(text.size());
  const int length = WideCharToMultiByte(kJapaneseCodePage, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(kJapaneseCodePage, 0, text.data(), chars, bytes.data(), length, nullptr, nullptr);
  return bytes;
}

lookup::RegistryValue ReadValue(HKEY key, const std::string& name) {
  const bool ansi = SystemReadsAsJapanese();
  const std::wstring wide_name(name.begin(), name.end());
  lookup::RegistryValue value = lookup::ReadWholeValue([&](std::uint32_t& type, char* data, std::uint32_t& size) {
    DWORD got_type = 0;
    DWORD got_size = size;
    auto* buffer = reinterpret_cast<BYTE*>(data);
    const LONG status = ansi ? RegQueryValueExA(key, name.c_str(), nullptr, &got_type, buffer, &got_size)
                             : RegQueryValueExW(key, wide_name.c_str(), nullptr, &got_type, buffer, &got_size);
    type = got_type;
    size = got_size;
    return status;
  });
  if (!ansi && value.status == ERROR_SUCCESS && IsStringType(value.type)) value.bytes = ToJapanese(value.bytes);
  return value;
}

}  // namespace

std::wstring DecodeAnsi(std::string_view bytes) {
  if (bytes.empty()) return {};
  const UINT code_page = JapaneseOrSystemCodePage();
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), length, text.data(), needed);
  return text;
}

lookup::RegistryValue ReadLocalMachineValue(const std::string& path, const std::string& name,
                                            std::uint32_t access) {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
  if (status != ERROR_SUCCESS) return {status, 0, {}};
  const common::ScopedKey opened(key);
  return ReadValue(key, name);
}

}  // namespace regedit
