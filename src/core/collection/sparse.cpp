#include "core/collection/sparse.h"

#include <algorithm>
#include <cmath>

#include "core/io/file.h"

namespace kovra {

void encode_sparse(io::Encoder& enc, const SparseVector& v) {
  enc.put_array(v.indices);
  enc.put_array(v.values);
}

Result<SparseVector> decode_sparse(io::Decoder& dec) {
  SparseVector v;
  KOVRA_ASSIGN_OR_RETURN(v.indices, dec.get_array<uint32_t>());
  KOVRA_ASSIGN_OR_RETURN(v.values, dec.get_array<float>());
  return v;
}

std::vector<uint8_t> sparse_to_bytes(const SparseVector& v) {
  io::VectorSink sink;
  sink.bytes.reserve(16 + 4 * (v.indices.size() + v.values.size()));
  io::Encoder enc(sink);
  encode_sparse(enc, v);
  return std::move(sink.bytes);
}

Result<SparseVector> sparse_from_bytes(std::span<const uint8_t> bytes) {
  io::SpanSource source(bytes);
  io::Decoder dec(source);
  return decode_sparse(dec);
}

void SparseStore::upsert(VectorId id, SparseVector v) {
  remove(id);
  for (size_t i = 0; i < v.pair_count(); ++i) postings_[v.indices[i]].push_back({id, v.values[i]});
  vectors_.insert_or_assign(id, std::move(v));
}

void SparseStore::remove(VectorId id) {
  auto it = vectors_.find(id);
  if (it == vectors_.end()) return;
  // Every index counts here, also those past the weights of an uneven decoded
  // vector: a list of such an index may still hold the id from a decoded file.
  for (uint32_t index : it->second.indices) {
    auto list = postings_.find(index);
    if (list == postings_.end()) continue;
    auto& entries = list->second;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].id != id) continue;
      entries[i] = entries.back();
      entries.pop_back();
      break;
    }
    if (entries.empty()) postings_.erase(list);
  }
  vectors_.erase(it);
}

const SparseVector* SparseStore::find(VectorId id) const {
  auto it = vectors_.find(id);
  return it == vectors_.end() ? nullptr : &it->second;
}

const std::vector<SparsePosting>* SparseStore::postings(uint32_t index) const {
  auto it = postings_.find(index);
  return it == postings_.end() ? nullptr : &it->second;
}

std::unordered_map<VectorId, float> SparseStore::score(const SparseVector& query) const {
  std::unordered_map<VectorId, float> scores;
  for (size_t i = 0; i < query.pair_count(); ++i) {
    auto list = postings_.find(query.indices[i]);
    if (list == postings_.end()) continue;
    const float q = query.values[i];
    for (const SparsePosting& p : list->second) scores[p.id] += p.weight * q;
  }
  return scores;
}

namespace {

// Open-addressing accumulator keyed by id; only the slots used are cleared
// after a query.
struct ScoreTable {
  std::vector<VectorId> ids;
  std::vector<float> sums;
  std::vector<uint8_t> used;
  std::vector<uint32_t> touched;  // used slots, in first-touch order
  size_t mask = 0;

  void prepare(size_t expected) {
    size_t cap = 16;
    while (cap < 2 * expected) cap <<= 1;
    if (cap > used.size()) {
      ids.resize(cap);
      sums.resize(cap);
      used.assign(cap, 0);
    }
    mask = cap - 1;
    touched.clear();
  }
  float& at(VectorId id) {
    size_t slot = static_cast<size_t>((id * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (used[slot]) {
      if (ids[slot] == id) return sums[slot];
      slot = (slot + 1) & mask;
    }
    used[slot] = 1;
    ids[slot] = id;
    sums[slot] = 0.0f;
    touched.push_back(static_cast<uint32_t>(slot));
    return sums[slot];
  }
  void reset() {
    for (uint32_t slot : touched) used[slot] = 0;
    touched.clear();
  }
};

}  // namespace

std::vector<std::pair<VectorId, float>> SparseStore::top_scores(const SparseVector& query, size_t limit,
                                                                const std::function<bool(VectorId)>& keep) const {
  std::vector<std::pair<VectorId, float>> out;
  if (limit == 0) return out;
  std::vector<std::pair<const std::vector<SparsePosting>*, float>> lists;
  size_t total = 0;
  for (size_t i = 0; i < query.pair_count(); ++i) {
    auto list = postings_.find(query.indices[i]);
    if (list == postings_.end()) continue;
    lists.emplace_back(&list->second, query.values[i]);
    total += list->second.size();
  }
  if (total == 0) return out;
  thread_local ScoreTable table;
  // The same additions in the same order as score(), so the sums agree.
  table.prepare(std::min(total, vectors_.size()));
  for (const auto& [list, q] : lists)
    for (const SparsePosting& p : *list) table.at(p.id) += p.weight * q;
  out.reserve(table.touched.size());
  for (uint32_t slot : table.touched)
    if (!keep || keep(table.ids[slot])) out.emplace_back(table.ids[slot], table.sums[slot]);
  table.reset();
  // Highest first; a NaN ranks after every number.
  auto greater = [](const auto& a, const auto& b) {
    if (std::isnan(a.second)) return false;
    return std::isnan(b.second) || a.second > b.second;
  };
  if (out.size() > limit) {
    std::nth_element(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(limit), out.end(), greater);
    out.resize(limit);
  }
  std::sort(out.begin(), out.end(), greater);
  return out;
}

size_t SparseStore::encoded_size() const {
  size_t size = 8;
  for (const auto& [index, entries] : postings_) size += 4 + 8 + entries.size() * (8 + 4);
  size += 8;
  for (const auto& [id, v] : vectors_) size += 8 + 8 + 4 * v.indices.size() + 8 + 4 * v.values.size();
  return size;
}

std::vector<uint8_t> SparseStore::encode() const {
  const size_t size = encoded_size();
  io::VectorSink sink;
  sink.bytes.reserve(size);
  io::Encoder enc(sink);
  enc.put_count(postings_.size());
  for (const auto& [index, entries] : postings_) {
    enc.put_u32(index);
    enc.put_count(entries.size());
    for (const SparsePosting& p : entries) {
      enc.put_u64(p.id);
      enc.put_f32(p.weight);
    }
  }
  enc.put_count(vectors_.size());
  for (const auto& [id, v] : vectors_) {
    enc.put_u64(id);
    encode_sparse(enc, v);
  }
  KOVRA_CHECK(sink.bytes.size() == size, "sparse store image size differs from its computed size");
  return std::move(sink.bytes);
}

Result<SparseStore> SparseStore::decode(std::span<const uint8_t> bytes) {
  io::SpanSource source(bytes);
  io::Decoder dec(source);
  SparseStore store;
  KOVRA_ASSIGN_OR_RETURN(uint64_t lists, dec.get_count());
  store.postings_.reserve(io::Decoder::reserve_hint(lists, 4 + 8));
  for (uint64_t l = 0; l < lists; ++l) {
    KOVRA_ASSIGN_OR_RETURN(uint32_t index, dec.get_u32());
    KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
    std::vector<SparsePosting> entries;
    entries.reserve(io::Decoder::reserve_hint(n, sizeof(SparsePosting)));
    for (uint64_t i = 0; i < n; ++i) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(float weight, dec.get_f32());
      entries.push_back({id, weight});
    }
    // A repeated key replaces the earlier entry, as a map decoder does.
    store.postings_.insert_or_assign(index, std::move(entries));
  }
  KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
  store.vectors_.reserve(io::Decoder::reserve_hint(count, 8 + 16));
  for (uint64_t i = 0; i < count; ++i) {
    KOVRA_ASSIGN_OR_RETURN(uint64_t id, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(SparseVector v, decode_sparse(dec));
    store.vectors_.insert_or_assign(id, std::move(v));
  }
  return store;
}

Status SparseStore::save(const std::string& path) const {
  auto written = io::write_whole_file(path, encode());
  if (!written && written.error().kind() != ErrorKind::Io) {
    return fail(Error::io_text(written.error().text()));
  }
  return written;
}

Result<SparseStore> SparseStore::load(const std::string& path) {
  KOVRA_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, io::read_whole_file(path));
  return decode(bytes);
}

}  // namespace kovra
