// Reading any bytes must not crash or hang, the read size must not change the
// result, and the 25 fields read must survive a write and a second read.
#include "install/data_file30.h"
#include "string_source.h"

#include <cstdint>
#include <cstdlib>

namespace {

using Fields = std::optional<std::vector<std::string>>;

Fields ReadAt(std::string_view bytes, std::size_t chunk_size) {
  install::StringSource source(bytes);
  return install::ReadFields(source, install::kFieldCount, chunk_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  Fields fields = ReadAt(input, install::kCopyChunk);
  if (ReadAt(input, 1) != fields || ReadAt(input, 3) != fields) std::abort();
  if (!fields) return 0;

  std::string written = install::WriteLines(*fields);
  if (ReadAt(written, install::kCopyChunk) != fields) std::abort();

  install::RewriteProductCode(*fields);
  std::string rewritten = install::WriteLines(*fields);
  if (ReadAt(rewritten, 1) != fields) std::abort();
  return 0;
}
