// Bytes in memory as a file's contents, for the readers under test.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "install/install_files.h"

namespace install {

class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string_view bytes) : rest_(bytes) {}
  // It only views the bytes, so a temporary string would dangle.
  template <typename T, typename = std::enable_if_t<std::is_same_v<T, std::string>>>
  explicit StringSource(T&&) = delete;
  std::size_t Read(char* buf, std::size_t n) override {
    const std::size_t copied = rest_.copy(buf, n);
    rest_.remove_prefix(copied);
    return copied;
  }

 private:
  std::string_view rest_;
};

}  // namespace install
