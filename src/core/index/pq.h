// Product quantizer: a vector is cut into `m` equal sub-vectors, each replaced
// by the one-byte index of its nearest centroid in that sub-space's codebook of
// `k_sub` centroids. Distances to a query are estimated from a per-query table
// of sub-distances (the query stays exact). Always squared Euclidean, whatever
// metric the owning index uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/io/codec.h"

namespace kovra {

struct PqConfig {
  uint64_t m = 8;         // sub-quantizers (sub-spaces); must divide the dimensions
  uint64_t k_sub = 256;   // centroids per sub-space, 1 to 256 (codes are one byte)
  uint64_t max_iter = 25; // k-means iteration bound per sub-space
  bool operator==(const PqConfig&) const = default;
};

// Rejects what would make training impossible or codes unrepresentable: m = 0,
// `dimensions` not divisible by m, k_sub = 0 or above 256.
Status validate_pq_config(uint64_t dimensions, const PqConfig& config);

namespace pq_kernels {
// out[c] = squared L2 distance between `x` (d floats) and centroid c, for c in
// [0, kp), with the centroids stored transposed: ct[j * kp + c]; kp is a
// multiple of 8. Terms are added in coordinate order from 0.
void l2_to_many_scalar(const float* x, const float* ct, size_t d, size_t kp, float* out);
// Same order with fused multiply-adds; callable only after cpu::has_avx2_fma().
void l2_to_many_avx2(const float* x, const float* ct, size_t d, size_t kp, float* out);
}  // namespace pq_kernels

class ProductQuantizer {
 public:
  ProductQuantizer() = default;

  // Trains on `n` vectors of `dims` floats (row-major in `vectors`). Per
  // sub-space: a fresh random sample of min(n, k_sub) initial centroids, Lloyd
  // rounds under squared L2 pair by pair, then zero centroids pad the codebook
  // to exactly k_sub.
  static Result<ProductQuantizer> train(const float* vectors, size_t n, size_t dims,
                                        const PqConfig& config);
  // Rebuilds from stored fields; they must agree (codebooks = m * k_sub * d_sub
  // floats, 1 <= k_sub <= 256).
  static Result<ProductQuantizer> from_parts(uint64_t m, uint64_t k_sub, uint64_t d_sub,
                                             std::vector<float> codebooks);

  size_t m() const { return m_; }
  size_t k_sub() const { return k_sub_; }
  size_t d_sub() const { return d_sub_; }
  size_t dimensions() const { return m_ * d_sub_; }
  const std::vector<float>& codebooks() const { return codebooks_; }

  // Writes m codes for a vector of m * d_sub floats; ties go to the lowest
  // centroid index.
  void encode(const float* vector, uint8_t* codes) const;
  std::vector<uint8_t> encode(std::span<const float> vector) const;
  // table[s * k_sub + c] = squared L2 between sub-vector s of `query` and
  // centroid c of sub-space s; `table` holds m * k_sub floats.
  void distance_table(const float* query, float* table) const;
  std::vector<float> distance_table(std::span<const float> query) const;
  // Sum over s of table[s * k_sub + codes[s]], in sub-space order from 0.
  float adc_distance(const float* table, const uint8_t* codes) const {
    float sum = 0.0f;
    for (size_t s = 0; s < m_; ++s) sum += table[s * k_sub_ + codes[s]];
    return sum;
  }

  void encode_to(io::Encoder& enc) const;
  static Result<ProductQuantizer> decode_from(io::Decoder& dec);

 private:
  void build_transposed();
  // Distances from sub-vector `x` of sub-space s to all padded centroids.
  void sub_distances(size_t s, const float* x, float* out) const;

  size_t m_ = 0;
  size_t k_sub_ = 0;
  size_t d_sub_ = 0;
  std::vector<float> codebooks_;  // m * k_sub * d_sub; centroid c of s at ((s*k_sub)+c)*d_sub
  // Derived, not stored: per sub-space the codebook transposed to d_sub rows of
  // k_pad floats (k_sub rounded up to 8, zero padded) for the batched kernel.
  size_t k_pad_ = 0;
  std::vector<float> transposed_;
  bool use_avx2_ = false;
};

}  // namespace kovra
