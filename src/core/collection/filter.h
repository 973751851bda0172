// Filters over payloads: the condition tree, its parser from a JSON value and
// its allocation-free evaluation.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "core/collection/payload.h"

namespace kovra {

enum class FilterOperator { Eq, Ne, In, Gt, Gte, Lt, Lte };

// One node of a filter. A Field node holds its path both as given and split on
// every '.' (empty segments kept), so evaluation needs no allocation.
struct FilterCondition {
  enum class Kind { Field, And, Or };

  Kind kind = Kind::And;
  // Field only.
  std::string path;
  std::vector<std::string> segments;
  FilterOperator op = FilterOperator::Eq;
  JsonValue operand;               // all operators but In
  std::vector<JsonValue> in_list;  // In
  // And / Or, evaluated in order.
  std::vector<FilterCondition> children;
};

// Builds the tree from a filter value. On failure returns the description used
// after "invalid filter: ".
std::expected<FilterCondition, std::string> parse_filter(const JsonValue& value);

// Allocation-free evaluation; callers pass a null JsonValue for an id without
// payload.
bool matches(const JsonValue& payload, const FilterCondition& condition);

// The value at a field path's segments (nullptr when a step is not an object
// or lacks the key), and a number of any kind as a double (false for other
// kinds): the two steps every evaluation of a field shares.
const JsonValue* resolve_path(const JsonValue& payload, const std::vector<std::string>& segments);
bool json_number(const JsonValue& v, double* out);

// "<found>" text of a value in parse errors, e.g. "integer `5`", "map".
std::string describe_found(const JsonValue& v);

}  // namespace kovra
