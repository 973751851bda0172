#include "core/collection/payload.h"

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kovra {
namespace {

using value_t = JsonValue::value_t;

// Builds a JsonValue from the parser's events without recursion, refusing
// nesting beyond kMaxJsonDepth and non-finite numbers. Every event returns
// false to stop the parse; nothing throws on bad input.
class Builder {
 public:
  using number_integer_t = JsonValue::number_integer_t;
  using number_unsigned_t = JsonValue::number_unsigned_t;
  using number_float_t = JsonValue::number_float_t;
  using string_t = JsonValue::string_t;
  using binary_t = JsonValue::binary_t;

  explicit Builder(JsonValue& root) : root_(root) {}

  bool null() { return put(JsonValue()) != nullptr; }
  bool boolean(bool v) { return put(JsonValue(v)) != nullptr; }
  bool number_integer(number_integer_t v) {
    if (v >= 0) return put(JsonValue(static_cast<number_unsigned_t>(v))) != nullptr;
    return put(JsonValue(v)) != nullptr;
  }
  bool number_unsigned(number_unsigned_t v) { return put(JsonValue(v)) != nullptr; }
  bool number_float(number_float_t v, const string_t&) {
    if (!std::isfinite(v)) return false;
    return put(JsonValue(v)) != nullptr;
  }
  bool string(string_t& s) { return put(JsonValue(std::move(s))) != nullptr; }
  bool binary(binary_t&) { return false; }
  bool start_object(std::size_t) { return open(value_t::object); }
  bool key(string_t& k) {
    JsonValue* top = stack_.back();
    // A repeated key keeps the last value.
    slot_ = &top->get_ref<JsonValue::object_t&>()[k];
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(value_t::array); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const JsonValue::exception&) { return false; }

  bool complete() const { return done_ && stack_.empty(); }

 private:
  JsonValue* put(JsonValue&& v) {
    if (stack_.empty()) {
      if (done_) return nullptr;
      root_ = std::move(v);
      done_ = true;
      return &root_;
    }
    JsonValue* top = stack_.back();
    if (top->is_array()) {
      auto& arr = top->get_ref<JsonValue::array_t&>();
      arr.push_back(std::move(v));
      return &arr.back();
    }
    if (!slot_) return nullptr;
    *slot_ = std::move(v);
    JsonValue* r = slot_;
    slot_ = nullptr;
    return r;
  }
  bool open(value_t kind) {
    if (stack_.size() >= kMaxJsonDepth) return false;
    JsonValue* v = put(JsonValue(kind));
    if (!v) return false;
    stack_.push_back(v);
    return true;
  }
  bool close() {
    if (stack_.empty()) return false;
    stack_.pop_back();
    return true;
  }

  JsonValue& root_;
  std::vector<JsonValue*> stack_;
  JsonValue* slot_ = nullptr;
  bool done_ = false;
};

bool number_equal(const JsonValue& a, const JsonValue& b) {
  switch (a.type()) {
    case value_t::number_unsigned:
      return a.get_ref<const JsonValue::number_unsigned_t&>() == b.get_ref<const JsonValue::number_unsigned_t&>();
    case value_t::number_integer:
      return a.get_ref<const JsonValue::number_integer_t&>() == b.get_ref<const JsonValue::number_integer_t&>();
    case value_t::number_float:
      return a.get_ref<const JsonValue::number_float_t&>() == b.get_ref<const JsonValue::number_float_t&>();
    default:
      return false;
  }
}

}  // namespace

bool json_equal(const JsonValue& a, const JsonValue& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case value_t::null:
    case value_t::discarded:
      return true;
    case value_t::boolean:
      return a.get_ref<const JsonValue::boolean_t&>() == b.get_ref<const JsonValue::boolean_t&>();
    case value_t::number_unsigned:
    case value_t::number_integer:
    case value_t::number_float:
      return number_equal(a, b);
    case value_t::string:
      return a.get_ref<const JsonValue::string_t&>() == b.get_ref<const JsonValue::string_t&>();
    case value_t::binary:
      return a.get_ref<const JsonValue::binary_t&>() == b.get_ref<const JsonValue::binary_t&>();
    case value_t::array: {
      const auto& x = a.get_ref<const JsonValue::array_t&>();
      const auto& y = b.get_ref<const JsonValue::array_t&>();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!json_equal(x[i], y[i])) return false;
      }
      return true;
    }
    case value_t::object: {
      const auto& x = a.get_ref<const JsonValue::object_t&>();
      const auto& y = b.get_ref<const JsonValue::object_t&>();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !json_equal(i->second, j->second)) return false;
      }
      return true;
    }
  }
  return false;
}

std::string to_compact_json(const JsonValue& v) {
  // Strings in stored values are valid UTF-8; "replace" only keeps dump() from
  // throwing on a value built elsewhere.
  return v.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

std::optional<JsonValue> parse_json_text(std::string_view text) {
  // nlohmann skips a leading byte-order mark; plain JSON text has none.
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
    return std::nullopt;
  }
  // nlohmann's lexer takes a NUL byte for the end of the input; valid JSON text
  // never holds one (a NUL in a string must be escaped).
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  try {
    JsonValue root;
    Builder builder(root);
    const bool ok = JsonValue::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                                         /*strict=*/true, /*ignore_comments=*/false);
    if (!ok || !builder.complete()) return std::nullopt;
    return root;
  } catch (...) {
    return std::nullopt;
  }
}

size_t json_depth(const JsonValue& v) {
  size_t best = 0;
  std::vector<std::pair<const JsonValue*, size_t>> stack{{&v, 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (node->is_array()) {
      const size_t d = depth + 1;
      if (d > best) best = d;
      for (const auto& child : node->get_ref<const JsonValue::array_t&>()) stack.emplace_back(&child, d);
    } else if (node->is_object()) {
      const size_t d = depth + 1;
      if (d > best) best = d;
      for (const auto& [key, child] : node->get_ref<const JsonValue::object_t&>()) stack.emplace_back(&child, d);
    }
  }
  return best;
}

}  // namespace kovra
