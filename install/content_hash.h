// Contents as one number, fed as they pass: enough, with the size beside it, to tell two versions
// of a file apart without keeping either.
#pragma once

#include <cstddef>
#include <cstdint>

namespace install {

// XXH64 (seed 0), which takes 32 bytes a step: hashing a copy as it passes costs little beside the
// copy itself, where a byte at a time cost as much as the copy.
class ContentHash {
 public:
  void Add(const char* data, std::size_t size);
  std::uint64_t hash() const;
  std::uint64_t size() const { return size_; }

 private:
  std::uint64_t lanes_[4] = {0x60ea27eeadc0b5d6ull, 0xc2b2ae3d27d4eb4full, 0, 0x61c8864e7a143579ull};
  unsigned char pending_[32] = {};
  std::size_t pending_size_ = 0;
  std::uint64_t size_ = 0;
};

// FNV-1a, a byte at a time: what records of versions 3 and 4 mark the new files with.
class OldContentHash {
 public:
  void Add(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    size_ += size;
  }
  std::uint64_t hash() const { return hash_; }
  std::uint64_t size() const { return size_; }

 private:
  std::uint64_t hash_ = 14695981039346656037ull;
  std::uint64_t size_ = 0;
};

}  // namespace install
