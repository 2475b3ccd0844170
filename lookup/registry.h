// What the uninstall entry lookup needs from the registry. The regedit module implements it
// with the registry functions of advapi32; tests replace it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lookup {

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr long kStatusSuccess = 0;

struct ValueInfo {
  long status = 0;
  std::uint32_t type = 0;
  std::int32_t size = 0;  // bytes, terminating NUL included
};

class OpenedKey {
 public:
  virtual ~OpenedKey() = default;  // closes the key
  // Type and byte size of a value, without its data.
  virtual ValueInfo QueryValueInfo(const std::string& name) = 0;
  // Reads the value's bytes into buffer (its size is the capacity); size is in/out.
  virtual long ReadValue(const std::string& name, std::string& buffer, std::int32_t& size) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens a key under HKEY_LOCAL_MACHINE. On failure status is non-zero and the result null.
  virtual std::unique_ptr<OpenedKey> OpenLocalMachineKey(const std::string& path,
                                                         std::uint32_t access, long& status) = 0;
};

}  // namespace lookup
