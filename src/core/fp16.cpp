#include "core/fp16.h"

#include <bit>

#include "core/cpu.h"

namespace kovra {
namespace fp16_soft {

uint16_t to_half(float x) {
  uint32_t bits = std::bit_cast<uint32_t>(x);
  uint32_t sign = (bits >> 16) & 0x8000u;
  uint32_t mag = bits & 0x7FFFFFFFu;
  if (mag > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7C00u | 0x0200u | ((mag & 0x7FFFFFu) >> 13));
  // 65520 is the halfway point above 65504 and rounds to even: the overflow.
  if (mag >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);
  if (mag >= 0x38800000u) {  // at least 2^-14: a normal half
    uint32_t fraction = mag & 0x7FFFFFu;
    uint32_t h = (((mag >> 23) - 112u) << 10) | (fraction >> 13);
    uint32_t rest = fraction & 0x1FFFu;
    // A carry out of the fraction moves into the exponent, as it should.
    if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;
    return static_cast<uint16_t>(sign | h);
  }
  if (mag <= 0x33000000u) return static_cast<uint16_t>(sign);  // at most 2^-25: zero
  // Subnormal half: units of 2^-24. A carry into 0x400 yields the smallest normal.
  uint32_t exponent = mag >> 23;
  uint32_t significand = (mag & 0x7FFFFFu) | 0x800000u;
  uint32_t shift = 126u - exponent;  // 14..24
  uint32_t h = significand >> shift;
  uint32_t rest = significand & ((1u << shift) - 1u);
  uint32_t half = 1u << (shift - 1u);
  if (rest > half || (rest == half && (h & 1u))) ++h;
  return static_cast<uint16_t>(sign | h);
}

float to_float(uint16_t h) {
  uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exponent = (h >> 10) & 0x1Fu;
  uint32_t fraction = h & 0x3FFu;
  if (exponent == 0x1Fu) {
    if (fraction == 0) return std::bit_cast<float>(sign | 0x7F800000u);
    return std::bit_cast<float>(sign | 0x7FC00000u | (fraction << 13));
  }
  if (exponent == 0) {
    // Subnormal or zero: fraction x 2^-24, exact in single precision.
    float magnitude = static_cast<float>(fraction) * 0x1p-24f;
    return std::bit_cast<float>(sign | std::bit_cast<uint32_t>(magnitude));
  }
  return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (fraction << 13));
}

}  // namespace fp16_soft

uint16_t to_half(float x) { return cpu::has_f16c() ? fp16_f16c::to_half(x) : fp16_soft::to_half(x); }

float to_float(uint16_t h) { return cpu::has_f16c() ? fp16_f16c::to_float(h) : fp16_soft::to_float(h); }

void to_half_n(const float* in, uint16_t* out, size_t n) {
  if (cpu::has_f16c()) return fp16_f16c::to_half_n(in, out, n);
  for (size_t i = 0; i < n; ++i) out[i] = fp16_soft::to_half(in[i]);
}

void to_float_n(const uint16_t* in, float* out, size_t n) {
  if (cpu::has_f16c()) return fp16_f16c::to_float_n(in, out, n);
  for (size_t i = 0; i < n; ++i) out[i] = fp16_soft::to_float(in[i]);
}

}  // namespace kovra
