#include "core/io/hash.h"

#include <bit>
#include <cstring>

namespace kovra::io {
namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint64_t round(uint64_t acc, uint64_t input) {
  acc += input * kP2;
  acc = std::rotl(acc, 31);
  return acc * kP1;
}

uint64_t merge(uint64_t acc, uint64_t lane) {
  acc ^= round(0, lane);
  return acc * kP1 + kP4;
}

void stripe(uint64_t* lanes, const uint8_t* p) {
  lanes[0] = round(lanes[0], load64(p));
  lanes[1] = round(lanes[1], load64(p + 8));
  lanes[2] = round(lanes[2], load64(p + 16));
  lanes[3] = round(lanes[3], load64(p + 24));
}

}  // namespace

void StreamHash::update(const void* data, size_t size) {
  // An empty piece may come with no buffer at all (a null pointer), which
  // memcpy must not be handed.
  if (size == 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  length_ += size;
  if (pending_size_ > 0) {
    const size_t take = std::min(size, sizeof pending_ - pending_size_);
    std::memcpy(pending_ + pending_size_, p, take);
    pending_size_ += take;
    p += take;
    size -= take;
    if (pending_size_ < sizeof pending_) return;
    stripe(lanes_, pending_);
    pending_size_ = 0;
  }
  // Whole stripes straight from the input; the lanes stay in registers.
  uint64_t v[4] = {lanes_[0], lanes_[1], lanes_[2], lanes_[3]};
  for (; size >= 32; p += 32, size -= 32) stripe(v, p);
  std::memcpy(lanes_, v, sizeof v);
  if (size > 0) {
    std::memcpy(pending_, p, size);
    pending_size_ = size;
  }
}

uint64_t StreamHash::digest() const {
  uint64_t h;
  if (length_ >= 32) {
    h = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18);
    for (uint64_t lane : lanes_) h = merge(h, lane);
  } else {
    h = lanes_[2] + kP5;  // lane 2 starts at the seed, 0
  }
  h += length_;
  const uint8_t* p = pending_;
  size_t left = pending_size_;
  for (; left >= 8; p += 8, left -= 8) h = std::rotl(h ^ round(0, load64(p)), 27) * kP1 + kP4;
  if (left >= 4) {
    h = std::rotl(h ^ (uint64_t{load32(p)} * kP1), 23) * kP2 + kP3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) h = std::rotl(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

}  // namespace kovra::io
