#include "install/content_hash.h"

#include <cstring>

namespace install {
namespace {

constexpr std::uint64_t kP1 = 0x9e3779b185ebca87ull;
constexpr std::uint64_t kP2 = 0xc2b2ae3d27d4eb4full;
constexpr std::uint64_t kP3 = 0x165667b19e3779f9ull;
constexpr std::uint64_t kP4 = 0x85ebca77c2b2ae63ull;
constexpr std::uint64_t kP5 = 0x27d4eb2f165667c5ull;

std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Little-endian on every platform the program is built for.
std::uint64_t Read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint32_t Read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t Round(std::uint64_t lane, std::uint64_t input) { return Rotl(lane + input * kP2, 31) * kP1; }

// The lanes in registers across the stripes: through memory, each step waited on a store.
void Stripes(std::uint64_t (&lanes)[4], const unsigned char* p, std::size_t count) {
  std::uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
  for (; count; --count, p += 32) {
    a = Round(a, Read64(p));
    b = Round(b, Read64(p + 8));
    c = Round(c, Read64(p + 16));
    d = Round(d, Read64(p + 24));
  }
  lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
}

}  // namespace

void ContentHash::Add(const char* data, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  size_ += size;
  if (pending_size_) {
    const std::size_t take = size < sizeof pending_ - pending_size_ ? size : sizeof pending_ - pending_size_;
    std::memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    size -= take;
    if (pending_size_ < sizeof pending_) return;
    Stripes(lanes_, pending_, 1);
    pending_size_ = 0;
  }
  const std::size_t whole = size / sizeof pending_;
  Stripes(lanes_, p, whole);
  p += whole * sizeof pending_;
  size -= whole * sizeof pending_;
  std::memcpy(pending_, p, size);
  pending_size_ = size;
}

std::uint64_t ContentHash::hash() const {
  std::uint64_t h;
  if (size_ >= sizeof pending_) {
    h = Rotl(lanes_[0], 1) + Rotl(lanes_[1], 7) + Rotl(lanes_[2], 12) + Rotl(lanes_[3], 18);
    for (std::uint64_t lane : lanes_) h = (h ^ Round(0, lane)) * kP1 + kP4;
  } else {
    h = kP5;
  }
  h += size_;
  const unsigned char* p = pending_;
  std::size_t left = pending_size_;
  for (; left >= 8; p += 8, left -= 8) h = Rotl(h ^ Round(0, Read64(p)), 27) * kP1 + kP4;
  if (left >= 4) {
    h = Rotl(h ^ (Read32(p) * kP1), 23) * kP2 + kP3;
    p += 4;
    left -= 4;
  }
  for (; left; ++p, --left) h = Rotl(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  return h ^ (h >> 32);
}

}  // namespace install
