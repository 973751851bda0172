#include "core/collection/sparse.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

bool strictly_ascending(const SparseVector& v) {
  for (size_t i = 1; i < v.pair_count(); ++i)
    if (v.indices[i] <= v.indices[i - 1]) return false;
  return true;
}

void add_slot_posting(SlotList& list, Slot slot, float w) {
  list.entries.push_back({slot, w});
  if (!std::isfinite(w)) {
    ++list.non_finite;
    return;
  }
  list.max_weight = std::max(list.max_weight, w);
  list.min_weight = std::min(list.min_weight, w);
}

}  // namespace

void SparseStore::upsert(VectorId id, SparseVector v) {
  remove(id);
  for (size_t i = 0; i < v.pair_count(); ++i) postings_[v.indices[i]].push_back({id, v.values[i]});
  auto [it, fresh] = vectors_.insert_or_assign(id, std::move(v));
  if (!mirrored_) return;
  Slot slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    slot = static_cast<Slot>(slot_ids_.size());
    slot_ids_.push_back(0);
    slot_vectors_.push_back(nullptr);
    slot_regular_.push_back(0);
  }
  const SparseVector& stored = it->second;
  slot_of_[id] = slot;
  slot_ids_[slot] = id;
  slot_vectors_[slot] = &stored;  // map nodes do not move
  slot_regular_[slot] = strictly_ascending(stored);
  irregular_ += !slot_regular_[slot];
  for (size_t i = 0; i < stored.pair_count(); ++i)
    add_slot_posting(slot_postings_[stored.indices[i]], slot, stored.values[i]);
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
  if (mirrored_) {
    // The same steps on the slot lists, so that they keep mirroring the id
    // lists entry for entry (the order of additions depends on it).
    const Slot slot = slot_of_.at(id);
    for (uint32_t index : it->second.indices) {
      auto list = slot_postings_.find(index);
      if (list == slot_postings_.end()) continue;
      auto& entries = list->second.entries;
      for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].slot != slot) continue;
        if (!std::isfinite(entries[i].weight)) --list->second.non_finite;
        entries[i] = entries.back();
        entries.pop_back();
        break;
      }
      if (entries.empty()) slot_postings_.erase(list);
    }
    irregular_ -= !slot_regular_[slot];
    slot_vectors_[slot] = nullptr;
    slot_of_.erase(id);
    free_slots_.push_back(slot);
  }
  vectors_.erase(it);
}

void SparseStore::build_slots() {
  slot_postings_.clear();
  slot_of_.clear();
  slot_ids_.clear();
  slot_vectors_.clear();
  slot_regular_.clear();
  free_slots_.clear();
  irregular_ = 0;
  mirrored_ = false;
  slot_ids_.reserve(vectors_.size());
  // Pairs of each vector not yet met in the id lists.
  std::unordered_map<VectorId, size_t> unmatched;
  for (const auto& [id, v] : vectors_) {
    const Slot slot = static_cast<Slot>(slot_ids_.size());
    slot_of_.emplace(id, slot);
    slot_ids_.push_back(id);
    slot_vectors_.push_back(&v);
    slot_regular_.push_back(strictly_ascending(v));
    irregular_ += !slot_regular_.back();
    unmatched.emplace(id, v.pair_count());
  }
  for (const auto& [index, entries] : postings_) {
    SlotList& list = slot_postings_[index];
    list.entries.reserve(entries.size());
    for (const SparsePosting& p : entries) {
      auto slot = slot_of_.find(p.id);
      if (slot == slot_of_.end()) return;
      // A posting must be one of its vector's pairs, bit for bit.
      const SparseVector& v = *slot_vectors_[slot->second];
      bool found = false;
      for (size_t i = 0; i < v.pair_count() && !found; ++i)
        found = v.indices[i] == index && std::memcmp(&v.values[i], &p.weight, sizeof(float)) == 0;
      size_t& left = unmatched[p.id];
      if (!found || left == 0) return;
      --left;
      add_slot_posting(list, slot->second, p.weight);
    }
  }
  for (const auto& [id, left] : unmatched)
    if (left != 0) return;
  mirrored_ = true;
}

std::optional<Slot> SparseStore::slot_of(VectorId id) const {
  if (!mirrored_) return std::nullopt;
  auto it = slot_of_.find(id);
  if (it == slot_of_.end()) return std::nullopt;
  return it->second;
}

const SlotList* SparseStore::slot_postings(uint32_t index) const {
  auto it = slot_postings_.find(index);
  return it == slot_postings_.end() ? nullptr : &it->second;
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

namespace {

// Higher first; a NaN ranks after every number.
bool score_greater(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}

// The best `limit` (id, score) pairs offered, kept in a heap whose root is
// the worst of them.
class TopPool {
 public:
  explicit TopPool(size_t limit) : limit_(limit) {}
  bool full() const { return heap_.size() >= limit_; }
  // The score a new entry must beat once the pool is full.
  float cut() const { return heap_.front().second; }
  void offer(VectorId id, float score) {
    auto worse = [](const Entry& a, const Entry& b) { return score_greater(a.second, b.second); };
    if (!full()) {
      heap_.emplace_back(id, score);
      std::push_heap(heap_.begin(), heap_.end(), worse);
      return;
    }
    if (!score_greater(score, heap_.front().second)) return;
    std::pop_heap(heap_.begin(), heap_.end(), worse);
    heap_.back() = {id, score};
    std::push_heap(heap_.begin(), heap_.end(), worse);
  }
  std::vector<std::pair<VectorId, float>> take() {
    std::sort(heap_.begin(), heap_.end(), [](const Entry& a, const Entry& b) { return score_greater(a.second, b.second); });
    return std::move(heap_);
  }

 private:
  using Entry = std::pair<VectorId, float>;
  size_t limit_;
  std::vector<Entry> heap_;
};

// Per-thread working arrays over slots: partial sums, one bit per slot
// marking those this query touched, and a mark with an epoch for the vectors
// already scored exactly. Sums and bits are zero between queries: a query
// leaves its own behind, and the next one clears just those (the bits say
// where), so that adding a posting needs no test of whether its cell is
// fresh.
struct SlotScratch {
  std::vector<float> sums;
  std::vector<uint64_t> touched;  // bit per slot
  std::vector<uint32_t> scored;   // == epoch: exact score already offered
  size_t words = 0;               // words of `touched` the last query may have set
  uint32_t epoch = 0;

  void prepare(size_t slots) {
    clear();
    if (sums.size() < slots) {
      sums.resize((slots + 63) / 64 * 64, 0.0f);  // whole words, for above()
      scored.resize(slots, 0);
      touched.resize((slots + 63) / 64, 0);
    }
    words = (slots + 63) / 64;
    if (++epoch == 0) {  // wrapped: clear the marks once
      std::fill(scored.begin(), scored.end(), 0);
      epoch = 1;
    }
  }
  // Zeroes what the last query wrote: word by word through the bits when few
  // are set, the whole array at once when most are.
  void clear() {
    if (touched_count() > words * 8) {
      std::fill(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(std::min(sums.size(), words * 64)), 0.0f);
    } else {
      for_each([&](Slot slot) { sums[slot] = 0.0f; });
    }
    std::fill(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(words), 0);
  }
  // Calls fn(slot) for every slot this query touched, in slot order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t w = 0; w < words; ++w) {
      for (uint64_t bits = touched[w]; bits != 0; bits &= bits - 1)
        fn(static_cast<Slot>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
    }
  }
  // Bits of word w's slots whose sum is above `cut` (a number): 0 for a NaN.
  uint64_t above(size_t w, float cut) const {
    const float* chunk = sums.data() + w * 64;
    uint64_t bits = 0;
#if defined(__SSE2__)
    const __m128 c = _mm_set1_ps(cut);
    for (int i = 0; i < 64; i += 4)
      bits |= static_cast<uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(chunk + i), c))) << i;
#else
    for (int i = 0; i < 64; ++i) bits |= static_cast<uint64_t>(chunk[i] > cut) << i;
#endif
    return bits;
  }
  size_t touched_count() const {
    size_t count = 0;
    for (size_t w = 0; w < words; ++w) count += static_cast<size_t>(__builtin_popcountll(touched[w]));
    return count;
  }
  float sum(Slot slot) const { return sums[slot]; }
  // Adds w * q to every slot of the list. A fresh cell holds 0, and 0 + x is
  // what an id's first score in score() is (-0 becoming +0 as there).
  void add(const SlotList& list, float q) {
    float* sum = sums.data();
    uint64_t* bits = touched.data();
    for (const SlotPosting& p : list.entries) {
      sum[p.slot] += p.weight * q;
      bits[p.slot >> 6] |= uint64_t{1} << (p.slot & 63);
    }
  }
};

// The thread's scratch. Reached through a call the compiler does not look
// into: in a shared library a thread-local's address is a call into the
// dynamic linker, which an inlined access repeats inside the loops using it.
[[gnu::noinline]] SlotScratch& thread_scratch() {
  thread_local SlotScratch scratch;
  return scratch;
}

}  // namespace

float SparseStore::score_slot(const SparseVector& query, Slot slot) const {
  const SparseVector& v = *slot_vectors_[slot];
  const size_t n = v.pair_count();
  const uint32_t* idx = v.indices.data();
  float sum = 0.0f;
  for (size_t i = 0; i < query.pair_count(); ++i) {
    const uint32_t* at = std::lower_bound(idx, idx + n, query.indices[i]);
    if (at != idx + n && *at == query.indices[i]) sum += v.values[static_cast<size_t>(at - idx)] * query.values[i];
  }
  return sum;
}

std::vector<std::pair<VectorId, float>> SparseStore::top_scores_exhaustive(
    const SparseVector& query, size_t limit, const std::function<bool(VectorId)>& keep) const {
  if (!mirrored_) return top_scores_by_id(query, limit, keep);
  if (limit == 0) return {};
  SlotScratch& s = thread_scratch();
  s.prepare(slot_ids_.size());
  // Lists in the query's order, each in its stored order: the additions of
  // score(), one for one.
  for (size_t i = 0; i < query.pair_count(); ++i) {
    auto list = slot_postings_.find(query.indices[i]);
    if (list != slot_postings_.end()) s.add(list->second, query.values[i]);
  }
  TopPool pool(limit);
  for (size_t w = 0; w < s.words; ++w) {
    uint64_t bits = s.touched[w];
    // Once the pool is full, most sums fall below its cut: test 64 at a
    // time, and look only at those above it.
    if (bits != 0 && pool.full() && !std::isnan(pool.cut())) bits &= s.above(w, pool.cut());
    for (; bits != 0; bits &= bits - 1) {
      const Slot slot = static_cast<Slot>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      if (pool.full() && !score_greater(s.sum(slot), pool.cut())) continue;
      const VectorId id = slot_ids_[slot];
      if (!keep || keep(id)) pool.offer(id, s.sum(slot));
    }
  }
  return pool.take();
}

std::vector<std::pair<VectorId, float>> SparseStore::top_scores(const SparseVector& query, size_t limit,
                                                                const std::function<bool(VectorId)>& keep) const {
  if (!mirrored_ || irregular_ > 0) return top_scores_exhaustive(query, limit, keep);
  if (limit == 0) return {};
  struct Term {
    const SlotList* list;
    float q;
    double bound;  // the most the term adds to any vector (0 when it only takes away)
  };
  std::vector<Term> terms;
  terms.reserve(query.pair_count());
  // Sum of |q| * |w| over the terms: the scale of the rounding errors.
  double scale = 0.0;
  for (size_t i = 0; i < query.pair_count(); ++i) {
    auto it = slot_postings_.find(query.indices[i]);
    if (it == slot_postings_.end()) continue;
    const SlotList& list = it->second;
    const float q = query.values[i];
    if (!std::isfinite(q) || list.non_finite > 0) return top_scores_exhaustive(query, limit, keep);
    if (list.entries.empty()) continue;
    // Products are rounded monotonically, so the bound of the product is the
    // product of the bound.
    const float top = q >= 0.0f ? q * list.max_weight : q * list.min_weight;
    terms.push_back({&list, q, std::max(0.0, static_cast<double>(top))});
    scale += std::fabs(static_cast<double>(q)) *
             std::max(std::fabs(static_cast<double>(list.max_weight)), std::fabs(static_cast<double>(list.min_weight)));
  }
  if (terms.empty()) return {};
  // Sums that could overflow would turn bounds into infinities.
  if (!(scale * static_cast<double>(terms.size()) < 1e37)) return top_scores_exhaustive(query, limit, keep);
  // A partial sum in another order and the exact sum each differ from the
  // real sum of the same products by at most (terms - 1) roundings of the
  // scale; the margin covers both, twice over.
  const double margin = 4.0 * static_cast<double>(terms.size()) * scale * 0x1p-24 + 1e-37;

  std::sort(terms.begin(), terms.end(),
            [](const Term& a, const Term& b) { return a.list->entries.size() < b.list->entries.size(); });
  double unread = 0.0;
  for (const Term& t : terms) unread += t.bound;
  {
    // Skipping pays only when the lists holding most postings can be left
    // unread, that is when they add little next to the short ones: common
    // terms of low weight. Where their bounds weigh as much as the rest (all
    // weights alike), summing everything in order is faster.
    size_t postings = 0;
    for (const Term& t : terms) postings += t.list->entries.size();
    double long_bound = 0.0;
    size_t long_postings = 0;
    for (auto t = terms.rbegin(); t != terms.rend() && 2 * long_postings < postings; ++t) {
      long_bound += t->bound;
      long_postings += t->list->entries.size();
    }
    if (long_bound >= 0.1 * (unread - long_bound)) return top_scores_exhaustive(query, limit, keep);
  }
  size_t unread_postings = 0;
  for (const Term& t : terms) unread_postings += t.list->entries.size();
  const size_t total_postings = unread_postings;

  SlotScratch& s = thread_scratch();
  s.prepare(slot_ids_.size());
  TopPool pool(limit);
  auto offer = [&](Slot slot) {
    s.scored[slot] = s.epoch;
    const VectorId id = slot_ids_[slot];
    if (keep && !keep(id)) return;
    pool.offer(id, score_slot(query, slot));
  };
  // Scoring a vector from its own pairs (a search of its indices per query
  // term) costs about as much as adding this many postings.
  constexpr size_t kRescoreCost = 64;
  std::vector<Slot> best;
  size_t read = 0;
  for (; read < terms.size(); ++read) {
    const Term& t = terms[read];
    s.add(*t.list, t.q);
    unread -= t.bound;
    unread_postings -= t.list->entries.size();
    if (read + 1 == terms.size()) break;
    // Worth a look at the cut (which scores up to `limit` vectors exactly)
    // only when the unread lists are much longer than that and than the
    // vectors found so far.
    const size_t touched = s.touched_count();
    if (unread_postings <= 4 * touched || unread_postings <= kRescoreCost * limit || touched < limit) continue;
    // The best partial sums so far, scored exactly, give a cut that every
    // pool member reaches.
    best.clear();
    s.for_each([&](Slot slot) {
      if (s.scored[slot] != s.epoch) best.push_back(slot);
    });
    const size_t take = std::min(best.size(), limit);
    std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(take) - (take ? 1 : 0), best.end(),
                     [&](Slot a, Slot b) { return s.sum(a) > s.sum(b); });
    for (size_t i = 0; i < take; ++i) offer(best[i]);
    // No vector outside the read lists can reach the cut: skip the rest.
    if (pool.full() && unread + margin < static_cast<double>(pool.cut())) break;
    // Once most postings are read, skipping the rest cannot pay for the
    // exact scores it needs: sum everything in order instead.
    if (2 * unread_postings < total_postings) return top_scores_exhaustive(query, limit, keep);
  }
  // Vectors of the read lists whose partial sum and the unread bounds can
  // still reach the cut are scored exactly: when that costs more than all
  // the query's postings, summing everything in order is faster.
  if (pool.full()) {
    size_t candidates = 0;
    const double cut = static_cast<double>(pool.cut());
    s.for_each([&](Slot slot) {
      candidates += s.scored[slot] != s.epoch && static_cast<double>(s.sum(slot)) + unread + margin >= cut;
    });
    if (candidates * kRescoreCost > total_postings) return top_scores_exhaustive(query, limit, keep);
  } else if (s.touched_count() * kRescoreCost > total_postings) {
    return top_scores_exhaustive(query, limit, keep);
  }
  s.for_each([&](Slot slot) {
    if (s.scored[slot] == s.epoch) return;
    if (pool.full() && static_cast<double>(s.sum(slot)) + unread + margin < static_cast<double>(pool.cut())) return;
    offer(slot);
  });
  return pool.take();
}

std::vector<std::pair<VectorId, float>> SparseStore::top_scores_by_id(const SparseVector& query, size_t limit,
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
  store.build_slots();
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
