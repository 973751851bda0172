// Single-thread sequential read bandwidth: the ceiling for an exact scan that
// streams every stored vector once per query.
//
// Reads a buffer again and again with 256-bit loads
// summed into eight independent accumulators (so the adds never limit the
// loop), best of several passes of each variant. Prints one line:
// "<GB/s> <bytes> <passes per variant>". By default the buffer (512 MiB) is far
// larger than any cache; given the size of an index's vectors instead, it
// measures what a scan over that working set can get, caches included.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// `prefetch` > 0 also asks for the line that many bytes ahead: on some
// processors the hardware prefetcher alone does not keep enough reads in flight.
__attribute__((target("avx2"))) float read_all(const float* p, size_t n, size_t prefetch) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  const size_t ahead = prefetch / sizeof(float);
  for (size_t i = 0; i + 64 <= n; i += 64) {
    if (ahead) {
      _mm_prefetch(reinterpret_cast<const char*>(p + i + ahead), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p + i + ahead + 16), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p + i + ahead + 32), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p + i + ahead + 48), _MM_HINT_T0);
    }
    for (int j = 0; j < 8; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_load_ps(p + i + 8 * j));
  }
  for (int j = 1; j < 8; ++j) acc[0] = _mm256_add_ps(acc[0], acc[j]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc[0]);
  float s = 0.0f;
  for (float x : lanes) s += x;
  return s;
}

float read_all_scalar(const float* p, size_t n) {
  float s[8] = {};
  for (size_t i = 0; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) s[j] += p[i + j];
  return s[0] + s[1] + s[2] + s[3] + s[4] + s[5] + s[6] + s[7];
}

}  // namespace

int main(int argc, char** argv) {
  // Buffer size in bytes (rounded up to whole 256-byte blocks) and passes per
  // variant; small buffers get more passes so the best one is not a timer tick.
  size_t bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : size_t{512} << 20;
  bytes = std::max<size_t>((bytes + 255) / 256 * 256, 256);
  int passes = argc > 2 ? std::atoi(argv[2])
                        : static_cast<int>(std::clamp<size_t>((size_t{4} << 30) / bytes, 7, 5000));
  size_t n = bytes / sizeof(float);
  auto* raw = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (raw == nullptr) {
    std::fprintf(stderr, "cannot allocate %zu bytes\n", bytes);
    return 1;
  }
  std::unique_ptr<float, decltype(&std::free)> buf(raw, &std::free);
  // Touch every page with non-zero data so the reads hit real memory.
  for (size_t i = 0; i < n; ++i) raw[i] = static_cast<float>(i & 7);

  bool avx2 = __builtin_cpu_supports("avx2");
  double best = 1e30;
  volatile float sink = 0.0f;
  // Plain loads, then prefetching 1 KiB and 4 KiB ahead; the fastest pass of
  // any variant is the bandwidth. Prefetches past the end are harmless hints.
  for (size_t prefetch : {0, 1024, 4096}) {
    if (!avx2 && prefetch) break;
    double variant = 1e30;
    for (int p = 0; p < passes; ++p) {
      auto t0 = std::chrono::steady_clock::now();
      sink = sink + (avx2 ? read_all(raw, n, prefetch) : read_all_scalar(raw, n));
      std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
      variant = std::min(variant, dt.count());
    }
    std::fprintf(stderr, "prefetch %zu bytes ahead: %.3f GB/s\n", prefetch,
                 static_cast<double>(bytes) / variant / 1e9);
    best = std::min(best, variant);
  }
  std::printf("%.3f %zu %d\n", static_cast<double>(bytes) / best / 1e9, bytes, passes);
  return 0;
}
