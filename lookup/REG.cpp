#include "lookup/REG.h"

#include <algorithm>
#include <vector>

#include "common/scoped_handle.h"

namespace regedit {
namespace {

constexpr UINT kJapaneseCodePage = 932;

// Where the system's own ANSI conversion already is Japanese (or no other is to be had), the
// ANSI functions are used as they are.
bool SystemReadsAsJapanese() { return GetACP() == kJapaneseCodePage || !IsValidCodePage(kJapaneseCodePage); }

UINT JapaneseOrSystemCodePage() { return IsValidCodePage(kJapaneseCodePage) ? kJapaneseCodePage : CP_ACP; }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// A value as RegQueryValueExA returns it on a Japanese system: strings in code page 932 bytes,
// their terminator included when it is stored; other types as stored.
struct JapaneseValue {
  LONG status = ERROR_SUCCESS;
  DWORD type = 0;
  std::string bytes;
};

JapaneseValue ReadAsJapanese(HKEY key, const std::string& name) {
  const std::wstring wide_name = Widen(name);
  JapaneseValue value;
  std::vector<BYTE> data;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    value.status = RegQueryValueExW(key, wide_name.c_str(), nullptr, &value.type,
                                    data.empty() ? nullptr : data.data(), &size);
    // The first call only asks the size; the value may grow between the calls.
    if ((value.status == ERROR_SUCCESS && !data.empty()) ||
        (value.status != ERROR_SUCCESS && value.status != ERROR_MORE_DATA)) {
      data.resize(std::min<std::size_t>(size, data.size()));
      break;
    }
    data.resize(std::max<DWORD>(size, 1) + 2);
  }
  if (value.status != ERROR_SUCCESS) return value;
  if (!IsStringType(value.type)) {
    value.bytes.assign(data.begin(), data.end());
    return value;
  }
  const int chars = static_cast<int>(data.size() / sizeof(wchar_t));
  if (chars == 0) return value;
  std::wstring text(static_cast<std::size_t>(chars), L'\0');
  std::copy_n(data.data(), static_cast<std::size_t>(chars) * sizeof(wchar_t),
              reinterpret_cast<BYTE*>(text.data()));
  const int length = WideCharToMultiByte(kJapaneseCodePage, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
  value.bytes.resize(static_cast<std::size_t>(length));
  WideCharToMultiByte(kJapaneseCodePage, 0, text.data(), chars, value.bytes.data(), length, nullptr, nullptr);
  return value;
}

class AnsiKey : public lookup::OpenedKey {
 public:
  explicit AnsiKey(HKEY key) : key_(key) {}

  lookup::ValueInfo QueryValueInfo(const std::string& name) override {
    if (!SystemReadsAsJapanese()) {
      const JapaneseValue value = ReadAsJapanese(key_.get(), name);
      return {value.status, value.type, static_cast<std::int32_t>(value.bytes.size())};
    }
    DWORD type = 0;
    DWORD size = 0;
    const LONG status = RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type, nullptr, &size);
    return {status, type, static_cast<std::int32_t>(size)};
  }

  long ReadValue(const std::string& name, std::string& buffer, std::int32_t& size) override {
    // Never let the registry write past the buffer, whatever size is asked for.
    const std::size_t capacity = std::min<std::size_t>(static_cast<std::uint32_t>(size), buffer.size());
    if (!SystemReadsAsJapanese()) {
      const JapaneseValue value = ReadAsJapanese(key_.get(), name);
      if (value.status != ERROR_SUCCESS) return value.status;
      size = static_cast<std::int32_t>(value.bytes.size());
      if (value.bytes.size() > capacity) return ERROR_MORE_DATA;
      std::copy(value.bytes.begin(), value.bytes.end(), buffer.begin());
      return ERROR_SUCCESS;
    }
    DWORD type = 0;
    DWORD in_out = static_cast<DWORD>(capacity);
    const LONG status = RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &in_out);
    size = static_cast<std::int32_t>(in_out);
    return status;
  }

 private:
  common::ScopedKey key_;
};

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

std::unique_ptr<lookup::OpenedKey> AnsiRegistry::OpenLocalMachineKey(const std::string& path,
                                                                     std::uint32_t access,
                                                                     long& status) {
  HKEY key = nullptr;
  status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
  if (status != ERROR_SUCCESS) return nullptr;
  return std::make_unique<AnsiKey>(key);
}

}  // namespace regedit
