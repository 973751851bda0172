#include "core/fp16.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/cpu.h"

namespace kovra {
namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
bool is_half_nan(uint16_t h) { return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0; }

struct Path {
  const char* name;
  uint16_t (*to_half)(float);
  float (*to_float)(uint16_t);
};

std::vector<Path> paths() {
  std::vector<Path> out{{"soft", &fp16_soft::to_half, &fp16_soft::to_float}};
  if (cpu::has_f16c()) out.push_back({"f16c", &fp16_f16c::to_half, &fp16_f16c::to_float});
  return out;
}

TEST(Fp16, EdgeValuesOnEveryPath) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float in;
    uint16_t out;
  } cases[] = {
      {1.0f, 0x3C00},           {0.1f, 0x2E66},          {65504.0f, 0x7BFF},     {65519.0f, 0x7BFF},
      {65520.0f, 0x7C00},       {1e6f, 0x7C00},          {-1e-8f, 0x8000},       {0x1p-24f, 0x0001},
      {0x1p-25f, 0x0000},       {-0x1p-25f, 0x8000},     {0x1.000002p-25f, 0x0001}, {0x1.8p-24f, 0x0002},
      {0x1p-14f, 0x0400},       {0x1.ffcp-15f, 0x0400},  {1.0f + 0x1p-11f, 0x3C00}, {1.0f + 0x3p-11f, 0x3C02},
      {inf, 0x7C00},            {-inf, 0xFC00},          {0.0f, 0x0000},         {-0.0f, 0x8000},
      {0x1p-149f, 0x0000},      {-2.0f, 0xC000},
  };
  for (const Path& p : paths()) {
    for (const auto& c : cases) EXPECT_EQ(p.to_half(c.in), c.out) << p.name << " " << c.in;
    EXPECT_EQ(p.to_float(0x2E66), 0.0999755859375f) << p.name;
    EXPECT_EQ(p.to_float(0x0001), 0x1p-24f) << p.name;
    EXPECT_EQ(bits(p.to_float(0x8000)), bits(-0.0f)) << p.name;
    // NaN: sign kept, quiet bit forced, top fraction bits kept.
    EXPECT_EQ(p.to_half(std::bit_cast<float>(0x7F800001u)), 0x7E00) << p.name;
    EXPECT_EQ(p.to_half(std::bit_cast<float>(0xFFC02000u)), 0xFE01) << p.name;
    EXPECT_EQ(bits(p.to_float(0x7C01)), 0x7FC02000u) << p.name;
    EXPECT_EQ(bits(p.to_float(0xFE00)), 0xFFC00000u) << p.name;
  }
}

// Every half converts to a float and back to itself (a NaN comes back quiet),
// and both paths agree on every one of them.
TEST(Fp16, AllHalvesRoundTripOnEveryPath) {
  for (const Path& p : paths()) {
    for (uint32_t h = 0; h <= 0xFFFF; ++h) {
      auto half = static_cast<uint16_t>(h);
      float f = p.to_float(half);
      ASSERT_EQ(bits(f), bits(fp16_soft::to_float(half))) << p.name << " " << h;
      uint16_t back = p.to_half(f);
      if (is_half_nan(half)) {
        ASSERT_EQ(back, half | 0x0200) << p.name << " " << h;
      } else {
        ASSERT_EQ(back, half) << p.name << " " << h;
      }
    }
  }
}

// Rounding boundaries of every half (exact, just below, at and just above the
// midpoint to the next one), plus a stride through all float bit patterns.
TEST(Fp16, SoftwareMatchesHardwareOnFloats) {
  if (!cpu::has_f16c()) GTEST_SKIP() << "no F16C on this processor";
  auto check = [](uint32_t x) {
    float f = std::bit_cast<float>(x);
    ASSERT_EQ(fp16_soft::to_half(f), fp16_f16c::to_half(f)) << std::hex << x;
  };
  for (uint32_t upper = 0; upper < (1u << 19); ++upper) {
    uint32_t base = upper << 13;
    for (uint32_t low : {0x0u, 0x1u, 0xFFFu, 0x1000u, 0x1001u, 0x1FFFu}) check(base | low);
  }
  for (uint64_t x = 0; x <= 0xFFFFFFFFull; x += 9973) check(static_cast<uint32_t>(x));
}

TEST(Fp16, BulkFormsMatchSingleConversions) {
  std::vector<float> in;
  for (int i = -40; i < 40; ++i) in.push_back(std::ldexp(1.37f, i) * (i % 3 ? 1.0f : -1.0f));
  in.push_back(std::numeric_limits<float>::quiet_NaN());
  std::vector<uint16_t> halves(in.size());
  to_half_n(in.data(), halves.data(), in.size());
  std::vector<float> back(in.size());
  to_float_n(halves.data(), back.data(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(halves[i], fp16_soft::to_half(in[i])) << i;
    EXPECT_EQ(bits(back[i]), bits(fp16_soft::to_float(halves[i]))) << i;
  }
}

}  // namespace
}  // namespace kovra
