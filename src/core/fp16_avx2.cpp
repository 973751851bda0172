// F16C conversions. Built with -mf16c and entered only after the processor
// check.
#include <immintrin.h>

#include "core/fp16.h"

namespace kovra::fp16_f16c {

uint16_t to_half(float x) {
  __m128i h = _mm_cvtps_ph(_mm_set_ss(x), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  return static_cast<uint16_t>(_mm_extract_epi16(h, 0));
}

float to_float(uint16_t h) { return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(h))); }

void to_half_n(const float* in, uint16_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
  }
  for (; i < n; ++i) out[i] = to_half(in[i]);
}

void to_float_n(const uint16_t* in, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) out[i] = to_float(in[i]);
}

}  // namespace kovra::fp16_f16c
