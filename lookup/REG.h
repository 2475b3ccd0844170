// regedit: the uninstall entry read through advapi32 as a Japanese system reads it.
//
// The value is taken as bytes of code page 932 (Shift-JIS), whatever this system's ANSI code
// page: a Japanese system gets them from RegQueryValueExA itself, any other from the stored
// Unicode text, converted to code page 932 the way RegQueryValueExA converts to its own.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "lookup/registry.h"

namespace regedit {

// Bytes of code page 932 as Unicode; bytes that do not decode are replaced the way the system
// replaces them.
std::wstring DecodeAnsi(std::string_view bytes);

class AnsiRegistry : public lookup::Registry {
 public:
  std::unique_ptr<lookup::OpenedKey> OpenLocalMachineKey(const std::string& path,
                                                         std::uint32_t access,
                                                         long& status) override;
};

}  // namespace regedit
