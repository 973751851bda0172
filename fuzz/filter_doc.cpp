// JSON text through parse_json_text and, when it is a value, parse_filter and
// matches() against fixed payloads and against the value itself. Every parsed
// value must also come back equal from its compact text, and the payload
// table must select exactly the payloads matches() accepts.
#include "core/collection/filter.h"
#include "core/collection/payload.h"
#include "core/collection/payload_table.h"
#include "harness.h"

namespace kovra::fuzz {
namespace {

const std::vector<JsonValue>& payloads() {
  static const std::vector<JsonValue> values = [] {
    std::vector<JsonValue> out;
    for (const char* text : {
             R"({"tag":"a","n":3,"f":2.5,"neg":-4,"ok":true,"none":null,"list":[1,"a",null]})",
             R"({"a":{"b":{"c":1}},"a.b":2,"":{"":0},"s":"\u00e9t\u00e9"})",
             R"({"tag":"b","n":-1.5e3,"nested":{"tag":"a","list":[[1,2],{"k":"v"}]}})",
             R"([1,2,3])", R"("plain")", R"(null)", R"({})",
         }) {
      auto v = parse_json_text(text);
      if (!v) std::abort();
      out.push_back(std::move(*v));
    }
    return out;
  }();
  return values;
}

void write_text(const Seeds& seeds, std::string_view name, std::string_view text) {
  // Written in the compact form a stored filter or payload has.
  auto v = parse_json_text(text);
  if (!v) std::abort();
  const std::string compact = to_compact_json(*v);
  seeds.bytes(name, std::span(reinterpret_cast<const uint8_t*>(compact.data()), compact.size()));
}

}  // namespace

void write_seeds(const Seeds& seeds) {
  write_text(seeds, "eq", R"({"tag":{"$eq":"a"}})");
  write_text(seeds, "ne", R"({"n":{"$ne":3}})");
  write_text(seeds, "in", R"({"list":{"$in":[[1,"a",null],"x",2.5,-4,true,null,{"k":"v"}]}})");
  write_text(seeds, "range",
             R"({"$and":[{"n":{"$gt":-1}},{"n":{"$gte":3}},{"f":{"$lt":3.0}},{"tag":{"$lte":"b"}}]})");
  write_text(seeds, "nested",
             R"({"$or":[{"$and":[{"a.b.c":{"$eq":1}},{"nested.tag":{"$in":["a","b"]}}]},)"
             R"({"$or":[{".":{"$eq":0}},{"a.b":{"$gte":2}}]},{"$and":[]}]})");
  write_text(seeds, "unit-variant", R"({"tag":"$eq"})");
  write_text(seeds, "both-lists", R"({"$and":[{"ok":{"$eq":true}}],"$or":[{"none":{"$eq":null}}]})");
  write_text(seeds, "two-fields", R"({"tag":{"$eq":"a"},"n":{"$eq":3}})");
}

void fuzz_one(std::span<const uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  auto value = parse_json_text(text);
  if (!value) return;
  if (json_depth(*value) > kMaxJsonDepth) std::abort();
  auto again = parse_json_text(to_compact_json(*value));
  if (!again || !json_equal(*value, *again)) std::abort();
  (void)describe_found(*value);

  auto filter = parse_filter(*value);
  if (!filter) return;
  static const JsonValue kNull;
  (void)matches(kNull, *filter);
  (void)matches(*value, *filter);
  for (const JsonValue& p : payloads()) (void)matches(p, *filter);

  // Rows: every fixed payload, the fuzzed value itself, and a row without
  // payload; then the first row rewritten, so a sorted column has a change.
  PayloadTable table;
  std::vector<SharedPayload> rows;
  for (const JsonValue& p : payloads()) rows.push_back(std::make_shared<const JsonValue>(p));
  rows.push_back(std::make_shared<const JsonValue>(*value));
  rows.push_back(nullptr);
  for (size_t i = 0; i < rows.size(); ++i) table.put(i, rows[i]);
  auto check = [&] {
    const RowSet selected = table.select(*filter);
    size_t count = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      const bool want = matches(rows[i] ? *rows[i] : kNull, *filter);
      count += want;
      if (selected.test(*table.row_of(i)) != want) std::abort();
    }
    if (selected.count != count) std::abort();
  };
  check();
  rows[0] = rows[rows.size() - 2];
  table.put(0, rows[0]);
  check();
}

}  // namespace kovra::fuzz
