// MmapFlatIndex::open on damaged vector files. The caller's dimensions and
// metric are taken from the header when it has them, so that inputs get past
// the match check to the record count and the mapping.
#include <cstring>
#include <filesystem>

#include "core/index/mmap_flat.h"
#include "harness.h"

namespace kovra::fuzz {

void write_seeds(const Seeds& seeds) {
  for (Metric m : {Metric::L2, Metric::DotProduct}) {
    const std::string path = seeds.path("kvec-" + std::string(metric_name(m)));
    std::filesystem::remove(path);  // open of a missing file starts empty
    auto index = MmapFlatIndex::open(path, 3, m);
    if (!index || !index->add_flat_batch(sample_rows(4, 3), 3, 1) || !index->flush()) std::abort();
  }
}

void fuzz_one(std::span<const uint8_t> data) {
  uint32_t dims = 3, metric = 0;
  if (data.size() >= 16) {
    std::memcpy(&dims, data.data() + 8, 4);
    std::memcpy(&metric, data.data() + 12, 4);
  }
  auto index = MmapFlatIndex::open(input_file(data), dims, metric_from_id(metric).value_or(Metric::L2));
  if (index) exercise(*index);
}

}  // namespace kovra::fuzz
