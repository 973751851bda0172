// IEEE 754 binary16 conversion. The software rules and the processor's F16C
// instructions give identical bits for every input, so stored halves never
// depend on the machine that wrote them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

// Round to nearest, ties to even. A NaN keeps its sign and top fraction bits
// and is made quiet; magnitudes of 65520 or more become infinity.
uint16_t to_half(float x);
// Exact for every half; a NaN keeps sign and payload and is made quiet.
float to_float(uint16_t h);

// Bulk forms of the two conversions.
void to_half_n(const float* in, uint16_t* out, size_t n);
void to_float_n(const uint16_t* in, float* out, size_t n);

namespace fp16_soft {
uint16_t to_half(float x);
float to_float(uint16_t h);
}  // namespace fp16_soft

// Callable only when cpu::has_f16c() is true.
namespace fp16_f16c {
uint16_t to_half(float x);
float to_float(uint16_t h);
void to_half_n(const float* in, uint16_t* out, size_t n);
void to_float_n(const uint16_t* in, float* out, size_t n);
}  // namespace fp16_f16c

}  // namespace kovra
