// Shared driver of the fuzz targets. harness.cpp owns libFuzzer's entry
// points; each target source defines the two functions below and nothing else.
//
// A run is `fuzz_<name> CORPUS_DIR [libFuzzer flags]`: at start-up the target
// writes its seed inputs into CORPUS_DIR (small valid files from the real
// writers), and libFuzzer mutates from there. An error result from the code
// under test is a pass; a crash, a sanitizer report, a leak, or an allocation
// past -malloc_limit_mb is a finding.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/index/vector_index.h"
#include "core/metric.h"

namespace kovra::fuzz {

// Where a target puts its seeds; every seed is one file in the corpus dir.
class Seeds {
 public:
  explicit Seeds(std::string dir) : dir_(std::move(dir)) {}
  // Path of the seed file `name`, for a writer that saves to a path.
  std::string path(std::string_view name) const;
  // Writes `bytes` as the seed `name`.
  void bytes(std::string_view name, std::span<const uint8_t> bytes) const;

 private:
  std::string dir_;
};

// Defined by each target: writes a few small valid inputs.
void write_seeds(const Seeds& seeds);
// Defined by each target: runs the code under test on one input.
void fuzz_one(std::span<const uint8_t> data);

// The input written to a file private to this process, for loaders that take
// a path; the same path on every call (the file is overwritten).
const std::string& input_file(std::span<const uint8_t> data);

// A directory private to this process (the one that holds the input file),
// removed at exit; for targets that need whole directories of files.
std::string work_dir();

// `n` rows of `d` small distinct floats, row-major, for building seed indexes.
std::vector<float> sample_rows(size_t n, size_t d);

// Saves the index built by `make(metric)` as one seed per metric, named
// `<name>-<metric>`; `make` returns the index (anything with `save(path)`).
template <class Make>
void seed_each_metric(const Seeds& seeds, std::string_view name, Make&& make) {
  for (Metric m : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    auto index = make(m);
    if (!index.save(seeds.path(std::string(name) + "-" + std::string(metric_name(m))))) std::abort();
  }
}

// Uses a loaded index the way a reader would (size, iteration, a search), so
// that a load that accepts inconsistent state shows up here rather than in a
// later caller. Skips the search for dimensions too large to allocate a query.
void exercise(const VectorIndex& index);

}  // namespace kovra::fuzz
