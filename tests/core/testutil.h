// Small helpers shared by the index tests.
#pragma once

#include <sys/resource.h>

#include <csignal>
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

// While alive, the process may not grow a file past `bytes`: the next write
// beyond it fails part way, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

}  // namespace kovra::testutil
