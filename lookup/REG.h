// regedit: the registry through the ANSI functions of advapi32.dll.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "lookup/registry.h"

namespace regedit {

// Closes its key on every path.
class ScopedKey {
 public:
  ScopedKey() = default;
  explicit ScopedKey(HKEY key) : key_(key) {}
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() {
    if (key_) RegCloseKey(key_);  // status ignored: nothing useful to do with it
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Bytes in the system ANSI code page as Unicode; bytes that do not decode are replaced
// the way the system replaces them.
std::wstring DecodeAnsi(std::string_view bytes);

class AnsiRegistry : public lookup::Registry {
 public:
  std::unique_ptr<lookup::OpenedKey> OpenLocalMachineKey(const std::string& path,
                                                         std::uint32_t access,
                                                         long& status) override;
};

}  // namespace regedit
