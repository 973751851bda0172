#include "core/cpu.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace kovra::cpu {
namespace {

constexpr uint32_t kDetected = 1u << 0;
constexpr uint32_t kAvx2Fma = 1u << 1;
constexpr uint32_t kF16c = 1u << 2;
constexpr uint32_t kAvx512f = 1u << 3;

std::atomic<uint32_t> g_features{0};

uint32_t detect() {
  uint32_t bits = kDetected;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) bits |= kAvx2Fma;
  if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c")) bits |= kF16c;
  if (__builtin_cpu_supports("avx512f")) bits |= kAvx512f;
#endif
  return bits;
}

uint32_t features() {
  uint32_t f = g_features.load(std::memory_order_relaxed);
  if (f == 0) {
    f = detect();
    g_features.store(f, std::memory_order_relaxed);
  }
  return f;
}

}  // namespace

bool has_avx2_fma() { return (features() & kAvx2Fma) != 0; }
bool has_f16c() { return (features() & kF16c) != 0; }
bool has_avx512f() { return (features() & kAvx512f) != 0; }

uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  uint64_t bytes;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &bytes)) return UINT64_MAX;
  return bytes;
}

}  // namespace kovra::cpu
