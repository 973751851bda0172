// Helpers shared by the clustered-index tests: blob data, scratch files and
// byte-level access to saved files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace kovra::testing_ivf {

// `n` rows of `dims` floats around `clusters` well separated centres
// (centre c sits at 100 * c on every axis, noise of +-1).
inline std::vector<float> blobs(size_t n, size_t dims, size_t clusters, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<float> out(n * dims);
  for (size_t i = 0; i < n; ++i) {
    const float centre = 100.0f * static_cast<float>(i % clusters);
    for (size_t j = 0; j < dims; ++j) out[i * dims + j] = centre + noise(rng);
  }
  return out;
}

// Uniform random rows in [-1, 1).
inline std::vector<float> uniform(size_t n, size_t dims, uint32_t seed = 11) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> out(n * dims);
  for (float& x : out) x = u(rng);
  return out;
}

// A file path under the test temp directory, removed on destruction.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_(::testing::TempDir() + "kovra_" + name + "_" + std::to_string(::getpid())) {}
  ~ScratchFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kovra::testing_ivf
