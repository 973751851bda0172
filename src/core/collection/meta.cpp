#include "core/collection/meta.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iterator>
#include <nlohmann/json.hpp>
#include <span>
#include <vector>

#include "core/index/binary_flat.h"
#include "core/index/flat.h"
#include "core/index/ivf.h"
#include "core/index/mmap_flat.h"
#include "core/index/quantized_flat.h"
#include "core/index/quantized_fp16.h"
#include "core/io/file.h"

namespace kovra {
namespace {

constexpr std::array<std::string_view, 9> kIndexTypeNames = {
    "flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat", "faiss"};
constexpr std::array<std::string_view, 3> kMetricNames = {"l2", "cosine", "dot_product"};

// Deeper input is refused instead of growing the tree without bound.
constexpr size_t kMaxDepth = 128;

// ---- Writing ----------------------------------------------------------------

// A JSON string literal: quote, backslash and control characters escaped,
// everything else (UTF-8 included) as it is.
void put_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

// Emits objects one key per line with two spaces per level.
class IndentedWriter {
 public:
  void begin_object() {
    out_ += '{';
    ++depth_;
    first_ = true;
  }
  void end_object() {
    --depth_;
    newline();
    out_ += '}';
    first_ = false;
  }
  void key(std::string_view k) {
    if (!first_) out_ += ',';
    first_ = false;
    newline();
    put_json_string(out_, k);
    out_ += ": ";
  }
  void field(std::string_view k, uint64_t v) {
    key(k);
    out_ += std::to_string(v);
  }
  void field(std::string_view k, std::string_view v) {
    key(k);
    put_json_string(out_, v);
  }
  std::string take() { return std::move(out_); }

 private:
  void newline() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
  }
  std::string out_;
  size_t depth_ = 0;
  bool first_ = true;
};

void put_hnsw(IndentedWriter& w, std::string_view key, const HnswConfig& c) {
  w.key(key);
  w.begin_object();
  w.field("ef_construction", c.ef_construction);
  w.field("ef_search", c.ef_search);
  w.field("m", c.m);
  w.end_object();
}

void put_ivf_fields(IndentedWriter& w, uint64_t n_lists, uint64_t nprobe, uint64_t train_size, uint64_t max_iter) {
  w.field("n_lists", n_lists);
  w.field("nprobe", nprobe);
  w.field("train_size", train_size);
  w.field("max_iter", max_iter);
}

// ---- Reading: a tree of JSON values with their end positions -----------------

struct JsonNode {
  enum class Kind { Null, Bool, Unsigned, Negative, Float, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  uint64_t unsigned_value = 0;
  int64_t negative_value = 0;
  double float_value = 0.0;
  std::string text;
  std::vector<JsonNode> items;      // array elements, or object values
  std::vector<std::string> keys;    // object keys, one per value
  std::vector<size_t> key_ends;     // input offset just past each key
  size_t end = 0;                   // input offset just past the value
};

// A failure and the number of input characters consumed when it was found.
struct Failure {
  std::string text;
  size_t at;
};
template <class T>
using Parsed = std::expected<T, Failure>;

// Counts the characters the parser consumes, so that callbacks know where the
// parser stands.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* p, size_t* consumed) : p_(p), consumed_(consumed) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    ++*consumed_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& o) const { return p_ == o.p_; }

 private:
  const char* p_;
  size_t* consumed_;
};

class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
 public:
  TreeBuilder(std::string_view input, const size_t* consumed) : input_(input), consumed_(consumed) {}

  bool null() override { return add(JsonNode{}); }
  bool boolean(bool v) override {
    JsonNode n;
    n.kind = JsonNode::Kind::Bool;
    n.boolean = v;
    return add(std::move(n));
  }
  bool number_integer(number_integer_t v) override {
    JsonNode n;
    n.kind = JsonNode::Kind::Negative;
    n.negative_value = v;
    return add_number(std::move(n));
  }
  bool number_unsigned(number_unsigned_t v) override {
    JsonNode n;
    n.kind = JsonNode::Kind::Unsigned;
    n.unsigned_value = v;
    return add_number(std::move(n));
  }
  bool number_float(number_float_t v, const string_t&) override {
    JsonNode n;
    n.kind = JsonNode::Kind::Float;
    n.float_value = v;
    return add_number(std::move(n));
  }
  bool string(string_t& v) override {
    JsonNode n;
    n.kind = JsonNode::Kind::String;
    n.text = std::move(v);
    return add(std::move(n));
  }
  bool binary(binary_t&) override { return false; }  // not produced by JSON input
  bool start_object(std::size_t) override { return open(JsonNode::Kind::Object); }
  bool key(string_t& k) override {
    open_.back().keys.push_back(std::move(k));
    open_.back().key_ends.push_back(*consumed_);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JsonNode::Kind::Array); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    // what() is "[json.exception...] parse error at line L, column C: <text>";
    // the position is reported in our own form instead.
    std::string_view what = ex.what();
    size_t colon = what.find(": ");
    if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    failure_ = Failure{std::string(what), *consumed_};
    return false;
  }

  std::optional<Failure>& failure() { return failure_; }
  JsonNode& root() { return root_; }

 private:
  bool open(JsonNode::Kind kind) {
    if (open_.size() >= kMaxDepth) {
      failure_ = Failure{"recursion limit exceeded", *consumed_};
      return false;
    }
    JsonNode n;
    n.kind = kind;
    open_.push_back(std::move(n));
    return true;
  }
  bool close() {
    JsonNode n = std::move(open_.back());
    open_.pop_back();
    return add(std::move(n));
  }
  // The lexer reads one character past a number unless the input ends there;
  // a number always ends in a digit.
  bool add_number(JsonNode n) {
    size_t end = *consumed_;
    if (end > 0 && !(input_[end - 1] >= '0' && input_[end - 1] <= '9')) --end;
    n.end = end;
    return place(std::move(n));
  }
  bool add(JsonNode n) {
    n.end = *consumed_;
    return place(std::move(n));
  }
  bool place(JsonNode n) {
    if (open_.empty()) root_ = std::move(n);
    else open_.back().items.push_back(std::move(n));
    return true;
  }

  std::string_view input_;
  const size_t* consumed_;
  std::vector<JsonNode> open_;  // containers being filled, innermost last
  JsonNode root_;
  std::optional<Failure> failure_;
};

// "line N column M" of the last consumed character, 1-based; a newline moves
// to column 0 of the next line, and nothing consumed is line 1 column 0.
std::string position_text(std::string_view input, size_t at) {
  std::string_view before = input.substr(0, std::min(at, input.size()));
  size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  size_t last_newline = before.rfind('\n');
  size_t column = last_newline == std::string_view::npos ? before.size() : before.size() - last_newline - 1;
  return "line " + std::to_string(line) + " column " + std::to_string(column);
}

// Shortest round-trip decimal, always with a decimal point when finite.
std::string float_text(double v) {
  if (!std::isfinite(v)) return std::isnan(v) ? "NaN" : (v > 0 ? "inf" : "-inf");
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  std::string s(buf, ec == std::errc() ? end : buf);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

// What a value is, for "invalid type" messages.
std::string describe(const JsonNode& n) {
  switch (n.kind) {
    case JsonNode::Kind::Null: return "null";
    case JsonNode::Kind::Bool: return n.boolean ? "boolean `true`" : "boolean `false`";
    case JsonNode::Kind::Unsigned: return "integer `" + std::to_string(n.unsigned_value) + "`";
    case JsonNode::Kind::Negative: return "integer `" + std::to_string(n.negative_value) + "`";
    case JsonNode::Kind::Float: return "floating point `" + float_text(n.float_value) + "`";
    case JsonNode::Kind::String: return "string " + quote_escaped(n.text);
    case JsonNode::Kind::Array: return "sequence";
    case JsonNode::Kind::Object: return "map";
  }
  return "value";
}

std::unexpected<Failure> invalid_type(const JsonNode& n, std::string_view expected) {
  return std::unexpected(Failure{"invalid type: " + describe(n) + ", expected " + std::string(expected), n.end});
}

Parsed<uint64_t> read_u64(const JsonNode& n) {
  if (n.kind == JsonNode::Kind::Unsigned) return n.unsigned_value;
  if (n.kind == JsonNode::Kind::Negative) {
    return std::unexpected(Failure{"invalid value: " + describe(n) + ", expected u64", n.end});
  }
  return invalid_type(n, "u64");
}

Parsed<std::string> read_string(const JsonNode& n) {
  if (n.kind == JsonNode::Kind::String) return n.text;
  return invalid_type(n, "a string");
}

// The position of `name` in `names`, or an "unknown variant" failure.
template <size_t N>
Parsed<uint32_t> read_variant(const JsonNode& n, std::string_view enum_name,
                              const std::array<std::string_view, N>& names) {
  if (n.kind != JsonNode::Kind::String) return invalid_type(n, "enum " + std::string(enum_name));
  for (size_t i = 0; i < N; ++i) {
    if (names[i] == n.text) return static_cast<uint32_t>(i);
  }
  std::string text = "unknown variant `" + n.text + "`, expected one of ";
  for (size_t i = 0; i < N; ++i) {
    if (i) text += ", ";
    text.append("`").append(names[i]).append("`");
  }
  return std::unexpected(Failure{std::move(text), n.end});
}

// A record given as an object (by key) or an array (by position). `fields`
// lists the keys in declaration order; the result has one slot per field,
// nullptr where the field is not given. An array needs at least `min_items`
// elements and at most one per field.
class Record {
 public:
  static Parsed<Record> of(const JsonNode& n, std::string_view input, std::string_view name,
                           std::span<const std::string_view> fields, size_t min_items) {
    Record r(n, fields);
    if (n.kind == JsonNode::Kind::Object) {
      for (size_t k = 0; k < n.keys.size(); ++k) {
        auto it = std::find(fields.begin(), fields.end(), n.keys[k]);
        if (it == fields.end()) continue;  // unknown keys are skipped with their values
        const JsonNode*& slot = r.slots_[static_cast<size_t>(it - fields.begin())];
        if (slot) return std::unexpected(Failure{"duplicate field `" + n.keys[k] + "`", n.key_ends[k]});
        slot = &n.items[k];
      }
      return r;
    }
    if (n.kind == JsonNode::Kind::Array) {
      if (n.items.size() < min_items) {
        return std::unexpected(Failure{"invalid length " + std::to_string(n.items.size()) + ", expected struct " +
                                           std::string(name) + " with " + std::to_string(fields.size()) +
                                           " elements",
                                       n.end});
      }
      if (n.items.size() > fields.size()) {
        // Reported at the first character of the first element too many.
        size_t at = n.items[fields.size() - 1].end;
        while (at < input.size() && (input[at] == ',' || std::isspace(static_cast<unsigned char>(input[at])))) ++at;
        return std::unexpected(Failure{"trailing characters", at + 1});
      }
      for (size_t i = 0; i < n.items.size(); ++i) r.slots_[i] = &n.items[i];
      return r;
    }
    return invalid_type(n, "struct " + std::string(name));
  }

  const JsonNode* get(size_t i) const { return slots_[i]; }
  // The field's value, or a "missing field" failure at the record's end.
  Parsed<const JsonNode*> required(size_t i) const {
    if (slots_[i]) return slots_[i];
    return std::unexpected(Failure{"missing field `" + std::string(fields_[i]) + "`", node_->end});
  }
  // Null counts as absent for optional fields.
  const JsonNode* optional(size_t i) const {
    return slots_[i] && slots_[i]->kind != JsonNode::Kind::Null ? slots_[i] : nullptr;
  }

 private:
  Record(const JsonNode& n, std::span<const std::string_view> fields)
      : node_(&n), fields_(fields), slots_(fields.size(), nullptr) {}

  const JsonNode* node_;
  std::span<const std::string_view> fields_;
  std::vector<const JsonNode*> slots_;
};

// Reads unsigned fields into `out` (one pointer per field, nullptr to skip):
// first every given field in order, then the first missing one is reported.
Parsed<void> read_u64_fields(const Record& r, std::span<uint64_t* const> out) {
  for (size_t i = 0; i < out.size(); ++i) {
    if (!out[i] || !r.get(i)) continue;
    auto v = read_u64(*r.get(i));
    if (!v) return std::unexpected(v.error());
    *out[i] = *v;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    if (!out[i]) continue;
    auto v = r.required(i);
    if (!v) return std::unexpected(v.error());
  }
  return {};
}

#define KOVRA_PARSED_TRY(lhs, expr)                         \
  auto KOVRA_CONCAT(parsed_, __LINE__) = (expr);            \
  if (!KOVRA_CONCAT(parsed_, __LINE__))                     \
    return std::unexpected(std::move(KOVRA_CONCAT(parsed_, __LINE__)).error()); \
  lhs = std::move(*KOVRA_CONCAT(parsed_, __LINE__))

Parsed<HnswConfig> read_hnsw(const JsonNode& n, std::string_view input) {
  static constexpr std::array<std::string_view, 3> kFields = {"ef_construction", "ef_search", "m"};
  KOVRA_PARSED_TRY(Record r, Record::of(n, input, "HnswConfig", kFields, kFields.size()));
  HnswConfig c;
  uint64_t* const out[] = {&c.ef_construction, &c.ef_search, &c.m};
  auto read = read_u64_fields(r, out);
  if (!read) return std::unexpected(read.error());
  return c;
}

Parsed<IvfConfig> read_ivf(const JsonNode& n, std::string_view input) {
  static constexpr std::array<std::string_view, 4> kFields = {"n_lists", "nprobe", "train_size", "max_iter"};
  KOVRA_PARSED_TRY(Record r, Record::of(n, input, "IvfConfig", kFields, kFields.size()));
  IvfConfig c;
  uint64_t* const out[] = {&c.n_lists, &c.nprobe, &c.train_size, &c.max_iter};
  auto read = read_u64_fields(r, out);
  if (!read) return std::unexpected(read.error());
  return c;
}

Parsed<PqConfig> read_pq(const JsonNode& n, std::string_view input) {
  static constexpr std::array<std::string_view, 3> kFields = {"m", "k_sub", "max_iter"};
  KOVRA_PARSED_TRY(Record r, Record::of(n, input, "PqConfig", kFields, kFields.size()));
  PqConfig c;
  uint64_t* const out[] = {&c.m, &c.k_sub, &c.max_iter};
  auto read = read_u64_fields(r, out);
  if (!read) return std::unexpected(read.error());
  return c;
}

Parsed<IvfPqConfig> read_ivf_pq(const JsonNode& n, std::string_view input) {
  static constexpr std::array<std::string_view, 5> kFields = {"n_lists", "nprobe", "train_size", "max_iter", "pq"};
  KOVRA_PARSED_TRY(Record r, Record::of(n, input, "IvfPqConfig", kFields, kFields.size()));
  IvfPqConfig c;
  uint64_t* const out[] = {&c.n_lists, &c.nprobe, &c.train_size, &c.max_iter, nullptr};
  auto read = read_u64_fields(r, out);
  if (!read) return std::unexpected(read.error());
  KOVRA_PARSED_TRY(const JsonNode* pq, r.required(4));
  KOVRA_PARSED_TRY(c.pq, read_pq(*pq, input));
  return c;
}

enum MetaField : size_t {
  kName, kDimensions, kMetric, kIndexType, kHnswConfig, kWalCompactThreshold, kAutoPromoteThreshold,
  kPromotionHnswConfig, kEmbeddingModel, kIvfConfig, kIvfPqConfig, kFaissFactory, kMetaFieldCount
};

constexpr std::array<std::string_view, kMetaFieldCount> kMetaFields = {
    "name", "dimensions", "metric", "index_type", "hnsw_config", "wal_compact_threshold",
    "auto_promote_threshold", "promotion_hnsw_config", "embedding_model", "ivf_config", "ivf_pq_config",
    "faiss_factory"};

// The array form needs the four fields without a reading default; the others
// take their defaults when the array ends early.
constexpr size_t kMetaRequiredItems = 4;

Parsed<CollectionMeta> read_collection_meta(const JsonNode& n, std::string_view input) {
  KOVRA_PARSED_TRY(Record r, Record::of(n, input, "CollectionMeta", kMetaFields, kMetaRequiredItems));
  CollectionMeta meta;
  // Given fields first, in declaration order; missing required ones after.
  if (const JsonNode* v = r.get(kName)) {
    KOVRA_PARSED_TRY(meta.name, read_string(*v));
  }
  if (const JsonNode* v = r.get(kDimensions)) {
    KOVRA_PARSED_TRY(meta.dimensions, read_u64(*v));
  }
  if (const JsonNode* v = r.get(kMetric)) {
    KOVRA_PARSED_TRY(uint32_t m, read_variant(*v, "Metric", kMetricNames));
    meta.metric = static_cast<Metric>(m);
  }
  if (const JsonNode* v = r.get(kIndexType)) {
    KOVRA_PARSED_TRY(uint32_t t, read_variant(*v, "IndexType", kIndexTypeNames));
    meta.index_type = static_cast<IndexType>(t);
  }
  if (const JsonNode* v = r.optional(kHnswConfig)) {
    KOVRA_PARSED_TRY(meta.hnsw_config, read_hnsw(*v, input));
  }
  if (const JsonNode* v = r.get(kWalCompactThreshold)) {
    KOVRA_PARSED_TRY(meta.wal_compact_threshold, read_u64(*v));
  }
  if (const JsonNode* v = r.optional(kAutoPromoteThreshold)) {
    KOVRA_PARSED_TRY(meta.auto_promote_threshold, read_u64(*v));
  }
  if (const JsonNode* v = r.optional(kPromotionHnswConfig)) {
    KOVRA_PARSED_TRY(meta.promotion_hnsw_config, read_hnsw(*v, input));
  }
  if (const JsonNode* v = r.optional(kEmbeddingModel)) {
    KOVRA_PARSED_TRY(meta.embedding_model, read_string(*v));
  }
  if (const JsonNode* v = r.optional(kIvfConfig)) {
    KOVRA_PARSED_TRY(meta.ivf_config, read_ivf(*v, input));
  }
  if (const JsonNode* v = r.optional(kIvfPqConfig)) {
    KOVRA_PARSED_TRY(meta.ivf_pq_config, read_ivf_pq(*v, input));
  }
  if (const JsonNode* v = r.optional(kFaissFactory)) {
    KOVRA_PARSED_TRY(meta.faiss_factory, read_string(*v));
  }
  for (size_t i : {kName, kDimensions, kMetric, kIndexType}) {
    auto present = r.required(i);
    if (!present) return std::unexpected(present.error());
  }
  return meta;
}

#undef KOVRA_PARSED_TRY

Parsed<JsonNode> parse_tree(std::string_view input) {
  size_t consumed = 0;
  TreeBuilder builder(input, &consumed);
  CountingIterator first(input.data(), &consumed);
  CountingIterator last(input.data() + input.size(), &consumed);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json, true);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(Failure{e.what(), consumed});
  }
  if (builder.failure()) return std::unexpected(std::move(*builder.failure()));
  if (!parsed) return std::unexpected(Failure{"invalid JSON", consumed});
  return std::move(builder.root());
}

// Any failure to write the file is Io, also a short write that the file layer
// reports as an encoding failure.
Status as_io(Status s) {
  if (!s && s.error().kind() != ErrorKind::Io) return fail(Error::io_text(s.error().text()));
  return s;
}

std::vector<uint8_t> meta_bytes(const CollectionMeta& meta) {
  std::string text = meta_to_json(meta);
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

std::string_view index_type_name(IndexType t) {
  auto i = static_cast<size_t>(t);
  return i < kIndexTypeNames.size() ? kIndexTypeNames[i] : "flat";
}

std::optional<IndexType> parse_index_type(std::string_view text) {
  for (size_t i = 0; i < kIndexTypeNames.size(); ++i) {
    auto t = static_cast<IndexType>(i);
    if (t != IndexType::Faiss && kIndexTypeNames[i] == text) return t;
  }
  return std::nullopt;
}

std::string unknown_index_type_message(std::string_view text) {
  return "unknown index_type " + quote_escaped(text);
}

IvfConfig default_collection_ivf_config() {
  return IvfConfig{.n_lists = 256, .nprobe = 16, .train_size = 4096, .max_iter = 10};
}

IvfPqConfig default_collection_ivf_pq_config() {
  return IvfPqConfig{.n_lists = 256,
                     .nprobe = 16,
                     .train_size = 4096,
                     .max_iter = 10,
                     .pq = PqConfig{.m = 8, .k_sub = 256, .max_iter = 25}};
}

CollectionMeta new_collection_meta(std::string name, uint64_t dimensions, Metric metric, IndexType type) {
  CollectionMeta meta;
  meta.name = std::move(name);
  meta.dimensions = dimensions;
  meta.metric = metric;
  meta.index_type = type;
  meta.wal_compact_threshold = kDefaultWalCompactThreshold;
  if (type == IndexType::Hnsw) meta.hnsw_config = HnswConfig{};
  if (type == IndexType::Ivf) meta.ivf_config = default_collection_ivf_config();
  if (type == IndexType::IvfPq) meta.ivf_pq_config = default_collection_ivf_pq_config();
  return meta;
}

std::string meta_to_json(const CollectionMeta& meta) {
  IndentedWriter w;
  w.begin_object();
  w.field("name", meta.name);
  w.field("dimensions", meta.dimensions);
  w.field("metric", metric_name(meta.metric));
  w.field("index_type", index_type_name(meta.index_type));
  if (meta.hnsw_config) put_hnsw(w, "hnsw_config", *meta.hnsw_config);
  w.field("wal_compact_threshold", meta.wal_compact_threshold);
  if (meta.auto_promote_threshold) w.field("auto_promote_threshold", *meta.auto_promote_threshold);
  if (meta.promotion_hnsw_config) put_hnsw(w, "promotion_hnsw_config", *meta.promotion_hnsw_config);
  if (meta.embedding_model) w.field("embedding_model", *meta.embedding_model);
  if (const auto& c = meta.ivf_config) {
    w.key("ivf_config");
    w.begin_object();
    put_ivf_fields(w, c->n_lists, c->nprobe, c->train_size, c->max_iter);
    w.end_object();
  }
  if (const auto& c = meta.ivf_pq_config) {
    w.key("ivf_pq_config");
    w.begin_object();
    put_ivf_fields(w, c->n_lists, c->nprobe, c->train_size, c->max_iter);
    w.key("pq");
    w.begin_object();
    w.field("m", c->pq.m);
    w.field("k_sub", c->pq.k_sub);
    w.field("max_iter", c->pq.max_iter);
    w.end_object();
    w.end_object();
  }
  if (meta.faiss_factory) w.field("faiss_factory", *meta.faiss_factory);
  w.end_object();
  return w.take();
}

Result<CollectionMeta> parse_meta(std::string_view text) {
  Parsed<JsonNode> root = parse_tree(text);
  Parsed<CollectionMeta> meta =
      root ? read_collection_meta(*root, text) : Parsed<CollectionMeta>(std::unexpected(root.error()));
  if (!meta) return fail(Error::serialization(meta.error().text + " at " + position_text(text, meta.error().at)));
  return std::move(*meta);
}

Result<CollectionMeta> read_meta(const std::string& collection_dir) {
  KOVRA_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, io::read_whole_file(collection_dir + "/meta.json"));
  return parse_meta(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Status write_meta_direct(const std::string& collection_dir, const CollectionMeta& meta) {
  return as_io(io::write_new_file(collection_dir + "/meta.json", meta_bytes(meta)));
}

Status write_meta_atomic(const std::string& collection_dir, const CollectionMeta& meta) {
  const std::string tmp = collection_dir + "/meta.json.tmp";
  KOVRA_TRY(as_io(io::write_whole_file(tmp, meta_bytes(meta))));
  return io::replace_file(tmp, collection_dir + "/meta.json");
}

Result<std::unique_ptr<VectorIndex>> build_index(const CollectionMeta& meta, const std::string& collection_dir) {
  const auto dims = static_cast<size_t>(meta.dimensions);
  const Metric metric = meta.metric;
  switch (meta.index_type) {
    case IndexType::Flat: {
      auto index = std::make_unique<FlatIndex>(dims, metric);
      index->reclaim_dead_slots_on_removal();
      return index;
    }
    case IndexType::QuantizedFlat:
      return std::make_unique<QuantizedFlatIndex>(dims, metric);
    case IndexType::Fp16Flat:
      return std::make_unique<Fp16FlatIndex>(dims, metric);
    case IndexType::BinaryFlat:
      return std::make_unique<BinaryFlatIndex>(dims, metric);
    case IndexType::Hnsw: {
      const HnswConfig config = meta.hnsw_config.value_or(HnswConfig{});
      KOVRA_TRY(HnswIndex::check_config(config));
      return std::make_unique<HnswIndex>(dims, metric, config);
    }
    case IndexType::Ivf: {
      KOVRA_ASSIGN_OR_RETURN(IvfIndex index,
                             IvfIndex::create(dims, metric, meta.ivf_config.value_or(default_collection_ivf_config())));
      return std::make_unique<IvfIndex>(std::move(index));
    }
    case IndexType::IvfPq: {
      KOVRA_ASSIGN_OR_RETURN(
          IvfPqIndex index,
          IvfPqIndex::create(dims, metric, meta.ivf_pq_config.value_or(default_collection_ivf_pq_config()),
                             // Its exact copies go beside the collection's log, on the same disk.
                             collection_dir));
      return std::make_unique<IvfPqIndex>(std::move(index));
    }
    case IndexType::MmapFlat: {
      const std::string path = collection_dir + "/vectors.mmap";
      const bool existed = io::file_exists(path);
      auto index = MmapFlatIndex::open(path, dims, metric);
      if (!index) {
        if (existed) internal_failure("failed to open MmapFlatIndex: " + index.error().message());
        return fail(std::move(index).error());
      }
      return std::make_unique<MmapFlatIndex>(std::move(*index));
    }
    case IndexType::Faiss:
      break;
  }
  internal_failure("collection '" + meta.name +
                   "' uses IndexType::Faiss but kovra-core was compiled without the 'faiss' feature; rebuild "
                   "with `--features faiss`");
}

}  // namespace kovra
