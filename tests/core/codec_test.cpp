#include "core/io/codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/io/file.h"

namespace kovra::io {
namespace {

std::vector<uint8_t> golden_record() {
  auto bytes = encode_to_bytes([](Encoder& e) {
    e.put_u8(0xAB);
    e.put_u16(0x0102);
    e.put_u32(0x03040506);
    e.put_u64(7);
    e.put_f32(1.0f);
    e.put_f64(-2.0);
    e.put_bool(true);
    e.put_enum(2);
    e.put_string("hi");
    e.put_array(std::vector<float>{0.5f});
    e.put_option(std::optional<uint64_t>(9), [](Encoder& x, uint64_t v) { x.put_u64(v); });
    e.put_option(std::optional<uint64_t>(), [](Encoder& x, uint64_t v) { x.put_u64(v); });
  });
  return *bytes;
}

struct Record {
  uint8_t a;
  uint16_t b;
  uint32_t c;
  uint64_t d;
  float e;
  double f;
  bool g;
  uint32_t h;
  std::string s;
  std::vector<float> v;
  std::optional<uint64_t> o1, o2;
};

Result<Record> decode_record(std::span<const uint8_t> bytes) {
  SpanSource src(bytes);
  Decoder d(src);
  Record r;
  KOVRA_ASSIGN_OR_RETURN(r.a, d.get_u8());
  KOVRA_ASSIGN_OR_RETURN(r.b, d.get_u16());
  KOVRA_ASSIGN_OR_RETURN(r.c, d.get_u32());
  KOVRA_ASSIGN_OR_RETURN(r.d, d.get_u64());
  KOVRA_ASSIGN_OR_RETURN(r.e, d.get_f32());
  KOVRA_ASSIGN_OR_RETURN(r.f, d.get_f64());
  KOVRA_ASSIGN_OR_RETURN(r.g, d.get_bool());
  KOVRA_ASSIGN_OR_RETURN(r.h, d.get_enum(3));
  KOVRA_ASSIGN_OR_RETURN(r.s, d.get_string());
  KOVRA_ASSIGN_OR_RETURN(r.v, d.get_array<float>());
  auto u64 = [](Decoder& x) { return x.get_u64(); };
  KOVRA_ASSIGN_OR_RETURN(r.o1, d.get_option<uint64_t>(u64));
  KOVRA_ASSIGN_OR_RETURN(r.o2, d.get_option<uint64_t>(u64));
  return r;
}

TEST(Codec, GoldenBytes) {
  std::vector<uint8_t> expected = {
      0xAB, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03,                    // u8, u16, u32
      7,    0,    0,    0,    0,    0,    0,    0,                 // u64
      0x00, 0x00, 0x80, 0x3F,                                      // f32 1.0
      0,    0,    0,    0,    0,    0,    0x00, 0xC0,              // f64 -2.0
      1,                                                           // bool
      2,    0,    0,    0,                                         // enum
      2,    0,    0,    0,    0,    0,    0,    0,    'h', 'i',    // string
      1,    0,    0,    0,    0,    0,    0,    0,                 // float count
      0x00, 0x00, 0x00, 0x3F,                                      // 0.5
      1,    9,    0,    0,    0,    0,    0,    0,    0,           // Some(9)
      0,                                                           // None
  };
  EXPECT_EQ(golden_record(), expected);
  auto r = decode_record(expected);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->s, "hi");
  EXPECT_EQ(r->v, std::vector<float>{0.5f});
  EXPECT_EQ(r->o1, 9u);
  EXPECT_FALSE(r->o2);
}

TEST(Codec, EveryTruncationFailsAsSerialization) {
  auto bytes = golden_record();
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    auto r = decode_record(std::span<const uint8_t>(bytes.data(), cut));
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

TEST(Codec, RejectsBadBooleansAndVariants) {
  auto bytes = golden_record();
  auto bad_bool = bytes;
  bad_bool[27] = 2;
  auto r = decode_record(bad_bool);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().text().find("boolean"), std::string::npos);
  auto bad_enum = bytes;
  bad_enum[28] = 3;
  r = decode_record(bad_enum);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().text().find("variant index 0 <= i < 3"), std::string::npos);
}

TEST(Codec, HugeCountsDoNotAllocateAhead) {
  auto bytes = *encode_to_bytes([](Encoder& e) {
    e.put_u64(uint64_t(1) << 60);
    e.put_f32(1.0f);
  });
  SpanSource src(bytes);
  Decoder d(src);
  auto r = d.get_array<float>();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(Decoder::reserve_hint(uint64_t(1) << 60, 4), kMaxReserveBytes / 4);
}

TEST(Codec, FileRoundTripThroughBuffers) {
  auto path = (std::filesystem::temp_directory_path() / "kovra_codec_test.bin").string();
  std::vector<float> big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i);
  ASSERT_TRUE(save_file(path, [&](Encoder& e) {
    for (int i = 0; i < 3000; ++i) e.put_u8(static_cast<uint8_t>(i));  // crosses buffer edges
    e.put_array(big);
  }));
  auto back = load_file<std::vector<float>>(path, [](Decoder& d) -> Result<std::vector<float>> {
    for (int i = 0; i < 3000; ++i) {
      KOVRA_ASSIGN_OR_RETURN(uint8_t b, d.get_u8());
      if (b != static_cast<uint8_t>(i)) return fail(Error::serialization("mismatch"));
    }
    return d.get_array<float>();
  });
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, big);
  auto missing = load_file<int>(path + ".missing", [](Decoder&) -> Result<int> { return 0; });
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  std::remove(path.c_str());
}

TEST(Codec, WriteFailureIsReported) {
  // /dev/full accepts the open and fails every write with ENOSPC.
  if (!file_exists("/dev/full")) GTEST_SKIP();
  Status s = save_file("/dev/full", [](Encoder& e) { e.put_u64(1); });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Serialization);
  auto created = FileWriter::create("/nonexistent-dir/x.bin");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace kovra::io
