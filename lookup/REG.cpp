#include "lookup/REG.h"

#include <algorithm>

namespace regedit {
namespace {

class AnsiKey : public lookup::OpenedKey {
 public:
  explicit AnsiKey(HKEY key) : key_(key) {}

  lookup::ValueInfo QueryValueInfo(const std::string& name) override {
    DWORD type = 0;
    DWORD size = 0;
    const LONG status = RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type, nullptr, &size);
    return {status, type, static_cast<std::int32_t>(size)};
  }

  long ReadValue(const std::string& name, std::string& buffer, std::int32_t& size) override {
    DWORD type = 0;
    // Never let the registry write past the buffer, whatever size is asked for.
    DWORD in_out = static_cast<DWORD>(
        std::min<std::size_t>(static_cast<std::uint32_t>(size), buffer.size()));
    const LONG status = RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &in_out);
    size = static_cast<std::int32_t>(in_out);
    return status;
  }

 private:
  ScopedKey key_;
};

}  // namespace

std::wstring DecodeAnsi(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.data(), needed);
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
