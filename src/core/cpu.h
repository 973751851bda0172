// Processor features, detected once and cached in a process-wide word.
#pragma once

#include <cstdint>

namespace kovra::cpu {

// AVX2 together with FMA (and operating-system support for the YMM state).
bool has_avx2_fma();
// F16C half-precision conversion instructions.
bool has_f16c();
// AVX-512 Foundation (and operating-system support for the ZMM state).
bool has_avx512f();

// The machine's physical memory in bytes (UINT64_MAX when it cannot be read).
uint64_t physical_memory();

}  // namespace kovra::cpu
