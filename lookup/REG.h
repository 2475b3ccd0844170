// regedit: the uninstall entry read through advapi32 as a Japanese system reads it.
//
// The value is taken as bytes of code page 932 (Shift-JIS), whatever this system's ANSI code
// page: a Japanese system gets them from RegQueryValueExA itself, any other from the stored
// Unicode text, converted to code page 932 the way RegQueryValueExA converts to its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lookup/registry.h"

namespace regedit {

// Bytes of code page 932 as Unicode; bytes that do not decode are replaced the way the system
// replaces them.
std::wstring DecodeAnsi(std::string_view bytes);

lookup::RegistryValue ReadLocalMachineValue(const std::string& path, const std::string& name,
                                            std::uint32_t access);

}  // namespace regedit
