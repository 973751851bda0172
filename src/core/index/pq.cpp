#include "core/index/pq.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "core/cpu.h"
#include "core/index/kmeans.h"

namespace kovra {

namespace {

constexpr uint64_t kMaxKSub = 256;  // codes are one byte

size_t round_up8(size_t k) { return (k + 7) / 8 * 8; }

// Transposes `k` centroids of `d` floats (row-major) to d rows of `kp` floats,
// zero padded past k.
void transpose_centroids(const float* centroids, size_t k, size_t d, size_t kp, float* out) {
  std::fill(out, out + d * kp, 0.0f);
  for (size_t c = 0; c < k; ++c) {
    for (size_t j = 0; j < d; ++j) out[j * kp + c] = centroids[c * d + j];
  }
}

using ManyFn = void (*)(const float*, const float*, size_t, size_t, float*);

ManyFn pick_many() {
  return cpu::has_avx2_fma() ? &pq_kernels::l2_to_many_avx2 : &pq_kernels::l2_to_many_scalar;
}

}  // namespace

namespace pq_kernels {
void l2_to_many_scalar(const float* x, const float* ct, size_t d, size_t kp, float* out) {
  std::fill(out, out + kp, 0.0f);
  for (size_t j = 0; j < d; ++j) {
    const float xj = x[j];
    const float* row = ct + j * kp;
    for (size_t c = 0; c < kp; ++c) {
      const float t = xj - row[c];
      out[c] += t * t;
    }
  }
}
}  // namespace pq_kernels

Status validate_pq_config(uint64_t dimensions, const PqConfig& config) {
  if (config.m == 0) return fail(Error::invalid_config("pq_m must be at least 1"));
  if (dimensions % config.m != 0) {
    return fail(Error::invalid_config("dimensions (" + std::to_string(dimensions) +
                                      ") must be divisible by m (" + std::to_string(config.m) + ")"));
  }
  if (config.k_sub == 0 || config.k_sub > kMaxKSub) {
    return fail(Error::invalid_config("pq_k_sub must be between 1 and 256, got " +
                                      std::to_string(config.k_sub)));
  }
  return ok();
}

Result<ProductQuantizer> ProductQuantizer::train(const float* vectors, size_t n, size_t dims,
                                                 const PqConfig& config) {
  if (n == 0) return fail(Error::invalid_config("cannot train PQ on empty set"));
  KOVRA_TRY(validate_pq_config(dims, config));

  ProductQuantizer pq;
  pq.m_ = config.m;
  pq.k_sub_ = config.k_sub;
  pq.d_sub_ = dims / config.m;
  const size_t d = pq.d_sub_;
  const size_t k = std::min<size_t>(n, config.k_sub);
  const size_t kp = round_up8(k);
  const ManyFn many = pick_many();
  pq.codebooks_.reserve(pq.m_ * pq.k_sub_ * d);

  std::vector<float> sub(n * d);
  std::vector<float> ct(d * kp);
  std::vector<float> dist(kp);
  // Pair-by-pair squared L2 with centroid 0 as the starting best; a NaN
  // distance to centroid 0 is never beaten.
  AssignFn assign = [&](const float* centroids, size_t kk, std::vector<size_t>& out) {
    transpose_centroids(centroids, kk, d, kp, ct.data());
    for (size_t i = 0; i < n; ++i) {
      many(sub.data() + i * d, ct.data(), d, kp, dist.data());
      out[i] = first_min_index(dist.data(), kk, dist[0]);
    }
  };
  for (size_t s = 0; s < pq.m_; ++s) {
    for (size_t i = 0; i < n && d > 0; ++i) {
      std::memcpy(sub.data() + i * d, vectors + i * dims + s * d, d * sizeof(float));
    }
    KMeansResult km = run_kmeans(sub.data(), n, d, k, config.max_iter, thread_rng(), assign);
    pq.codebooks_.insert(pq.codebooks_.end(), km.centroids.begin(), km.centroids.end());
    pq.codebooks_.resize(pq.codebooks_.size() + (pq.k_sub_ - k) * d, 0.0f);
  }
  pq.build_transposed();
  return pq;
}

Result<ProductQuantizer> ProductQuantizer::from_parts(uint64_t m, uint64_t k_sub, uint64_t d_sub,
                                                      std::vector<float> codebooks) {
  if (m == 0 || k_sub == 0 || k_sub > kMaxKSub) {
    return fail(Error::serialization("quantizer has m " + std::to_string(m) + " and k_sub " +
                                     std::to_string(k_sub) + ", expected m >= 1 and 1 <= k_sub <= 256"));
  }
  uint64_t want;
  if (__builtin_mul_overflow(m, k_sub, &want) || __builtin_mul_overflow(want, d_sub, &want) ||
      codebooks.size() != want) {
    return fail(Error::serialization("quantizer codebooks hold " + std::to_string(codebooks.size()) +
                                     " floats, expected m " + std::to_string(m) + " x k_sub " +
                                     std::to_string(k_sub) + " x d_sub " + std::to_string(d_sub)));
  }
  ProductQuantizer pq;
  pq.m_ = m;
  pq.k_sub_ = k_sub;
  pq.d_sub_ = d_sub;
  pq.codebooks_ = std::move(codebooks);
  pq.build_transposed();
  return pq;
}

void ProductQuantizer::build_transposed() {
  k_pad_ = round_up8(k_sub_);
  transposed_.assign(m_ * d_sub_ * k_pad_, 0.0f);
  // Zero-wide sub-spaces leave nothing to transpose, and their count is then
  // bounded by no codebook size (a stored m of 2^60 would be walked in full).
  for (size_t s = 0; d_sub_ != 0 && s < m_; ++s) {
    transpose_centroids(codebooks_.data() + s * k_sub_ * d_sub_, k_sub_, d_sub_, k_pad_,
                        transposed_.data() + s * d_sub_ * k_pad_);
  }
  use_avx2_ = cpu::has_avx2_fma();
}

void ProductQuantizer::sub_distances(size_t s, const float* x, float* out) const {
  const float* ct = transposed_.data() + s * d_sub_ * k_pad_;
  if (use_avx2_) {
    pq_kernels::l2_to_many_avx2(x, ct, d_sub_, k_pad_, out);
  } else {
    pq_kernels::l2_to_many_scalar(x, ct, d_sub_, k_pad_, out);
  }
}

void ProductQuantizer::encode(const float* vector, uint8_t* codes) const {
  float dist[kMaxKSub];
  for (size_t s = 0; s < m_; ++s) {
    sub_distances(s, vector + s * d_sub_, dist);
    codes[s] = static_cast<uint8_t>(
        first_min_index(dist, k_sub_, std::numeric_limits<float>::max()));
  }
}

std::vector<uint8_t> ProductQuantizer::encode(std::span<const float> vector) const {
  std::vector<uint8_t> codes(m_);
  encode(vector.data(), codes.data());
  return codes;
}

void ProductQuantizer::distance_table(const float* query, float* table) const {
  float dist[kMaxKSub];
  for (size_t s = 0; s < m_; ++s) {
    float* row = table + s * k_sub_;
    if (k_pad_ == k_sub_) {
      sub_distances(s, query + s * d_sub_, row);
    } else {
      sub_distances(s, query + s * d_sub_, dist);
      std::memcpy(row, dist, k_sub_ * sizeof(float));
    }
  }
}

std::vector<float> ProductQuantizer::distance_table(std::span<const float> query) const {
  std::vector<float> table(m_ * k_sub_);
  distance_table(query.data(), table.data());
  return table;
}

void ProductQuantizer::encode_to(io::Encoder& enc) const {
  enc.put_u64(m_);
  enc.put_u64(k_sub_);
  enc.put_u64(d_sub_);
  enc.put_array(codebooks_);
}

Result<ProductQuantizer> ProductQuantizer::decode_from(io::Decoder& dec) {
  KOVRA_ASSIGN_OR_RETURN(uint64_t m, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(uint64_t k_sub, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(uint64_t d_sub, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(std::vector<float> codebooks, dec.get_array<float>());
  return from_parts(m, k_sub, d_sub, std::move(codebooks));
}

}  // namespace kovra
