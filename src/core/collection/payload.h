// Payload values: the JSON value model of collections, its equality, compact
// text form and a depth-limited, non-throwing parser.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kovra {

// Payload and filter value. nlohmann's object is a std::map (keys sorted
// bytewise, unique). Invariant kept by every constructor in this module:
// number_integer is only used for values < 0; zero and positive integers are
// number_unsigned; floats are finite.
using JsonValue = nlohmann::json;

// Deepest accepted nesting: lists and objects count as levels, a scalar at the
// top is depth 0, `[1]` depth 1, `{"a":[1]}` depth 2.
inline constexpr size_t kMaxJsonDepth = 512;

// Equality of filters: kinds must match (int 1 != float 1.0), arrays elementwise,
// objects by sorted keys. Floats by IEEE equality.
bool json_equal(const JsonValue& a, const JsonValue& b);

// Compact JSON text (no whitespace, keys in sorted order). Floats round-trip
// exactly (shortest form that reads back to the same double).
std::string to_compact_json(const JsonValue& v);

// One JSON value followed only by ' ', '\t', '\n', '\r'. nullopt on any syntax
// error, invalid UTF-8, nesting deeper than kMaxJsonDepth, or a non-finite
// number. Normalises to the invariant above (e.g. "-0" becomes unsigned 0).
// Never throws, never recurses.
std::optional<JsonValue> parse_json_text(std::string_view text);

// Depth as defined above, computed iteratively.
size_t json_depth(const JsonValue& v);

}  // namespace kovra
