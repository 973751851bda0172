#include "core/collection/filter.h"

#include <gtest/gtest.h>

#include <string>

namespace kovra {
namespace {

JsonValue J(std::string_view text) {
  auto v = parse_json_text(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : JsonValue();
}

FilterCondition F(std::string_view text) {
  auto c = parse_filter(J(text));
  EXPECT_TRUE(c.has_value()) << text << ": " << (c ? "" : c.error());
  return c ? *c : FilterCondition{};
}

constexpr const char* kUnknownTail = "`, expected one of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`";

TEST(ParseFilter, ErrorTexts) {
  struct Case {
    const char* filter;
    std::string error;
  };
  const std::string single = "FilterCondition must be $and, $or, or a single field predicate";
  const Case cases[] = {
      {"null", "invalid type: unit value, expected a map"},
      {"true", "invalid type: boolean `true`, expected a map"},
      {"false", "invalid type: boolean `false`, expected a map"},
      {"5", "invalid type: integer `5`, expected a map"},
      {"-3", "invalid type: integer `-3`, expected a map"},
      {"18446744073709551615", "invalid type: integer `18446744073709551615`, expected a map"},
      {"1.5", "invalid type: floating point `1.5`, expected a map"},
      {"2.0", "invalid type: floating point `2.0`, expected a map"},
      {"-0.0", "invalid type: floating point `-0.0`, expected a map"},
      {"1e300", "invalid type: floating point `1e+300`, expected a map"},
      {"\"abc\"", "invalid type: string \"abc\", expected a map"},
      {"\"a\\\"b\\\\c\\nd\\u0001\"", "invalid type: string \"a\\\"b\\\\c\\nd\\u0001\", expected a map"},
      {"[]", "invalid type: sequence, expected a map"},
      {"{\"$and\": 1}", "invalid type: integer `1`, expected a sequence"},
      {"{\"$and\": {}}", "invalid type: map, expected a sequence"},
      {"{\"$or\": \"x\"}", "invalid type: string \"x\", expected a sequence"},
      {"{\"$and\": [{\"a\": {\"$eq\": 1}}, 7, {}]}", "invalid type: integer `7`, expected a map"},
      {"{\"$or\": [{}, 7]}", single},
      {"{\"$and\": [{\"$or\": [{\"a\": \"b\"}]}]}", std::string("unknown variant `b") + kUnknownTail},
      {"{}", single},
      {"{\"a\": {\"$eq\": 1}, \"b\": {\"$eq\": 2}}", single},
      {"{\"a\": {}}", "invalid value: map, expected map with a single key"},
      {"{\"a\": {\"$eq\": 1, \"$ne\": 2}}", "invalid value: map, expected map with a single key"},
      {"{\"a\": null}", "invalid type: unit value, expected string or map"},
      {"{\"a\": 5}", "invalid type: integer `5`, expected string or map"},
      {"{\"a\": false}", "invalid type: boolean `false`, expected string or map"},
      {"{\"a\": 0.25}", "invalid type: floating point `0.25`, expected string or map"},
      {"{\"a\": [1]}", "invalid type: sequence, expected string or map"},
      {"{\"color\": \"red\"}", std::string("unknown variant `red") + kUnknownTail},
      {"{\"color\": \"$EQ\"}", std::string("unknown variant `$EQ") + kUnknownTail},
      {"{\"color\": \"\"}", std::string("unknown variant `") + kUnknownTail},
      {"{\"color\": {\"$nin\": [1]}}", std::string("unknown variant `$nin") + kUnknownTail},
      {"{\"color\": {\"$and\": []}}", std::string("unknown variant `$and") + kUnknownTail},
      {"{\"color\": \"$eq\"}", "invalid type: unit variant, expected newtype variant"},
      {"{\"color\": \"$in\"}", "invalid type: unit variant, expected newtype variant"},
      {"{\"color\": \"$lte\"}", "invalid type: unit variant, expected newtype variant"},
      {"{\"a\": {\"$in\": 5}}", "invalid type: integer `5`, expected a sequence"},
      {"{\"a\": {\"$in\": {}}}", "invalid type: map, expected a sequence"},
      {"{\"a\": {\"$in\": null}}", "invalid type: unit value, expected a sequence"},
      {"{\"a\": {\"$in\": \"xy\"}}", "invalid type: string \"xy\", expected a sequence"},
  };
  for (const auto& c : cases) {
    auto r = parse_filter(J(c.filter));
    ASSERT_FALSE(r.has_value()) << c.filter;
    EXPECT_EQ(r.error(), c.error) << c.filter;
  }
}

TEST(ParseFilter, FoundTexts) {
  EXPECT_EQ(describe_found(J("null")), "unit value");
  EXPECT_EQ(describe_found(J("0")), "integer `0`");
  EXPECT_EQ(describe_found(J("-9223372036854775808")), "integer `-9223372036854775808`");
  EXPECT_EQ(describe_found(J("0.1")), "floating point `0.1`");
  EXPECT_EQ(describe_found(J("100.0")), "floating point `100.0`");
  EXPECT_EQ(describe_found(J("1e-7")), "floating point `1e-07`");
  EXPECT_EQ(describe_found(J("\"\xc3\xa9\"")), "string \"\xc3\xa9\"");
  EXPECT_EQ(describe_found(J("{\"a\":1}")), "map");
  EXPECT_EQ(describe_found(J("[1]")), "sequence");
}

TEST(ParseFilter, Tree) {
  FilterCondition c = F("{\"a..b\": {\"$gte\": 3}}");
  EXPECT_EQ(c.kind, FilterCondition::Kind::Field);
  EXPECT_EQ(c.path, "a..b");
  EXPECT_EQ(c.segments, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(c.op, FilterOperator::Gte);
  EXPECT_TRUE(json_equal(c.operand, J("3")));

  EXPECT_EQ(F("{\"\": {\"$eq\": 1}}").segments, (std::vector<std::string>{""}));
  EXPECT_EQ(F("{\".\": {\"$eq\": 1}}").segments, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(F("{\"x\": {\"$eq\": 1}}").segments, (std::vector<std::string>{"x"}));

  c = F("{\"t\": {\"$in\": [1, \"a\", null]}}");
  EXPECT_EQ(c.op, FilterOperator::In);
  ASSERT_EQ(c.in_list.size(), 3u);
  EXPECT_TRUE(json_equal(c.in_list[1], J("\"a\"")));

  // "$and" wins over "$or" and over every other key.
  c = F("{\"$or\": [], \"$and\": [{\"a\": {\"$eq\": 1}}], \"x\": {\"$eq\": 1}}");
  EXPECT_EQ(c.kind, FilterCondition::Kind::And);
  ASSERT_EQ(c.children.size(), 1u);
  c = F("{\"$or\": [], \"x\": {\"$eq\": 1}}");
  EXPECT_EQ(c.kind, FilterCondition::Kind::Or);
  EXPECT_TRUE(c.children.empty());
  // Any operand is kept as is, also for range operators.
  c = F("{\"a\": {\"$lt\": {\"b\": [1]}}}");
  EXPECT_TRUE(json_equal(c.operand, J("{\"b\": [1]}")));
  // Copyable and movable.
  FilterCondition copy = c;
  FilterCondition moved = std::move(copy);
  EXPECT_TRUE(json_equal(moved.operand, c.operand));
}

struct MatchCase {
  const char* filter;
  const char* payload;  // nullptr: no payload (null)
  bool expected;
};

void check(const MatchCase* begin, const MatchCase* end) {
  for (const MatchCase* c = begin; c != end; ++c) {
    FilterCondition f = F(c->filter);
    JsonValue payload = c->payload ? J(c->payload) : JsonValue();
    EXPECT_EQ(matches(payload, f), c->expected) << c->filter << " on " << (c->payload ? c->payload : "<none>");
  }
}

TEST(Matches, SpecEdgeCases) {
  const MatchCase cases[] = {
      {"{\"age\": {\"$eq\": 30}}", "{\"age\": 30}", true},
      {"{\"age\": {\"$eq\": 30}}", "{\"age\": 30.0}", false},
      {"{\"age\": {\"$gte\": 30}}", "{\"age\": 30}", true},
      {"{\"age\": {\"$gte\": 30}}", "{\"age\": 30.0}", true},
      {"{\"tag\": {\"$ne\": \"x\"}}", "{\"other\": 1}", false},
      {"{\"tag\": {\"$ne\": \"x\"}}", nullptr, false},
      {"{\"tag\": {\"$ne\": \"x\"}}", "{\"tag\": \"y\"}", true},
      {"{\"tag\": {\"$ne\": \"x\"}}", "{\"tag\": \"x\"}", false},
      {"{\"a.b\": {\"$eq\": 1}}", "{\"a\": {\"b\": 1}}", true},
      {"{\"a.b\": {\"$eq\": 1}}", "{\"a.b\": 1}", false},
      {"{\"$and\": []}", nullptr, true},
      {"{\"$and\": []}", "{\"a\": 1}", true},
      {"{\"$and\": []}", "5", true},
      {"{\"$or\": []}", nullptr, false},
      {"{\"$or\": []}", "{\"a\": 1}", false},
      {"{\"$and\": [{\"y\": {\"$eq\": 2}}], \"x\": {\"$eq\": 1}}", "{\"y\": 2}", true},
      {"{\"$and\": [{\"y\": {\"$eq\": 2}}], \"x\": {\"$eq\": 1}}", "{\"x\": 1}", false},
      {"{\"a\": {\"$in\": []}}", "{\"a\": 1}", false},
      {"{\"a\": {\"$in\": []}}", "{\"a\": []}", false},
      {"{\"a\": {\"$gt\": \"m\"}}", "{\"a\": \"n\"}", true},
      {"{\"a\": {\"$gt\": \"m\"}}", "{\"a\": \"ma\"}", true},
      {"{\"a\": {\"$gt\": \"m\"}}", "{\"a\": \"m\"}", false},
      {"{\"a\": {\"$gt\": \"m\"}}", "{\"a\": 5}", false},
  };
  check(std::begin(cases), std::end(cases));
}

TEST(Matches, PathResolution) {
  const MatchCase cases[] = {
      {"{\"a.b.c\": {\"$eq\": true}}", "{\"a\": {\"b\": {\"c\": true}}}", true},
      {"{\"a.b.c\": {\"$ne\": true}}", "{\"a\": {\"b\": 5}}", false},
      {"{\"a.b\": {\"$ne\": 1}}", "{\"a\": [{\"b\": 1}]}", false},  // no array indexing
      {"{\"a.0\": {\"$eq\": 1}}", "{\"a\": [1]}", false},
      {"{\"a.0\": {\"$eq\": 1}}", "{\"a\": {\"0\": 1}}", true},
      {"{\"a..b\": {\"$eq\": 1}}", "{\"a\": {\"\": {\"b\": 1}}}", true},
      {"{\"a..b\": {\"$eq\": 1}}", "{\"a\": {\"b\": 1}}", false},
      {"{\"\": {\"$eq\": 1}}", "{\"\": 1}", true},
      {"{\"\": {\"$eq\": 1}}", "{}", false},
      {"{\"a\": {\"$eq\": 1}}", "[1]", false},
      {"{\"a\": {\"$ne\": 1}}", "\"a\"", false},
      {"{\"a\": {\"$eq\": null}}", "{\"a\": null}", true},
      {"{\"a\": {\"$eq\": null}}", "{}", false},
      {"{\"a\": {\"$ne\": null}}", "{\"a\": 0}", true},
      {"{\"a\": {\"$eq\": {\"x\": [1, 2]}}}", "{\"a\": {\"x\": [1, 2]}}", true},
      {"{\"a\": {\"$eq\": {\"x\": [1, 2]}}}", "{\"a\": {\"x\": [1, 2.0]}}", false},
      {"{\"\xc3\xa9\": {\"$eq\": \"\xc3\xa9\"}}", "{\"\xc3\xa9\": \"\xc3\xa9\"}", true},
  };
  check(std::begin(cases), std::end(cases));
}

TEST(Matches, Operators) {
  const MatchCase cases[] = {
      // $in: equality rules, not element-wise over an array field.
      {"{\"a\": {\"$in\": [1, \"x\"]}}", "{\"a\": 1}", true},
      {"{\"a\": {\"$in\": [1, \"x\"]}}", "{\"a\": \"x\"}", true},
      {"{\"a\": {\"$in\": [1, \"x\"]}}", "{\"a\": 1.0}", false},
      {"{\"a\": {\"$in\": [1, \"x\"]}}", "{\"a\": [1]}", false},
      {"{\"a\": {\"$in\": [[1]]}}", "{\"a\": [1]}", true},
      {"{\"a\": {\"$in\": [null]}}", "{\"a\": null}", true},
      {"{\"a\": {\"$in\": [null]}}", "{}", false},
      // Numbers compare as doubles across kinds.
      {"{\"a\": {\"$gt\": 1}}", "{\"a\": 1.5}", true},
      {"{\"a\": {\"$gt\": 1.5}}", "{\"a\": 2}", true},
      {"{\"a\": {\"$gt\": -1}}", "{\"a\": 0}", true},
      {"{\"a\": {\"$lt\": -1}}", "{\"a\": -2}", true},
      {"{\"a\": {\"$lt\": 0}}", "{\"a\": -0.5}", true},
      {"{\"a\": {\"$lte\": 1}}", "{\"a\": 1.0}", true},
      {"{\"a\": {\"$lt\": 1}}", "{\"a\": 1.0}", false},
      {"{\"a\": {\"$gte\": 1.0}}", "{\"a\": 1}", true},
      {"{\"a\": {\"$gt\": 0}}", "{\"a\": -0.0}", false},
      {"{\"a\": {\"$gte\": 0}}", "{\"a\": -0.0}", true},
      {"{\"a\": {\"$gt\": 9223372036854775807}}", "{\"a\": 18446744073709551615}", true},
      {"{\"a\": {\"$lt\": -9223372036854775808}}", "{\"a\": -1e300}", true},
      // Doubles: 2^53 and 2^53+1 are the same double.
      {"{\"a\": {\"$gt\": 9007199254740992}}", "{\"a\": 9007199254740993}", false},
      {"{\"a\": {\"$gte\": 9007199254740992}}", "{\"a\": 9007199254740993}", true},
      // Strings compare bytewise, the prefix first.
      {"{\"a\": {\"$lt\": \"b\"}}", "{\"a\": \"B\"}", true},
      {"{\"a\": {\"$lt\": \"ab\"}}", "{\"a\": \"a\"}", true},
      {"{\"a\": {\"$lte\": \"a\"}}", "{\"a\": \"a\"}", true},
      {"{\"a\": {\"$gte\": \"a\"}}", "{\"a\": \"\"}", false},
      {"{\"a\": {\"$gt\": \"z\"}}", "{\"a\": \"\xc3\xa9\"}", true},  // UTF-8 bytes above ASCII
      {"{\"a\": {\"$lt\": \"\xc3\xa9\"}}", "{\"a\": \"\x7f\"}", true},
      // Never comparable.
      {"{\"a\": {\"$gte\": 5}}", "{\"a\": \"5\"}", false},
      {"{\"a\": {\"$lte\": \"5\"}}", "{\"a\": 5}", false},
      {"{\"a\": {\"$gte\": true}}", "{\"a\": true}", false},
      {"{\"a\": {\"$lte\": null}}", "{\"a\": null}", false},
      {"{\"a\": {\"$gte\": [1]}}", "{\"a\": [1]}", false},
      {"{\"a\": {\"$lte\": {}}}", "{\"a\": {}}", false},
      {"{\"a\": {\"$gt\": 0}}", "{\"a\": true}", false},
      {"{\"a\": {\"$lt\": 10}}", "{\"a\": [1]}", false},
  };
  check(std::begin(cases), std::end(cases));
}

TEST(Matches, AndOr) {
  const MatchCase cases[] = {
      {"{\"$and\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 1, \"b\": 2}", true},
      {"{\"$and\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 1, \"b\": 3}", false},
      {"{\"$or\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 0, \"b\": 2}", true},
      {"{\"$or\": [{\"a\": {\"$eq\": 1}}, {\"b\": {\"$eq\": 2}}]}", "{\"a\": 0, \"b\": 0}", false},
      {"{\"$or\": [{\"$and\": []}]}", nullptr, true},
      {"{\"$and\": [{\"$or\": []}]}", nullptr, false},
      {"{\"$or\": [{\"$and\": [{\"a\": {\"$gt\": 1}}, {\"a\": {\"$lt\": 3}}]}, {\"b\": {\"$in\": [\"x\"]}}]}",
       "{\"a\": 2}", true},
      {"{\"$or\": [{\"$and\": [{\"a\": {\"$gt\": 1}}, {\"a\": {\"$lt\": 3}}]}, {\"b\": {\"$in\": [\"x\"]}}]}",
       "{\"a\": 3, \"b\": \"x\"}", true},
      {"{\"$or\": [{\"$and\": [{\"a\": {\"$gt\": 1}}, {\"a\": {\"$lt\": 3}}]}, {\"b\": {\"$in\": [\"x\"]}}]}",
       "{\"a\": 3, \"b\": \"y\"}", false},
  };
  check(std::begin(cases), std::end(cases));
}

TEST(Matches, DeepFilterWithinTheLimit) {
  // 255 nested $and levels: object + array per level, 510 deep with the leaf.
  std::string text;
  for (int i = 0; i < 255; ++i) text += "{\"$and\":[";
  text += "{\"a\":{\"$eq\":1}}";
  for (int i = 0; i < 255; ++i) text += "]}";
  auto value = parse_json_text(text);
  ASSERT_TRUE(value.has_value());
  auto f = parse_filter(*value);
  ASSERT_TRUE(f.has_value());
  EXPECT_TRUE(matches(J("{\"a\":1}"), *f));
  EXPECT_FALSE(matches(JsonValue(), *f));
}

}  // namespace
}  // namespace kovra
