#include "core/collection/filter.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <utility>

namespace kovra {
namespace {

using value_t = JsonValue::value_t;

constexpr std::string_view kSingleField = "FilterCondition must be $and, $or, or a single field predicate";

std::string float_text(double d) {
  std::array<char, 64> buf;
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), d);
  if (ec != std::errc()) return "?";
  std::string s(buf.data(), end);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string invalid_type(const JsonValue& found, std::string_view expected) {
  std::string s = "invalid type: ";
  s += describe_found(found);
  s += ", expected ";
  s += expected;
  return s;
}

bool operator_from_name(std::string_view name, FilterOperator* op) {
  static constexpr std::pair<std::string_view, FilterOperator> kNames[] = {
      {"$eq", FilterOperator::Eq},   {"$ne", FilterOperator::Ne},  {"$in", FilterOperator::In},
      {"$gt", FilterOperator::Gt},   {"$gte", FilterOperator::Gte}, {"$lt", FilterOperator::Lt},
      {"$lte", FilterOperator::Lte},
  };
  for (const auto& [n, o] : kNames) {
    if (n == name) {
      *op = o;
      return true;
    }
  }
  return false;
}

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t dot = path.find('.', start);
    if (dot == std::string_view::npos) {
      out.emplace_back(path.substr(start));
      return out;
    }
    out.emplace_back(path.substr(start, dot - start));
    start = dot + 1;
  }
}

std::expected<FilterCondition, std::string> parse_list(const JsonValue& list, FilterCondition::Kind kind) {
  if (!list.is_array()) return std::unexpected(invalid_type(list, "a sequence"));
  FilterCondition node;
  node.kind = kind;
  const auto& items = list.get_ref<const JsonValue::array_t&>();
  node.children.reserve(items.size());
  for (const auto& item : items) {
    auto child = parse_filter(item);
    if (!child) return std::unexpected(std::move(child.error()));
    node.children.push_back(std::move(*child));
  }
  return node;
}

}  // namespace

bool json_number(const JsonValue& v, double* out) {
  switch (v.type()) {
    case value_t::number_unsigned:
      *out = static_cast<double>(v.get_ref<const JsonValue::number_unsigned_t&>());
      return true;
    case value_t::number_integer:
      *out = static_cast<double>(v.get_ref<const JsonValue::number_integer_t&>());
      return true;
    case value_t::number_float:
      *out = v.get_ref<const JsonValue::number_float_t&>();
      return true;
    default:
      return false;
  }
}

const JsonValue* resolve_path(const JsonValue& payload, const std::vector<std::string>& segments) {
  const JsonValue* cur = &payload;
  for (const auto& seg : segments) {
    if (!cur->is_object()) return nullptr;
    const auto& obj = cur->get_ref<const JsonValue::object_t&>();
    auto it = obj.find(seg);
    if (it == obj.end()) return nullptr;
    cur = &it->second;
  }
  return cur;
}

namespace {

// -1, 0, 1 for a comparable pair; false when the kinds cannot be ordered.
bool order(const JsonValue& f, const JsonValue& o, int* cmp) {
  if (f.is_string() && o.is_string()) {
    // std::string compares through char_traits<char>, i.e. as unsigned bytes.
    int c = f.get_ref<const JsonValue::string_t&>().compare(o.get_ref<const JsonValue::string_t&>());
    *cmp = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return true;
  }
  double x, y;
  if (json_number(f, &x) && json_number(o, &y)) {
    if (x < y) *cmp = -1;
    else if (x > y) *cmp = 1;
    else *cmp = 0;  // floats are finite, so no NaN reaches here
    return true;
  }
  return false;
}

bool field_matches(const JsonValue& payload, const FilterCondition& c) {
  const JsonValue* f = resolve_path(payload, c.segments);
  if (!f) return false;
  int cmp = 0;
  switch (c.op) {
    case FilterOperator::Eq:
      return json_equal(*f, c.operand);
    case FilterOperator::Ne:
      return !json_equal(*f, c.operand);
    case FilterOperator::In:
      for (const auto& v : c.in_list) {
        if (json_equal(*f, v)) return true;
      }
      return false;
    case FilterOperator::Gt:
      return order(*f, c.operand, &cmp) && cmp > 0;
    case FilterOperator::Gte:
      return order(*f, c.operand, &cmp) && cmp >= 0;
    case FilterOperator::Lt:
      return order(*f, c.operand, &cmp) && cmp < 0;
    case FilterOperator::Lte:
      return order(*f, c.operand, &cmp) && cmp <= 0;
  }
  return false;
}

}  // namespace

std::string describe_found(const JsonValue& v) {
  switch (v.type()) {
    case value_t::null:
    case value_t::discarded:
      return "unit value";
    case value_t::boolean:
      return v.get_ref<const JsonValue::boolean_t&>() ? "boolean `true`" : "boolean `false`";
    case value_t::number_unsigned:
      return "integer `" + std::to_string(v.get_ref<const JsonValue::number_unsigned_t&>()) + "`";
    case value_t::number_integer:
      return "integer `" + std::to_string(v.get_ref<const JsonValue::number_integer_t&>()) + "`";
    case value_t::number_float:
      return "floating point `" + float_text(v.get_ref<const JsonValue::number_float_t&>()) + "`";
    case value_t::string:
      // JSON-style quoting and escapes.
      return "string " + v.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
    case value_t::binary:
      return "byte array";
    case value_t::array:
      return "sequence";
    case value_t::object:
      return "map";
  }
  return "unit value";
}

std::expected<FilterCondition, std::string> parse_filter(const JsonValue& value) {
  if (!value.is_object()) return std::unexpected(invalid_type(value, "a map"));
  const auto& obj = value.get_ref<const JsonValue::object_t&>();
  if (auto it = obj.find(std::string_view("$and")); it != obj.end()) {
    return parse_list(it->second, FilterCondition::Kind::And);
  }
  if (auto it = obj.find(std::string_view("$or")); it != obj.end()) {
    return parse_list(it->second, FilterCondition::Kind::Or);
  }
  if (obj.size() != 1) return std::unexpected(std::string(kSingleField));
  const auto& [path, spec] = *obj.begin();

  std::string_view name;
  const JsonValue* operand = nullptr;
  if (spec.is_object()) {
    const auto& inner = spec.get_ref<const JsonValue::object_t&>();
    if (inner.size() != 1) return std::unexpected(std::string("invalid value: map, expected map with a single key"));
    name = inner.begin()->first;
    operand = &inner.begin()->second;
  } else if (spec.is_string()) {
    name = spec.get_ref<const JsonValue::string_t&>();
  } else {
    return std::unexpected(invalid_type(spec, "string or map"));
  }

  FilterOperator op;
  if (!operator_from_name(name, &op)) {
    std::string s = "unknown variant `";
    s += name;
    s += "`, expected one of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`";
    return std::unexpected(std::move(s));
  }
  if (!operand) return std::unexpected(std::string("invalid type: unit variant, expected newtype variant"));

  FilterCondition node;
  node.kind = FilterCondition::Kind::Field;
  node.path = path;
  node.segments = split_path(path);
  node.op = op;
  if (op == FilterOperator::In) {
    if (!operand->is_array()) return std::unexpected(invalid_type(*operand, "a sequence"));
    node.in_list = operand->get_ref<const JsonValue::array_t&>();
  } else {
    node.operand = *operand;
  }
  return node;
}

bool matches(const JsonValue& payload, const FilterCondition& condition) {
  switch (condition.kind) {
    case FilterCondition::Kind::And:
      for (const auto& child : condition.children) {
        if (!matches(payload, child)) return false;
      }
      return true;
    case FilterCondition::Kind::Or:
      for (const auto& child : condition.children) {
        if (matches(payload, child)) return true;
      }
      return false;
    case FilterCondition::Kind::Field:
      return field_matches(payload, condition);
  }
  return false;
}

}  // namespace kovra
