#include "core/collection/payload_table.h"

#include <algorithm>
#include <bit>
#include <mutex>

namespace kovra {
namespace {

using value_t = JsonValue::value_t;

// What a row holds at a column's path. Anything but an array or an object is
// kept in the column itself; those two are compared on the payload.
enum CellKind : uint8_t { kAbsent = 0, kNull, kBool, kUnsigned, kNegative, kFloat, kString, kComplex };

bool is_number_kind(uint8_t k) { return k == kUnsigned || k == kNegative || k == kFloat; }

double cell_number(uint8_t kind, uint64_t bits) {
  switch (kind) {
    case kUnsigned:
      return static_cast<double>(bits);
    case kNegative:
      return static_cast<double>(static_cast<int64_t>(bits));
    default:
      return std::bit_cast<double>(bits);
  }
}

void set_row(RowSet& out, size_t row) {
  uint64_t& w = out.words[row / 64];
  const uint64_t m = uint64_t{1} << (row % 64);
  if (!(w & m)) {
    w |= m;
    ++out.count;
  }
}

size_t popcount_words(const std::vector<uint64_t>& words) {
  size_t n = 0;
  for (uint64_t w : words) n += static_cast<size_t>(std::popcount(w));
  return n;
}

// Rows changed since the last sort that a filter checks one by one before it
// re-sorts the column; past four times as many the sorted lists are dropped.
size_t resort_threshold(size_t live) { return 1024 + live / 16; }

}  // namespace

struct PayloadTable::Column {
  std::vector<std::string> segments;
  std::vector<uint8_t> kinds;  // per row
  std::vector<uint64_t> bits;  // per row: the integer, the double's bits, 0/1, or a string's number
  // Every string seen at the path, each once; numbers are stable.
  std::deque<std::string> strings;
  std::unordered_map<std::string_view, uint32_t> string_ids;

  // Rows with numbers and with strings, in ascending value order (strings
  // byte-wise), ties by row. Entries of rows changed since are stale and
  // checked against the cells; changed rows are checked in full.
  bool sorted = false;
  std::vector<std::pair<double, uint32_t>> numbers;
  std::vector<std::pair<uint32_t, uint32_t>> texts;  // (string number, row)
  std::vector<uint32_t> changed;

  uint32_t intern(const std::string& s) {
    auto it = string_ids.find(s);
    if (it != string_ids.end()) return it->second;
    const uint32_t id = static_cast<uint32_t>(strings.size());
    strings.push_back(s);
    string_ids.emplace(strings.back(), id);
    return id;
  }

  double number(size_t row) const { return cell_number(kinds[row], bits[row]); }

  size_t memory_bytes() const {
    size_t n = kinds.capacity() + bits.capacity() * 8 + numbers.capacity() * sizeof(numbers[0]) +
               texts.capacity() * sizeof(texts[0]) + changed.capacity() * 4;
    for (const auto& s : strings) n += sizeof(std::string) + (s.size() > 15 ? s.capacity() : 0);
    n += string_ids.size() * (sizeof(std::string_view) + 4 + 16) + string_ids.bucket_count() * 8;
    return n;
  }
};

PayloadTable::PayloadTable() = default;
PayloadTable::~PayloadTable() = default;

void PayloadTable::fill_cell(Column& col, size_t row) const {
  if (col.kinds.size() <= row) {
    col.kinds.resize(ids_.size(), kAbsent);
    col.bits.resize(ids_.size(), 0);
  }
  uint8_t kind = kAbsent;
  uint64_t bits = 0;
  const JsonValue* payload = payloads_[row].get();
  const JsonValue* v = payload && (live_[row / 64] >> (row % 64) & 1) ? resolve_path(*payload, col.segments) : nullptr;
  if (v) {
    switch (v->type()) {
      case value_t::null:
      case value_t::discarded:
        kind = kNull;
        break;
      case value_t::boolean:
        kind = kBool;
        bits = v->get_ref<const JsonValue::boolean_t&>() ? 1 : 0;
        break;
      case value_t::number_unsigned:
        kind = kUnsigned;
        bits = v->get_ref<const JsonValue::number_unsigned_t&>();
        break;
      case value_t::number_integer:
        kind = kNegative;
        bits = static_cast<uint64_t>(v->get_ref<const JsonValue::number_integer_t&>());
        break;
      case value_t::number_float:
        kind = kFloat;
        bits = std::bit_cast<uint64_t>(v->get_ref<const JsonValue::number_float_t&>());
        break;
      case value_t::string:
        kind = kString;
        bits = col.intern(v->get_ref<const JsonValue::string_t&>());
        break;
      default:
        kind = kComplex;
        break;
    }
  }
  col.kinds[row] = kind;
  col.bits[row] = bits;
  if (col.sorted) {
    col.changed.push_back(static_cast<uint32_t>(row));
    if (col.changed.size() > 4 * resort_threshold(row_of_.size())) {
      col.sorted = false;
      col.numbers = {};
      col.texts = {};
      col.changed = {};
    }
  }
}

void PayloadTable::put(VectorId id, SharedPayload payload) {
  size_t row;
  if (auto existing = row_of_.find(id, id_of())) {
    row = static_cast<size_t>(*existing);
  } else {
    if (!free_rows_.empty()) {
      row = free_rows_.back();
      free_rows_.pop_back();
    } else {
      row = ids_.size();
      ids_.push_back(id);
      payloads_.emplace_back();
      if (live_.size() * 64 < ids_.size()) live_.push_back(0);
    }
    ids_[row] = id;
    row_of_.insert(id, static_cast<uint32_t>(row), id_of());
    live_[row / 64] |= uint64_t{1} << (row % 64);
  }
  payloads_[row] = std::move(payload);
  for (auto& [path, col] : columns_) fill_cell(*col, row);
}

void PayloadTable::erase(VectorId id) {
  auto existing = row_of_.erase(id, id_of());
  if (!existing) return;
  const size_t row = static_cast<size_t>(*existing);
  payloads_[row].reset();
  live_[row / 64] &= ~(uint64_t{1} << (row % 64));
  free_rows_.push_back(static_cast<uint32_t>(row));
  for (auto& [path, col] : columns_) fill_cell(*col, row);
}

void PayloadTable::clear() {
  row_of_.clear();
  ids_.clear();
  payloads_.clear();
  live_.clear();
  free_rows_.clear();
  columns_.clear();
}

void PayloadTable::shared_many(std::span<const VectorId> ids, std::vector<SharedPayload>& out) const {
  // After a search has gone through the index, each hit's payload sits
  // behind dependent loads that are likely cache misses: the id's cell, the
  // row's id and pointer, the payload and its first nodes. Taken one hit at
  // a time they follow one another; taken stage by stage over a group, with
  // the next stage of every hit prefetched, they overlap.
  constexpr size_t kGroup = 16;
  std::optional<Slot> rows[kGroup];
  for (size_t start = 0; start < ids.size(); start += kGroup) {
    const size_t n = std::min(kGroup, ids.size() - start);
    const VectorId* group = ids.data() + start;
    for (size_t i = 0; i < n; ++i) row_of_.prefetch(group[i]);
    for (size_t i = 0; i < n; ++i) {
      if (auto s = row_of_.first_probe(group[i])) {
        __builtin_prefetch(&ids_[*s], 0, 3);
        __builtin_prefetch(&payloads_[*s], 0, 3);
      }
    }
    for (size_t i = 0; i < n; ++i) {
      rows[i] = row_of_.find(group[i], id_of());
      if (rows[i] && payloads_[*rows[i]]) __builtin_prefetch(payloads_[*rows[i]].get(), 0, 3);
    }
    // An object payload holds its map behind a pointer, and the map its
    // first node behind another.
    const JsonValue::object_t* objects[kGroup];
    for (size_t i = 0; i < n; ++i) {
      const JsonValue* p = rows[i] ? payloads_[*rows[i]].get() : nullptr;
      objects[i] = p && p->is_object() ? &p->get_ref<const JsonValue::object_t&>() : nullptr;
      if (objects[i]) __builtin_prefetch(objects[i], 0, 3);
    }
    for (size_t i = 0; i < n; ++i)
      if (objects[i] && !objects[i]->empty()) __builtin_prefetch(&*objects[i]->begin(), 0, 3);
    for (size_t i = 0; i < n; ++i) out.push_back(rows[i] ? payloads_[*rows[i]] : nullptr);
  }
}

size_t PayloadTable::memory_bytes() const {
  size_t n = row_of_.memory_bytes() + ids_.capacity() * 8 + payloads_.capacity() * sizeof(SharedPayload) +
             live_.capacity() * 8 + free_rows_.capacity() * 4;
  std::shared_lock lock(mutex_);
  for (const auto& [path, col] : columns_) n += path.capacity() + col->memory_bytes();
  return n;
}

// The column of the field's path, built and sorted as the filter needs it.
// Takes the exclusive side of the mutex only for that, and returns holding
// the shared side again.
PayloadTable::Column& PayloadTable::column(const FilterCondition& field,
                                           std::shared_lock<std::shared_mutex>& shared) const {
  for (;;) {
    auto it = columns_.find(field.path);
    if (it != columns_.end() && it->second->sorted &&
        it->second->changed.size() <= resort_threshold(row_of_.size()))
      return *it->second;
    shared.unlock();
    {
      std::unique_lock lock(mutex_);
      auto& slot = columns_[field.path];
      // A pool of strings far larger than the rows holds mostly values no
      // row has any more: start the column afresh.
      if (slot && slot->strings.size() > 2 * row_of_.size() + 1024) slot.reset();
      if (!slot) {
        slot = std::make_unique<Column>();
        slot->segments = field.segments;
        slot->kinds.assign(ids_.size(), kAbsent);
        slot->bits.assign(ids_.size(), 0);
        for (size_t row = 0; row < ids_.size(); ++row) fill_cell(*slot, row);
      }
      Column& col = *slot;
      if (!col.sorted || col.changed.size() > resort_threshold(row_of_.size())) {
        col.numbers.clear();
        col.texts.clear();
        for (size_t row = 0; row < col.kinds.size(); ++row) {
          if (is_number_kind(col.kinds[row])) col.numbers.emplace_back(col.number(row), static_cast<uint32_t>(row));
          else if (col.kinds[row] == kString) col.texts.emplace_back(static_cast<uint32_t>(col.bits[row]), row);
        }
        std::sort(col.numbers.begin(), col.numbers.end());
        // Strings are ranked once, then the rows sorted by rank.
        std::vector<uint32_t> order(col.strings.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return col.strings[a] < col.strings[b]; });
        std::vector<uint32_t> rank(order.size());
        for (uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
        std::sort(col.texts.begin(), col.texts.end(), [&](const auto& a, const auto& b) {
          return rank[a.first] != rank[b.first] ? rank[a.first] < rank[b.first] : a.second < b.second;
        });
        col.changed.clear();
        col.sorted = true;
      }
    }
    shared.lock();
  }
}

namespace {

// Whether the cell of `row` equals `v` under the payload equality (kinds must
// agree, so 1 and 1.0 differ). Arrays and objects are compared on the value
// itself, `full` being the row's value at the path.
template <class Col>
bool cell_equal(const Col& col, size_t row, const JsonValue& v, const JsonValue* full) {
  const uint64_t bits = col.bits[row];
  switch (col.kinds[row]) {
    case kAbsent:
      return false;
    case kNull:
      return v.is_null();
    case kBool:
      return v.is_boolean() && v.template get_ref<const JsonValue::boolean_t&>() == (bits != 0);
    case kUnsigned:
      return v.type() == value_t::number_unsigned && v.template get_ref<const JsonValue::number_unsigned_t&>() == bits;
    case kNegative:
      return v.type() == value_t::number_integer &&
             v.template get_ref<const JsonValue::number_integer_t&>() == static_cast<int64_t>(bits);
    case kFloat:
      return v.type() == value_t::number_float &&
             v.template get_ref<const JsonValue::number_float_t&>() == std::bit_cast<double>(bits);
    case kString:
      return v.is_string() && v.template get_ref<const JsonValue::string_t&>() == col.strings[bits];
    default:
      return full && json_equal(*full, v);
  }
}

// Range operators: numbers against numbers, strings against strings.
template <class Col>
bool cell_in_range(const Col& col, size_t row, FilterOperator op, const JsonValue& o) {
  const uint8_t kind = col.kinds[row];
  int cmp;
  double y;
  if (is_number_kind(kind) && json_number(o, &y)) {
    const double x = col.number(row);
    cmp = x < y ? -1 : (x > y ? 1 : 0);
  } else if (kind == kString && o.is_string()) {
    const int c = col.strings[col.bits[row]].compare(o.template get_ref<const JsonValue::string_t&>());
    cmp = c < 0 ? -1 : (c > 0 ? 1 : 0);
  } else {
    return false;
  }
  switch (op) {
    case FilterOperator::Gt:
      return cmp > 0;
    case FilterOperator::Gte:
      return cmp >= 0;
    case FilterOperator::Lt:
      return cmp < 0;
    case FilterOperator::Lte:
      return cmp <= 0;
    default:
      return false;
  }
}

// The part [first, last) of a sorted list that a range (or an equality,
// as the range [o, o]) selects, for any list whose entries `key` compares
// with the operand through `less`.
template <class List, class Less>
std::pair<size_t, size_t> sorted_span(const List& list, FilterOperator op, Less less) {
  auto below = [&](const auto& e) { return less(e, true); };   // entry < operand
  auto at_most = [&](const auto& e) { return !less(e, false); };  // !(operand < entry)
  const size_t lo = static_cast<size_t>(std::partition_point(list.begin(), list.end(), below) - list.begin());
  const size_t hi = static_cast<size_t>(std::partition_point(list.begin(), list.end(), at_most) - list.begin());
  switch (op) {
    case FilterOperator::Gt:
      return {hi, list.size()};
    case FilterOperator::Gte:
      return {lo, list.size()};
    case FilterOperator::Lt:
      return {0, lo};
    case FilterOperator::Lte:
      return {0, hi};
    default:  // Eq
      return {lo, hi};
  }
}

}  // namespace

void PayloadTable::select_field(const FilterCondition& field, RowSet& out,
                                std::shared_lock<std::shared_mutex>& shared) const {
  const Column& col = column(field, shared);
  const size_t rows = col.kinds.size();
  auto full = [&](size_t row) -> const JsonValue* {
    return col.kinds[row] == kComplex ? resolve_path(*payloads_[row], col.segments) : nullptr;
  };

  // Rows whose value is `v` or lies in the range: through the sorted lists
  // when the operand is a number or a string, by a scan of the column
  // otherwise.
  auto add = [&](FilterOperator op, const JsonValue& v) {
    const bool eq = op == FilterOperator::Eq;
    auto check = [&](size_t row) { return eq ? cell_equal(col, row, v, full(row)) : cell_in_range(col, row, op, v); };
    double x;
    if (json_number(v, &x)) {
      auto [first, last] = sorted_span(col.numbers, op, [&](const auto& e, bool strict) {
        return strict ? e.first < x : x < e.first;
      });
      for (size_t i = first; i < last; ++i) {
        const size_t row = col.numbers[i].second;
        // Stale entries (rows rewritten since the sort) fail the check.
        if (is_number_kind(col.kinds[row]) && col.number(row) == col.numbers[i].first && check(row)) set_row(out, row);
      }
    } else if (v.is_string()) {
      const std::string& s = v.get_ref<const JsonValue::string_t&>();
      auto [first, last] = sorted_span(col.texts, op, [&](const auto& e, bool strict) {
        return strict ? col.strings[e.first] < s : s < col.strings[e.first];
      });
      for (size_t i = first; i < last; ++i) {
        const size_t row = col.texts[i].second;
        if (col.kinds[row] == kString && col.bits[row] == col.texts[i].first && check(row)) set_row(out, row);
      }
    } else {
      // Nulls, booleans, arrays and objects: no range matches them, and
      // equality is rare enough for a scan.
      if (!eq) return;
      for (size_t row = 0; row < rows; ++row)
        if (col.kinds[row] != kAbsent && check(row)) set_row(out, row);
      return;
    }
    for (uint32_t row : col.changed)
      if (check(row)) set_row(out, row);
  };

  switch (field.op) {
    case FilterOperator::Eq:
    case FilterOperator::Gt:
    case FilterOperator::Gte:
    case FilterOperator::Lt:
    case FilterOperator::Lte:
      add(field.op, field.operand);
      break;
    case FilterOperator::In:
      for (const JsonValue& v : field.in_list) add(FilterOperator::Eq, v);
      break;
    case FilterOperator::Ne:
      for (size_t row = 0; row < rows; ++row)
        if (col.kinds[row] != kAbsent && !cell_equal(col, row, field.operand, full(row))) set_row(out, row);
      break;
  }
}

void PayloadTable::select_into(const FilterCondition& c, RowSet& out,
                               std::shared_lock<std::shared_mutex>& shared) const {
  const size_t words = (ids_.size() + 63) / 64;
  switch (c.kind) {
    case FilterCondition::Kind::Field:
      select_field(c, out, shared);
      return;
    case FilterCondition::Kind::Or:
      for (const auto& child : c.children) {
        if (child.kind == FilterCondition::Kind::Field) {
          select_field(child, out, shared);  // adds its rows to the union
          continue;
        }
        RowSet part;
        part.words.assign(words, 0);
        select_into(child, part, shared);
        for (size_t w = 0; w < words; ++w) out.words[w] |= part.words[w];
        out.count = popcount_words(out.words);
      }
      return;
    case FilterCondition::Kind::And: {
      if (c.children.empty()) {
        for (size_t w = 0; w < words; ++w) out.words[w] |= live_[w];
        out.count = popcount_words(out.words);
        return;
      }
      RowSet acc;
      acc.words.assign(words, 0);
      select_into(c.children[0], acc, shared);
      for (size_t i = 1; i < c.children.size() && acc.count > 0; ++i) {
        RowSet part;
        part.words.assign(words, 0);
        select_into(c.children[i], part, shared);
        for (size_t w = 0; w < words; ++w) acc.words[w] &= part.words[w];
        acc.count = popcount_words(acc.words);
      }
      for (size_t w = 0; w < words; ++w) out.words[w] |= acc.words[w];
      out.count = popcount_words(out.words);
      return;
    }
  }
}

RowSet PayloadTable::select(const FilterCondition& condition) const {
  RowSet out;
  out.words.assign((ids_.size() + 63) / 64, 0);
  std::shared_lock shared(mutex_);
  select_into(condition, out, shared);
  return out;
}

}  // namespace kovra
