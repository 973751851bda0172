#include "core/buffer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <vector>

namespace kovra {
namespace {

// A store grows from a heap block into a mapping of its own (4 MiB and up),
// grows further by remapping, and can shrink back under the threshold: its
// elements must survive every one of these moves, whatever the step.
struct GrowthCase {
  const char* name;
  size_t step;   // elements appended per insert
  size_t total;  // elements in the end
  bool shrink;   // shrink_to_fit after dropping all but the first `step`
};

class GrowBuffers : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(GrowBuffers, KeepTheirElementsAcrossEveryMove) {
  const GrowthCase& c = GetParam();
  GrowBuffer<uint32_t> buffer;
  std::vector<uint32_t> chunk(c.step);
  for (size_t done = 0; done < c.total; done += c.step) {
    for (size_t i = 0; i < c.step; ++i) chunk[i] = static_cast<uint32_t>(done + i);
    buffer.insert(buffer.end(), chunk.data(), chunk.data() + c.step);
    ASSERT_EQ(buffer.size(), done + c.step);
    ASSERT_GE(buffer.capacity(), buffer.size());
    // Large stores sit on huge page boundaries whatever moves they went through.
    if (buffer.capacity() * sizeof(uint32_t) >= (size_t{4} << 20)) {
      ASSERT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % (size_t{2} << 20), 0u) << done;
    }
  }
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i) << i;
  if (c.shrink) {
    buffer.resize(c.step);
    buffer.shrink_to_fit();
    EXPECT_EQ(buffer.capacity(), c.step);
    for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i) << i;
  }
  // Copies and moves carry the elements, and the moved-from buffer is empty.
  GrowBuffer<uint32_t> copy = buffer;
  GrowBuffer<uint32_t> moved = std::move(buffer);
  EXPECT_TRUE(buffer.empty());
  ASSERT_EQ(copy.size(), moved.size());
  for (size_t i = 0; i < copy.size(); ++i) ASSERT_EQ(copy[i], moved[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, GrowBuffers,
                         ::testing::Values(GrowthCase{"small", 7, 700, false},
                                           GrowthCase{"into_a_mapping", 1000, 3'000'000, false},
                                           GrowthCase{"one_step_past_the_threshold", 1'100'000, 2'200'000, false},
                                           GrowthCase{"back_under_the_threshold", 4096, 4'096'000, true},
                                           GrowthCase{"mapping_to_a_smaller_mapping", 1'500'000, 3'000'000, true}),
                         [](const auto& info) { return info.param.name; });

// A large store whose next pages are taken cannot grow where it is: it moves,
// to another huge page boundary, with every element.
TEST(GrowBuffer, MovesToAHugePageBoundaryWhenItCannotGrowInPlace) {
  GrowBuffer<uint32_t> buffer;
  buffer.resize(size_t{3} << 20);  // 12 MiB
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint32_t>(i * 2654435761u);
  const uintptr_t start = reinterpret_cast<uintptr_t>(buffer.data());
  const uintptr_t end = start + ((buffer.capacity() * sizeof(uint32_t) + 4095) & ~uintptr_t{4095});
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE;
  void* blocker = ::mmap(reinterpret_cast<void*>(end), 4096, PROT_READ, flags, -1, 0);
  ASSERT_NE(blocker, MAP_FAILED);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(blocker), end);
  buffer.resize(buffer.capacity() * 2);
  EXPECT_NE(reinterpret_cast<uintptr_t>(buffer.data()), start);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % (size_t{2} << 20), 0u);
  for (size_t i = 0; i < (size_t{3} << 20); ++i) ASSERT_EQ(buffer[i], static_cast<uint32_t>(i * 2654435761u)) << i;
  ::munmap(blocker, 4096);
}

TEST(GrowBuffer, AppendsFromItselfAndFillsResizes) {
  GrowBuffer<float> buffer(3, 1.5f);
  EXPECT_EQ(buffer.size(), 3u);
  // An append whose source lies in the buffer reads it before any move.
  for (int i = 0; i < 22; ++i) buffer.insert(buffer.end(), buffer.data(), buffer.data() + buffer.size());
  ASSERT_EQ(buffer.size(), size_t{3} << 22);  // 48 MiB: grown by remapping
  EXPECT_EQ(buffer.back(), 1.5f);
  buffer.resize(buffer.size() + 2, -2.0f);
  EXPECT_EQ(buffer.back(), -2.0f);
  buffer.clear();
  EXPECT_TRUE(buffer.empty());
  buffer.push_back(4.0f);
  EXPECT_EQ(buffer[0], 4.0f);
}

}  // namespace
}  // namespace kovra
