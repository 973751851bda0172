// Single-thread sequential read bandwidth: the ceiling for an exact scan that
// streams every stored vector once per query.
//
// Reads a buffer much larger than the last-level cache with 256-bit loads
// summed into eight independent accumulators (so the adds never limit the
// loop), best of several passes. Prints one line: "<GB/s> <bytes> <passes>".
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

__attribute__((target("avx2"))) float read_all(const float* p, size_t n) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  for (size_t i = 0; i + 64 <= n; i += 64) {
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
  size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  int passes = argc > 2 ? std::atoi(argv[2]) : 7;
  size_t bytes = mib << 20;
  size_t n = bytes / sizeof(float);
  auto* raw = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (raw == nullptr) {
    std::fprintf(stderr, "cannot allocate %zu MiB\n", mib);
    return 1;
  }
  std::unique_ptr<float, decltype(&std::free)> buf(raw, &std::free);
  // Touch every page with non-zero data so the reads hit real memory.
  for (size_t i = 0; i < n; ++i) raw[i] = static_cast<float>(i & 7);

  bool avx2 = __builtin_cpu_supports("avx2");
  double best = 1e30;
  volatile float sink = 0.0f;
  for (int p = 0; p < passes; ++p) {
    auto t0 = std::chrono::steady_clock::now();
    sink = sink + (avx2 ? read_all(raw, n) : read_all_scalar(raw, n));
    std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count());
  }
  std::printf("%.3f %zu %d\n", static_cast<double>(bytes) / best / 1e9, bytes, passes);
  return 0;
}
