#include "lookup/uninstall_lookup.h"

#include <utility>

namespace lookup {
namespace {

constexpr std::size_t kLeadingCut = 1;
constexpr std::size_t kTrailingCut = 16;

// The value's text as bytes, or nothing when the registry gave no usable string.
std::optional<std::string> ReadUninstallCommand(const ValueReader& read, std::int32_t& valueSize) {
  RegistryValue value = read(kUninstallKeyPath, kUninstallValueName, kUninstallKeyAccess);
  valueSize = static_cast<std::int32_t>(value.bytes.size());
  if (value.status != kStatusSuccess || value.type != kRegSz || value.bytes.empty()) return std::nullopt;
  // The last counted byte is the terminator; cut in bytes, before decoding.
  value.bytes.pop_back();
  return std::move(value.bytes);
}

}  // namespace

std::optional<std::wstring> TrimUninstallCommand(std::wstring_view command) {
  if (command.size() <= kLeadingCut + kTrailingCut) return std::nullopt;
  return std::wstring(command.substr(kLeadingCut, command.size() - kLeadingCut - kTrailingCut));
}

bool UninstallEntryLookup(const ValueReader& read, const AnsiDecoder& decode, std::wstring& installDir,
                          std::int32_t& valueSize) {
  installDir.clear();
  const std::optional<std::string> command = ReadUninstallCommand(read, valueSize);
  if (!command) return false;
  std::optional<std::wstring> folder = TrimUninstallCommand(decode(*command));
  if (!folder) return false;
  installDir = std::move(*folder);
  return true;
}

}  // namespace lookup
