#include "core/io/hash.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kovra::io {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct Known {
  std::string_view text;
  uint64_t digest;
};

// Published values of the construction, seed 0.
class KnownDigest : public ::testing::TestWithParam<Known> {};

TEST_P(KnownDigest, MatchesThePublishedValue) {
  EXPECT_EQ(StreamHash::of(bytes_of(GetParam().text)), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(Hash, KnownDigest,
                         ::testing::Values(Known{"", 0xEF46DB3751D8E999ull}, Known{"a", 0xD24EC4F1A98C6E5Bull},
                                           Known{"abc", 0x44BC2CF5AD770999ull}));

// Pieces of every size, cut anywhere: the digest is that of the whole run,
// whatever lengths the log's records had.
class SplitDigest : public ::testing::TestWithParam<size_t> {};

TEST_P(SplitDigest, PiecesGiveTheDigestOfTheWhole) {
  std::vector<uint8_t> data(GetParam());
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  const uint64_t whole = StreamHash::of(data);
  for (size_t piece : {1u, 3u, 4u, 7u, 8u, 31u, 32u, 33u, 100u}) {
    StreamHash h;
    for (size_t at = 0; at < data.size(); at += piece)
      h.update(data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(h.digest(), whole) << piece;
    EXPECT_EQ(h.length(), data.size());
  }
  // A digest taken midway leaves the state to go on from.
  StreamHash h;
  h.update(data.data(), data.size() / 2);
  (void)h.digest();
  h.update(data.data() + data.size() / 2, data.size() - data.size() / 2);
  EXPECT_EQ(h.digest(), whole);
}

INSTANTIATE_TEST_SUITE_P(Hash, SplitDigest, ::testing::Values(0, 1, 5, 31, 32, 33, 63, 64, 65, 200, 1000));

TEST(Hash, OneFlippedBitChangesTheDigest) {
  std::vector<uint8_t> data(777, 0x5A);
  const uint64_t base = StreamHash::of(data);
  for (size_t i = 0; i < data.size(); i += 37) {
    data[i] ^= 0x10;
    EXPECT_NE(StreamHash::of(data), base) << i;
    data[i] ^= 0x10;
  }
}

}  // namespace
}  // namespace kovra::io
