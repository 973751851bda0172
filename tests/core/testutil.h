// Small helpers shared by the index tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace kovra::testutil {

// `n` rows of `d` standard-normal floats, row-major.
inline std::vector<float> random_block(size_t n, size_t d, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> out(n * d);
  for (auto& x : out) x = g(rng);
  return out;
}

}  // namespace kovra::testutil
