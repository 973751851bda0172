#include "core/collection/payload_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kovra {
namespace {

FilterCondition F(std::string_view text) {
  auto v = parse_json_text(text);
  EXPECT_TRUE(v.has_value()) << text;
  auto c = parse_filter(v ? *v : JsonValue());
  EXPECT_TRUE(c.has_value()) << text;
  return c ? *c : FilterCondition{};
}

// Integers are built unsigned when not negative, as every payload is.
// Payloads that exercise every kind a field can hold: integers of both signs,
// floats equal to integers, strings with shared prefixes, booleans, nulls,
// arrays, objects, nested paths, a key holding a literal dot, missing fields.
SharedPayload random_payload(std::mt19937_64& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  if (pick(12) == 0) return nullptr;
  if (pick(25) == 0) return std::make_shared<const JsonValue>(JsonValue(uint64_t(pick(2) == 0 ? 7 : 0)));  // not an object
  JsonValue p = JsonValue::object();
  switch (pick(7)) {
    case 0: p["n"] = static_cast<uint64_t>(pick(10)); break;
    case 1: p["n"] = static_cast<int64_t>(-1 - pick(3)); break;
    case 2: p["n"] = static_cast<double>(pick(10)); break;
    case 3: p["n"] = pick(10) + 0.5; break;
    case 4: p["n"] = "5"; break;
    case 5: p["n"] = nullptr; break;
    default: break;  // missing
  }
  static const char* kWords[] = {"", "a", "ab", "abc", "b", "ba", "z", "\xc3\xa9t\xc3\xa9"};
  if (pick(5) != 0) p["s"] = kWords[pick(8)];
  if (pick(3) == 0) p["b"] = pick(2) == 0;
  switch (pick(5)) {
    case 0: p["a"] = {{"b", static_cast<uint64_t>(pick(4))}}; break;
    case 1: p["a"] = {{"b", {{"c", "x"}}}}; break;
    case 2: p["a"] = uint64_t{3}; break;
    case 3: p["a.b"] = static_cast<uint64_t>(pick(4)); break;
    default: break;
  }
  if (pick(4) == 0) p["arr"] = pick(2) == 0 ? JsonValue::array({uint64_t{1}, uint64_t{2}}) : JsonValue::array({uint64_t{1}});
  if (pick(6) == 0) p["big"] = pick(2) == 0 ? uint64_t{18446744073709551615ull} : uint64_t{18446744073709551614ull};
  return std::make_shared<const JsonValue>(std::move(p));
}

// Every operator on every kind of field, and the combinations.
const char* kFilters[] = {
    R"({"n": {"$eq": 3}})",
    R"({"n": {"$eq": 3.0}})",
    R"({"n": {"$eq": 3.5}})",
    R"({"n": {"$eq": -2}})",
    R"({"n": {"$eq": "5"}})",
    R"({"n": {"$eq": null}})",
    R"({"n": {"$ne": 3}})",
    R"({"n": {"$ne": null}})",
    R"({"n": {"$gt": 4}})",
    R"({"n": {"$gte": 4}})",
    R"({"n": {"$lt": 4}})",
    R"({"n": {"$lte": 4.0}})",
    R"({"n": {"$lt": 0}})",
    R"({"n": {"$gt": "4"}})",
    R"({"n": {"$lt": true}})",
    R"({"n": {"$in": [1, 2.0, -1, "5", null]}})",
    R"({"n": {"$in": []}})",
    R"({"s": {"$eq": "ab"}})",
    R"({"s": {"$eq": ""}})",
    R"({"s": {"$ne": "ab"}})",
    R"({"s": {"$gt": "ab"}})",
    R"({"s": {"$gte": "ab"}})",
    R"({"s": {"$lt": "b"}})",
    R"({"s": {"$lte": "b"}})",
    R"({"s": {"$gt": "z"}})",
    R"({"s": {"$gt": 1}})",
    R"({"s": {"$in": ["a", "z", "zz"]}})",
    R"({"b": {"$eq": true}})",
    R"({"b": {"$ne": true}})",
    R"({"b": {"$gt": false}})",
    R"({"a.b": {"$eq": 1}})",
    R"({"a.b": {"$gte": 2}})",
    R"({"a.b.c": {"$eq": "x"}})",
    R"({"a": {"$eq": 3}})",
    R"({"a": {"$eq": {"b": 1}}})",
    R"({"a": {"$ne": {"b": 1}}})",
    R"({"arr": {"$eq": [1, 2]}})",
    R"({"arr": {"$in": [[1], 1]}})",
    R"({"arr": {"$ne": [1]}})",
    R"({"big": {"$eq": 18446744073709551615}})",
    R"({"big": {"$gte": 18446744073709551615}})",
    R"({"missing": {"$ne": 1}})",
    R"({"": {"$eq": 1}})",
    R"({"$and": []})",
    R"({"$or": []})",
    R"({"$and": [{"n": {"$gte": 2}}, {"n": {"$lt": 7}}, {"s": {"$ne": "a"}}]})",
    R"({"$or": [{"n": {"$eq": 1}}, {"s": {"$eq": "z"}}, {"$and": [{"b": {"$eq": false}}, {"a.b": {"$lt": 2}}]}]})",
    R"({"$and": [{"$or": [{"n": {"$lt": 1}}, {"n": {"$gt": 8}}]}, {"$and": []}]})",
};

class PayloadTableTest : public ::testing::TestWithParam<const char*> {};

// The rows a filter selects are exactly those whose payload matches, through
// a first build, a stream of writes the sorted lists have not seen, and enough
// writes to force a re-sort, with rows reused after deletes.
TEST_P(PayloadTableTest, SelectsExactlyWhatMatchesSelects) {
  const FilterCondition filter = F(GetParam());
  std::mt19937_64 rng(42);
  PayloadTable table;
  std::vector<SharedPayload> model(3000);
  std::vector<bool> live(model.size(), false);
  const JsonValue null_value;
  auto check = [&](const char* stage) {
    RowSet rows = table.select(filter);
    size_t expected = 0;
    for (VectorId id = 0; id < model.size(); ++id) {
      const bool want = live[id] && matches(model[id] ? *model[id] : null_value, filter);
      expected += want;
      auto row = table.row_of(id);
      ASSERT_EQ(row.has_value(), static_cast<bool>(live[id])) << stage << " id " << id;
      if (row) {
        ASSERT_EQ(rows.test(*row), want) << stage << " id " << id;
      }
    }
    ASSERT_EQ(rows.count, expected) << stage;
  };
  auto write = [&](VectorId id) {
    if (rng() % 5 == 0) {
      table.erase(id);
      live[id] = false;
      model[id] = nullptr;
    } else {
      model[id] = random_payload(rng);
      live[id] = true;
      table.put(id, model[id]);
    }
  };

  for (VectorId id = 0; id < 2000; ++id) write(id);
  check("first build");
  for (int i = 0; i < 300; ++i) write(rng() % model.size());
  check("after a few writes");
  for (int i = 0; i < 3000; ++i) write(rng() % model.size());
  check("after many writes");
  for (VectorId id = 0; id < model.size(); id += 2) {
    table.erase(id);
    live[id] = false;
  }
  check("after deleting half");
  for (int i = 0; i < 20000; ++i) write(rng() % model.size());
  check("after the sorted lists were dropped");
}

INSTANTIATE_TEST_SUITE_P(Filters, PayloadTableTest, ::testing::ValuesIn(kFilters));

TEST(PayloadTable, RowsFollowTheLiveIds) {
  PayloadTable table;
  table.put(10, std::make_shared<const JsonValue>(JsonValue{{"k", uint64_t{1}}}));
  table.put(20, nullptr);
  table.keep(20);  // keeps its (absent) payload
  table.keep(30);  // a new row without payload
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.select(F(R"({"k": {"$eq": 1}})")).count, 1u);
  table.erase(10);
  table.erase(10);  // absent: nothing happens
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.get(10), nullptr);
  EXPECT_EQ(table.select(F(R"({"$and": []})")).count, 2u);
  table.put(40, std::make_shared<const JsonValue>(JsonValue{{"k", uint64_t{1}}}));  // reuses the freed row
  EXPECT_EQ(table.row_of(40), 0u);
  EXPECT_EQ(table.select(F(R"({"k": {"$eq": 1}})")).count, 1u);
  EXPECT_EQ(table.id_at(0), 40u);
  table.clear();
  EXPECT_EQ(table.select(F(R"({"$and": []})")).count, 0u);
}

// A column of one integer field costs its cell (9 bytes) and its sorted entry
// (16 bytes) per row, not a copy of the payloads.
TEST(PayloadTable, ColumnsCostAFewBytesPerRow) {
  PayloadTable table;
  constexpr size_t kRows = 20000;
  for (VectorId id = 0; id < kRows; ++id)
    table.put(id, std::make_shared<const JsonValue>(JsonValue{{"r", id % 1000}, {"text", std::string(200, 'x')}}));
  const size_t rows_only = table.memory_bytes();
  EXPECT_EQ(table.select(F(R"({"r": {"$lt": 10}})")).count, 200u);
  const double per_row = static_cast<double>(table.memory_bytes() - rows_only) / kRows;
  EXPECT_GE(per_row, 25.0);
  EXPECT_LE(per_row, 40.0);
}

}  // namespace
}  // namespace kovra

namespace kovra {
namespace {

// A batch lookup answers exactly as one lookup per id does, whatever the
// group boundaries, repeats, absent and erased ids, and rows without payload.
TEST(PayloadTableLookups, ManyAtOnceAnswerAsOneAtATime) {
  std::mt19937_64 rng(11);
  PayloadTable table;
  for (VectorId id = 0; id < 300; ++id) table.put(id * 7, random_payload(rng));
  for (VectorId id = 0; id < 300; id += 5) table.erase(id * 7);
  struct Case {
    const char* what;
    std::vector<VectorId> ids;
  };
  std::vector<VectorId> many;
  for (VectorId i = 0; i < 70; ++i) many.push_back((i * 37 % 310) * 7 + (i % 9 == 0 ? 1 : 0));
  const Case cases[] = {
      {"none", {}},
      {"one present", {14}},
      {"absent and erased", {1, 0, 35, 2'100}},
      {"repeats", {21, 21, 21}},
      {"more than one group", many},
  };
  for (const Case& c : cases) {
    std::vector<SharedPayload> got;
    table.shared_many(c.ids, got);
    ASSERT_EQ(got.size(), c.ids.size()) << c.what;
    for (size_t i = 0; i < c.ids.size(); ++i) EXPECT_EQ(got[i], table.shared(c.ids[i])) << c.what << " " << i;
  }
}

}  // namespace
}  // namespace kovra
