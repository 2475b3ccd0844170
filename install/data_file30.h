// Reads and rewrites the product's data\30.dat: delimited fields of code page 932 text, read the
// way BASIC's Input # reads them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/install_files.h"

namespace install {

inline constexpr std::size_t kFieldCount = 25;
inline constexpr std::size_t kProductCodeField = 7;  // 1-based
inline constexpr std::string_view kProductCode = "kolven10";

// Reads one field at a time, pulling chunks from the source only as needed. Works on bytes: no
// CP932 trail byte is a delimiter, so the text stays as it was.
class FieldReader {
 public:
  explicit FieldReader(ByteSource& source, std::size_t chunk_size = kCopyChunk);
  // Returns the next field, or nullopt when nothing is left before the end.
  std::optional<std::string> ReadField();

 private:
  static constexpr int kEnd = -1;

  bool Fill();
  int Peek();
  bool ScanUntil(std::string_view stops, std::string* out);
  void SkipBlanks();
  void SkipDelimiter();

  ByteSource& source_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
};

// Returns the first `count` fields, or nullopt if the file ends before them.
std::optional<std::vector<std::string>> ReadFields(ByteSource& source, std::size_t count,
                                                   std::size_t chunk_size = kCopyChunk);

// Returns the fields one per line, each ended by CR LF. A field is quoted only when it would not
// read back as itself bare. Throws std::invalid_argument for a field that needs quotes and holds
// a double quote, which no spelling can carry; ReadFields never returns such a field.
std::string WriteLines(const std::vector<std::string>& fields);

// Sets field kProductCodeField to kProductCode; throws std::out_of_range if there are fewer.
void RewriteProductCode(std::vector<std::string>& fields);

// Returns the new contents of 30.dat: its first kFieldCount fields with the product code set, or
// nullopt if the file has fewer fields.
std::optional<std::string> RewriteDataFile(ByteSource& source);

}  // namespace install
