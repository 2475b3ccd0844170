#include "lookup/uninstall_lookup.h"

#include <algorithm>

namespace lookup {
namespace {

constexpr std::size_t kLeadingCut = 1;
constexpr std::size_t kTrailingCut = 16;

// The value's text as bytes, or nothing when the registry gave no usable string.
std::optional<std::string> ReadUninstallCommand(Registry& registry, std::int32_t& valueSize) {
  long status = 0;
  std::unique_ptr<OpenedKey> key =
      registry.OpenLocalMachineKey(kUninstallKeyPath, kUninstallKeyAccess, status);
  if (status != kStatusSuccess || !key) return std::nullopt;

  const ValueInfo info = key->QueryValueInfo(kUninstallValueName);
  valueSize = info.size;
  if (info.status != kStatusSuccess || info.type != kRegSz || valueSize <= 0) return std::nullopt;

  std::string buffer(static_cast<std::size_t>(valueSize), ' ');
  // A failed read (the value changed size or went away since the size query) would otherwise
  // leave a buffer of spaces to be taken for the folder.
  if (key->ReadValue(kUninstallValueName, buffer, valueSize) != kStatusSuccess) return std::nullopt;
  if (valueSize <= 0) return std::nullopt;

  // The last counted byte is the terminator; cut in bytes, before decoding.
  const std::size_t keep = std::min(static_cast<std::size_t>(valueSize) - 1, buffer.size());
  buffer.resize(keep);
  return buffer;
}

}  // namespace

std::optional<std::wstring> TrimUninstallCommand(std::wstring_view command) {
  if (command.size() <= kLeadingCut + kTrailingCut) return std::nullopt;
  return std::wstring(command.substr(kLeadingCut, command.size() - kLeadingCut - kTrailingCut));
}

bool UninstallEntryLookup(Registry& registry, const AnsiDecoder& decode, std::wstring& installDir,
                          std::int32_t& valueSize) {
  installDir.clear();
  const std::optional<std::string> command = ReadUninstallCommand(registry, valueSize);
  if (!command) return false;
  std::optional<std::wstring> folder = TrimUninstallCommand(decode(*command));
  if (!folder) return false;
  installDir = std::move(*folder);
  return true;
}

}  // namespace lookup
