// Finds the product's install folder from the command its installer registered for uninstalling.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "lookup/registry.h"

namespace lookup {

inline constexpr char kUninstallKeyPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kolvenir100";
inline constexpr char kUninstallValueName[] = "UninstallString";
// KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY
// | KEY_CREATE_LINK: the product's own rights request, kept so the same accounts succeed.
inline constexpr std::uint32_t kUninstallKeyAccess = 0x3F;

// Converts the value's bytes (code page 932) to Unicode.
using AnsiDecoder = std::function<std::wstring(std::string_view)>;

// Cuts the folder out of the uninstall command: its first character (the opening quote) and
// its last 16 ("Uninstall01.exe" and the closing quote) go. Nothing when no folder remains.
std::optional<std::wstring> TrimUninstallCommand(std::wstring_view command);

// Reads the uninstall entry into installDir (left empty when not found) and valueSize (the
// bytes read, terminator included; 0 when none). Returns whether the product was found.
bool UninstallEntryLookup(const ValueReader& read, const AnsiDecoder& decode, std::wstring& installDir,
                          std::int32_t& valueSize);

}  // namespace lookup
