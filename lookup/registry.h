// What the uninstall entry lookup asks of the registry: one value, as RegQueryValueExA gives it.
// The regedit module reads it through advapi32; tests replace it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lookup {

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr long kStatusSuccess = 0;
inline constexpr long kStatusMoreData = 234;  // ERROR_MORE_DATA
// A value that keeps changing size while it is read is given up after this many queries.
inline constexpr int kValueQueries = 5;

struct RegistryValue {
  long status = kStatusSuccess;  // the open's, where the key did not open
  std::uint32_t type = 0;
  // Strings in code page 932, their terminating NUL counted only where it is stored.
  std::string bytes;
};

// Opens HKEY_LOCAL_MACHINE\path with access, reads the value name and closes the key.
using ValueReader =
    std::function<RegistryValue(const std::string& path, const std::string& name, std::uint32_t access)>;

// The whole value through query(type, data, size), one RegQueryValueEx call: a null data asks
// only the type and size, size is in/out. The value may change size between asking and reading
// (ERROR_MORE_DATA gives the new size): it is read again, a bounded number of times.
template <typename Query>
RegistryValue ReadWholeValue(Query query) {
  RegistryValue value;
  std::uint32_t size = 0;
  char* data = nullptr;
  for (int call = 0; call < kValueQueries; ++call) {
    value.status = query(value.type, data, size);
    if (value.status == kStatusSuccess && (data || size == 0)) {
      value.bytes.resize(size);
      return value;
    }
    if (value.status != kStatusSuccess && value.status != kStatusMoreData) break;
    value.bytes.resize(size);
    data = value.bytes.data();
  }
  value.bytes.clear();
  return value;
}

}  // namespace lookup
