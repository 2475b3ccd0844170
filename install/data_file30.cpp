#include "data_file30.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace install {
namespace {

constexpr std::string_view kDelimiters = ",\r\n";
constexpr std::string_view kBlanks = " \t";

bool IsBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }

// True if the field, written bare, would not read back as itself.
bool NeedsQuotes(std::string_view field) {
  if (field.empty()) return false;
  return field.find_first_of(kDelimiters) != std::string_view::npos || field.front() == '"' || IsBlank(field.front()) ||
         IsBlank(field.back());
}

}  // namespace

// A zero-sized buffer would make every Read look like the end of the file.
FieldReader::FieldReader(ByteSource& source, std::size_t chunk_size)
    : source_(source), buffer_(std::max<std::size_t>(chunk_size, 1)) {}

std::optional<std::string> FieldReader::ReadField() {
  SkipBlanks();
  int first = Peek();
  if (first == kEnd) return std::nullopt;

  std::string field;
  if (first == '"') {
    ++pos_;
    // An unterminated quote runs to the end of the file.
    if (ScanUntil("\"", &field)) {
      ++pos_;
      ScanUntil(kDelimiters, nullptr);  // text after the closing quote is dropped
      SkipDelimiter();
    }
    return field;
  }

  ScanUntil(kDelimiters, &field);
  SkipDelimiter();
  field.erase(field.find_last_not_of(kBlanks) + 1);
  return field;
}

bool FieldReader::Fill() {
  if (pos_ < end_) return true;
  if (at_end_) return false;
  end_ = source_.Read(buffer_.data(), buffer_.size());
  pos_ = 0;
  at_end_ = end_ == 0;
  return !at_end_;
}

int FieldReader::Peek() { return Fill() ? static_cast<unsigned char>(buffer_[pos_]) : kEnd; }

// Moves to the first byte of `stops`, appending what it passes to `out` unless it is null. Returns
// false if the file ends first.
bool FieldReader::ScanUntil(std::string_view stops, std::string* out) {
  while (Fill()) {
    std::string_view window(buffer_.data() + pos_, end_ - pos_);
    std::size_t stop = window.find_first_of(stops);
    if (out) out->append(window.substr(0, stop));
    if (stop != std::string_view::npos) {
      pos_ += stop;
      return true;
    }
    pos_ = end_;
  }
  return false;
}

void FieldReader::SkipBlanks() {
  for (int c = Peek(); c == ' ' || c == '\t'; c = Peek()) ++pos_;
}

// Consumes one comma or line end (CR LF, lone CR or lone LF) if one is next.
void FieldReader::SkipDelimiter() {
  int c = Peek();
  if (c == ',' || c == '\n') {
    ++pos_;
  } else if (c == '\r') {
    ++pos_;
    if (Peek() == '\n') ++pos_;
  }
}

std::optional<std::vector<std::string>> ReadFields(ByteSource& source, std::size_t count, std::size_t chunk_size) {
  FieldReader reader(source, chunk_size);
  std::vector<std::string> fields;
  fields.reserve(count);
  while (fields.size() < count) {
    std::optional<std::string> field = reader.ReadField();
    if (!field) return std::nullopt;
    fields.push_back(std::move(*field));
  }
  return fields;
}

std::string WriteLines(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& field = fields[i];
    if (!NeedsQuotes(field)) {
      out += field;
    } else if (field.find('"') == std::string::npos) {
      out += '"';
      out += field;
      out += '"';
    } else {
      throw std::invalid_argument("field " + std::to_string(i + 1) + " needs quotes but holds a double quote");
    }
    out += "\r\n";
  }
  return out;
}

void RewriteProductCode(std::vector<std::string>& fields) { fields.at(kProductCodeField - 1) = kProductCode; }

std::optional<std::string> RewriteDataFile(ByteSource& source) {
  std::optional<std::vector<std::string>> fields = ReadFields(source, kFieldCount);
  if (!fields) return std::nullopt;
  RewriteProductCode(*fields);
  return WriteLines(*fields);
}

}  // namespace install
