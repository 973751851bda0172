#include "core/collection/payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace kovra {
namespace {

JsonValue J(std::string_view text) {
  auto v = parse_json_text(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : JsonValue();
}

std::string nested_arrays(size_t depth, std::string_view inner = "") {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(ParseJsonText, NumberKindsAreNormalised) {
  EXPECT_EQ(J("5").type(), JsonValue::value_t::number_unsigned);
  EXPECT_EQ(J("0").type(), JsonValue::value_t::number_unsigned);
  EXPECT_EQ(J("-0").type(), JsonValue::value_t::number_unsigned);
  EXPECT_EQ(J("-0").get<uint64_t>(), 0u);
  EXPECT_EQ(J("-3").type(), JsonValue::value_t::number_integer);
  EXPECT_EQ(J("-3").get<int64_t>(), -3);
  EXPECT_EQ(J("-9223372036854775808").get<int64_t>(), INT64_MIN);
  EXPECT_EQ(J("18446744073709551615").get<uint64_t>(), UINT64_MAX);
  EXPECT_EQ(J("18446744073709551616").type(), JsonValue::value_t::number_float);
  EXPECT_EQ(J("1.0").type(), JsonValue::value_t::number_float);
  EXPECT_EQ(J("1e2").type(), JsonValue::value_t::number_float);
  EXPECT_EQ(J("{\"a\":[-0,-1]}")["a"][0].type(), JsonValue::value_t::number_unsigned);
}

TEST(ParseJsonText, RejectsInvalidText) {
  const char* bad[] = {
      "",           " ",           "[",        "]",          "[1,]",       "{\"a\":1,}", "{a:1}",  "'a'",
      "1 2",        "nul",         "NaN",      "Infinity",   "-Infinity",  "1e400",      "-1e400", "01",
      "1.",         ".5",          "+1",       "\"\\x\"",    "\"a",        "[1] x",      "// c\n1", "/* c */ 1",
      "1\f",        "\xEF\xBB\xBF" "1",        "\"\x01\"",   "\"\xff\"",   "\"\xc3\"",   "\"\xed\xa0\x80\"",
      "\"\\ud800\"",
  };
  for (const char* text : bad) EXPECT_FALSE(parse_json_text(text).has_value()) << text;
  EXPECT_FALSE(parse_json_text(std::string_view("1\0", 2)).has_value());
  EXPECT_FALSE(parse_json_text(std::string_view("\"a\0b\"", 5)).has_value());
}

TEST(ParseJsonText, AcceptsSurroundingWhitespace) {
  EXPECT_TRUE(json_equal(J(" \t\r\n[1, {\"b\" : null}] \n\t\r "), J("[1,{\"b\":null}]")));
  EXPECT_EQ(J("\"\\u00e9\\ud83d\\ude00\""), JsonValue("\xc3\xa9\xf0\x9f\x98\x80"));
}

TEST(ParseJsonText, RepeatedKeyKeepsLast) {
  EXPECT_TRUE(json_equal(J("{\"a\":1,\"a\":[2]}"), J("{\"a\":[2]}")));
}

TEST(ParseJsonText, DepthLimit) {
  auto ok = parse_json_text(nested_arrays(512));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(json_depth(*ok), 512u);
  EXPECT_TRUE(parse_json_text(nested_arrays(512, "1")).has_value());
  EXPECT_FALSE(parse_json_text(nested_arrays(513)).has_value());
  EXPECT_FALSE(parse_json_text(nested_arrays(513, "1")).has_value());

  std::string objects;
  for (int i = 0; i < 512; ++i) objects += "{\"a\":";
  objects += "1";
  objects += std::string(512, '}');
  EXPECT_TRUE(parse_json_text(objects).has_value());
  std::string deeper = "[" + objects + "]";
  EXPECT_FALSE(parse_json_text(deeper).has_value());

  // Far too deep, balanced and unbalanced: refused without crashing.
  EXPECT_FALSE(parse_json_text(nested_arrays(100000)).has_value());
  EXPECT_FALSE(parse_json_text(std::string(1000000, '[')).has_value());
  std::string deep_objects;
  for (int i = 0; i < 100000; ++i) deep_objects += "{\"k\":";
  EXPECT_FALSE(parse_json_text(deep_objects).has_value());
}

TEST(JsonDepth, CountsContainers) {
  EXPECT_EQ(json_depth(J("1")), 0u);
  EXPECT_EQ(json_depth(J("null")), 0u);
  EXPECT_EQ(json_depth(J("[]")), 1u);
  EXPECT_EQ(json_depth(J("[1]")), 1u);
  EXPECT_EQ(json_depth(J("{\"a\":[1]}")), 2u);
  EXPECT_EQ(json_depth(J("[1,{\"a\":{}},[[2]]]")), 3u);
}

TEST(JsonEqual, Rules) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"null", "null", true},
      {"null", "false", false},
      {"true", "true", true},
      {"true", "false", false},
      {"1", "1", true},
      {"1", "1.0", false},  // number kinds differ
      {"1.0", "1.0", true},
      {"-1", "-1", true},
      {"-1", "-1.0", false},
      {"0", "-0", true},     // both unsigned
      {"0.0", "-0.0", true},  // IEEE equality
      {"0", "0.0", false},
      {"18446744073709551615", "18446744073709551615", true},
      {"\"a\"", "\"a\"", true},
      {"\"a\"", "\"A\"", false},
      {"\"1\"", "1", false},
      {"[]", "[]", true},
      {"[1,2]", "[1,2]", true},
      {"[1,2]", "[2,1]", false},
      {"[1]", "[1,1]", false},
      {"[1]", "[1.0]", false},
      {"{}", "{}", true},
      {"{}", "[]", false},
      {"{\"a\":1,\"b\":2}", "{\"b\":2,\"a\":1}", true},
      {"{\"a\":1}", "{\"a\":1,\"b\":2}", false},
      {"{\"a\":1}", "{\"b\":1}", false},
      {"{\"a\":{\"b\":[1,null]}}", "{\"a\":{\"b\":[1,null]}}", true},
      {"{\"a\":{\"b\":[1,null]}}", "{\"a\":{\"b\":[1,false]}}", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_equal(J(c.a), J(c.b)), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(json_equal(J(c.b), J(c.a)), c.equal) << c.b << " vs " << c.a;
  }
}

TEST(CompactJson, TextForm) {
  EXPECT_EQ(to_compact_json(J(" { \"b\" : [1, -2, 1.5, true, null], \"a\" : \"x\" } ")),
            "{\"a\":\"x\",\"b\":[1,-2,1.5,true,null]}");
  EXPECT_EQ(to_compact_json(J("1.0")), "1.0");
  EXPECT_EQ(to_compact_json(J("-0.0")), "-0.0");
  EXPECT_EQ(to_compact_json(J("18446744073709551615")), "18446744073709551615");
  EXPECT_EQ(to_compact_json(J("\"\\n\\\"\\\\\\u0001\xc3\xa9\"")), "\"\\n\\\"\\\\\\u0001\xc3\xa9\"");
  // Keys sort bytewise over UTF-8 (unsigned bytes).
  EXPECT_EQ(to_compact_json(J("{\"\xc3\xa9\":1,\"z\":2,\"Z\":3,\"\":4}")), "{\"\":4,\"Z\":3,\"z\":2,\"\xc3\xa9\":1}");
}

TEST(CompactJson, RoundTripsThroughParse) {
  const char* texts[] = {"null", "true", "[]", "{}", "\"\"", "[1,[2,[3,{\"a\":{}}]]]", "-9223372036854775808",
                         "{\"a\\u0000b\":1}"};
  for (const char* t : texts) {
    JsonValue v = J(t);
    auto back = parse_json_text(to_compact_json(v));
    ASSERT_TRUE(back.has_value()) << t;
    EXPECT_TRUE(json_equal(v, *back)) << t;
  }
  auto deep = J(nested_arrays(511, "{\"a\":1}"));
  auto back = parse_json_text(to_compact_json(deep));
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(json_equal(deep, *back));
}

TEST(CompactJson, FloatsRoundTripExactly) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.5,
                                0.1,
                                1.0 / 3.0,
                                1e300,
                                -1e-300,
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::lowest(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(),
                                9007199254740993.0,
                                18446744073709551616.0,
                                123456789.125};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    double d;
    uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double d : values) {
    std::string text = to_compact_json(JsonValue(d));
    auto back = parse_json_text(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_TRUE(back->is_number_float()) << text;
    double r = back->get<double>();
    EXPECT_EQ(std::memcmp(&r, &d, sizeof d), 0) << text;
  }
}

}  // namespace
}  // namespace kovra
