// Framing of "wal.log", shared by the writer and the replay. The file is a
// plain run of records with no header, trailer or checksum:
//   u32 body length L, then L bytes of body.
// The body is one log entry in the record encoding:
//   Add    (variant 0): u32 0, u64 id, u64 n, n f32, payload option (tag byte,
//                       then u64 length + compact JSON text), sparse option
//                       (tag byte, then u64 length + an encoded sparse vector)
//   Delete (variant 1): u32 1, u64 id
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra::wal {

inline constexpr char kLogFile[] = "wal.log";
inline constexpr char kLogTmpFile[] = "wal.log.tmp";

inline constexpr uint32_t kAddVariant = 0;
inline constexpr uint32_t kDeleteVariant = 1;

// A length above this ends the replay: it can only be damage.
inline constexpr uint64_t kMaxBodySize = 0x10000000;  // 256 MiB

inline constexpr size_t kLengthSize = 4;
inline constexpr size_t kDeleteBodySize = 12;
// Variant, id and vector count of an Add, before the floats.
inline constexpr size_t kAddHeadSize = 20;

// While decoding, a declared count never reserves more than this ahead of the
// elements actually present.
inline constexpr size_t kMaxReserveFloats = 262144;
inline constexpr size_t kMaxReserveBytes = 1048576;

// Body length of an Add: 20 + 4n, then 9 + m for a payload of m bytes (1 when
// absent), then 9 + s for a sparse vector of s bytes (1 when absent).
inline constexpr uint64_t add_body_size(uint64_t floats, const uint64_t* payload_bytes,
                                        const uint64_t* sparse_bytes) {
  return kAddHeadSize + 4 * floats + (payload_bytes ? 9 + *payload_bytes : 1) +
         (sparse_bytes ? 9 + *sparse_bytes : 1);
}

}  // namespace kovra::wal
