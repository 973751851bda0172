// A streaming 64-bit hash (the xxHash64 construction): bytes may arrive in
// pieces of any size and the digest equals that of the whole run. Used to
// tell whether a file still begins with the bytes a checkpoint was taken
// after, and whether a checkpoint's own bytes are intact; it is a check
// against damage and mix-ups, not against an adversary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kovra::io {

class StreamHash {
 public:
  void update(const void* data, size_t size);
  void update(std::span<const uint8_t> bytes) { update(bytes.data(), bytes.size()); }
  // The digest of every byte so far; the state is left as it is.
  uint64_t digest() const;
  uint64_t length() const { return length_; }

  // The digest of one run of bytes.
  static uint64_t of(std::span<const uint8_t> bytes) {
    StreamHash h;
    h.update(bytes);
    return h.digest();
  }

 private:
  static constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
  static constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
  uint64_t lanes_[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  uint8_t pending_[32] = {};  // bytes of an incomplete 32-byte stripe
  size_t pending_size_ = 0;
  uint64_t length_ = 0;
};

}  // namespace kovra::io
