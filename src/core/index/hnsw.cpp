#include "core/index/hnsw.h"

#include <omp.h>
#include <sys/random.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <random>
#include <unordered_set>

#include "core/cpu.h"
#include "core/index/topk.h"

namespace kovra {
namespace {

// Heap orders as function objects, so that the heap algorithms inline them.
struct FarthestOnTop {
  bool operator()(const Neighbor& a, const Neighbor& b) const { return neighbor_less(a, b); }
};
struct NearestOnTop {
  bool operator()(const Neighbor& a, const Neighbor& b) const { return neighbor_less(b, a); }
};
constexpr NearestOnTop nearest_on_top;
constexpr FarthestOnTop farthest_on_top;

// Closest first, with NaN distances after all numbers so that the order stays total.
bool nan_last_less(const Neighbor& a, const Neighbor& b) {
  bool a_nan = a.distance != a.distance, b_nan = b.distance != b.distance;
  if (a_nan != b_nan) return b_nan;
  return neighbor_less(a, b);
}

uint64_t entropy_seed() {
  uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    seed = std::random_device()();
    seed = (seed << 32) ^ std::random_device()();
  }
  return seed;
}

// Pulls the first cache lines of a stored vector toward the core; the hardware
// prefetcher follows the rest of a long row.
inline void prefetch_vector(const float* v, size_t bytes) {
  const char* p = reinterpret_cast<const char*>(v);
  size_t end = std::min<size_t>(bytes, 512);
  for (size_t off = 0; off < end; off += 64) __builtin_prefetch(p + off, 0, 3);
}

uint16_t next_epoch(SearchScratch& s) {
  if (++s.epoch == 0) {
    std::fill(s.visited.begin(), s.visited.end(), uint16_t{0});
    s.epoch = 1;
  }
  return s.epoch;
}

}  // namespace

HnswGraph::HnswGraph(uint64_t dims, uint64_t m_, uint64_t ef_c)
    : dimensions(dims),
      m(m_),
      m0(2 * m_),
      ef_construction(ef_c),
      level_multiplier(1.0 / std::log(static_cast<double>(std::max<uint64_t>(m_, 2)))) {}

void HnswGraph::ensure_slot(Slot s) {
  size_t need = size_t{s} + 1;
  if (need <= live.size()) return;
  vectors.resize(need * dimensions, 0.0f);
  levels.resize(need, 0);
  layer0_links.resize(need * stride(), 0);
  layer0_counts.resize(need, 0);
  live.resize(need, 0);
  ids.resize(need, 0);
}

void HnswGraph::reserve_slots(size_t slots) {
  if (slots <= live.capacity()) return;
  // Geometric, so that many small batches stay linear.
  slots = std::max(slots, live.capacity() + live.capacity() / 2);
  vectors.reserve(slots * dimensions);
  levels.reserve(slots);
  layer0_links.reserve(slots * stride());
  layer0_counts.reserve(slots);
  live.reserve(slots);
  ids.reserve(slots);
  slot_of_id.reserve(slots, [this](uint32_t s) { return ids[s]; });
}

Slot HnswGraph::claim(VectorId id) {
  if (auto s = find(id)) return *s;
  Slot s;
  if (!free_slots.empty()) {
    s = free_slots.back();
    free_slots.pop_back();
  } else {
    s = static_cast<Slot>(slot_count());
    ensure_slot(s);
  }
  ids[s] = id;
  slot_of_id.insert(id, s, [this](uint32_t t) { return ids[t]; });
  return s;
}

void HnswGraph::release(Slot s) {
  slot_of_id.erase(ids[s], [this](uint32_t t) { return ids[t]; });
  free_slots.push_back(s);
}

size_t HnswGraph::unclaimed(std::span<const VectorId> batch) const {
  size_t n = 0;
  std::unordered_set<VectorId> seen;
  for (VectorId id : batch)
    if (!find(id) && seen.insert(id).second) ++n;
  return n;
}

uint64_t HnswGraph::slot_bytes(uint64_t slots) const {
  uint64_t per_slot, bytes;
  if (__builtin_mul_overflow(uint64_t{dimensions}, sizeof(float), &per_slot)) return UINT64_MAX;
  // The id and its map cells (at most 2.5 per slot) beside the graph's arrays.
  per_slot += sizeof(uint8_t) * 2 + stride() * sizeof(Slot) + sizeof(layer0_counts[0]) + sizeof(uint16_t) +
              sizeof(VectorId) + 10;
  if (__builtin_mul_overflow(slots, per_slot, &bytes)) return UINT64_MAX;
  return bytes;
}

std::optional<std::string> HnswGraph::growth_shortfall(uint64_t slots) const {
  if (slots <= live.size()) return std::nullopt;
  if (slots > kMaxHnswNodes)
    return "would need " + std::to_string(slots) + " slots, more than the graph's " + std::to_string(kMaxHnswNodes);
  const uint64_t bytes = slot_bytes(slots), memory = cpu::physical_memory();
  if (bytes <= memory) return std::nullopt;
  return "would need " + std::to_string(bytes) + " bytes for the graph's " + std::to_string(slots) +
         " slots, more than the " + std::to_string(memory) + " bytes of memory of this machine";
}

Status HnswGraph::check_growth(uint64_t new_nodes) const {
  const uint64_t reused = std::min<uint64_t>(new_nodes, free_slots.size());
  const uint64_t slots = slot_count() + (new_nodes - reused);
  if (auto why = growth_shortfall(slots)) {
    return fail(Error::out_of_memory(std::to_string(new_nodes) + " new node" + (new_nodes == 1 ? "" : "s") + " " +
                                     *why));
  }
  return ok();
}

void HnswGraph::reset_upper(Slot s, size_t level, size_t width) {
  drop_upper(s);
  if (level == 0) return;
  const size_t at = upper_pool.size(), words = 2 + level * (width + 1);
  // Blocks are found by 32-bit offsets, one value of which marks an empty cell.
  if (at + words >= BasicSlotMap<uint32_t>::kEmpty || width >= BasicSlotMap<uint32_t>::kEmpty) throw std::bad_alloc();
  upper_pool.resize(at + words, 0);
  upper_pool[at] = s;
  upper_pool[at + 1] = static_cast<Slot>(width);
  upper_of_slot.insert(s, static_cast<uint32_t>(at), [this](uint32_t b) { return upper_pool[b]; });
}

void HnswGraph::drop_upper(Slot s) {
  auto at = upper_of_slot.erase(s, [this](uint32_t b) { return upper_pool[b]; });
  if (!at) return;
  const size_t width = upper_pool[*at + 1];
  upper_garbage += 2 + levels[s] * (width + 1);
  // Compacting once the garbage is as large as the rest keeps the pool within
  // twice the live blocks, at a linear cost shared by as many removals.
  if (upper_garbage > 4096 && 2 * upper_garbage > upper_pool.size()) compact_upper();
}

void HnswGraph::compact_upper() {
  // Blocks keep their order, so the pool reads the same as before, only shorter.
  std::vector<uint32_t> starts;
  starts.reserve(upper_of_slot.size());
  upper_of_slot.for_each([&](uint32_t b) { starts.push_back(b); });
  std::sort(starts.begin(), starts.end());
  GrowBuffer<Slot> pool;
  pool.reserve(upper_pool.size() - upper_garbage);
  upper_of_slot.clear();
  for (uint32_t b : starts) {
    const size_t words = 2 + levels[upper_pool[b]] * (size_t{upper_pool[b + 1]} + 1);
    const uint32_t at = static_cast<uint32_t>(pool.size());
    pool.insert(pool.end(), upper_pool.data() + b, upper_pool.data() + b + words);
    upper_of_slot.insert(pool[at], at, [&pool](uint32_t c) { return pool[c]; });
  }
  upper_pool.swap(pool);
  upper_garbage = 0;
}

void HnswGraph::place(Slot s, const float* v, uint8_t level) {
  std::copy(v, v + dimensions, vectors.begin() + static_cast<std::ptrdiff_t>(size_t{s} * dimensions));
  // The old block is sized by the old level.
  drop_upper(s);
  levels[s] = level;
  layer0_counts[s] = 0;
  reset_upper(s, level, m);
  if (!live[s]) {
    live[s] = 1;
    ++live_count;
  }
}

void HnswGraph::search_layer(const DistanceScorer& q, Slot entry, size_t ef, size_t layer,
                             SearchScratch& s) const {
  const uint16_t epoch = next_epoch(s);
  uint16_t* visited = s.visited.data();
  auto& cand = s.candidates;
  auto& res = s.results;
  cand.clear();
  res.clear();
  s.layer.clear();

  visited[entry] = epoch;
  if (!live[entry]) return;
  float d0 = q.one(vector(entry));
  cand.push_back({d0, entry});
  res.push_back({d0, entry});

  const size_t row_bytes = dimensions * sizeof(float);
  const size_t st = stride();
  while (!cand.empty()) {
    std::pop_heap(cand.begin(), cand.end(), nearest_on_top);
    const Neighbor c = cand.back();
    cand.pop_back();
    if (res.size() >= ef && c.distance > res.front().distance) break;

    const Slot* list;
    size_t count;
    if (layer == 0) {
      list = layer0_links.data() + size_t{c.slot} * st;
      count = layer0_counts[c.slot];
    } else {
      const Slot* at = upper_list(c.slot, layer);
      if (!at) continue;
      count = at[0];
      list = at + 1;
    }
    // The next candidate's list is read on the next round.
    if (layer == 0 && !cand.empty()) {
      __builtin_prefetch(layer0_links.data() + size_t{cand.front().slot} * st);
      __builtin_prefetch(layer0_counts.data() + cand.front().slot);
    }
    for (size_t i = 0; i < count; ++i) {
      __builtin_prefetch(visited + list[i], 1);
      __builtin_prefetch(live.data() + list[i]);
    }

    if (s.gather.size() < count) {
      s.gather.resize(count);
      s.gather_dist.resize(count);
    }
    Slot* gather = s.gather.data();
    size_t g = 0;
    for (size_t i = 0; i < count; ++i) {
      Slot n = list[i];
      if (visited[n] == epoch) continue;
      visited[n] = epoch;
      if (!live[n]) continue;
      if (g < 8) prefetch_vector(vector(n), row_bytes);
      gather[g++] = n;
    }

    float* dist = s.gather_dist.data();
    size_t i = 0;
    for (; i + 4 <= g; i += 4) {
      const float* v[4] = {vector(gather[i]), vector(gather[i + 1]), vector(gather[i + 2]),
                           vector(gather[i + 3])};
      for (size_t j = i + 8; j < std::min(g, i + 12); ++j) prefetch_vector(vector(gather[j]), row_bytes);
      q.four(v, dist + i);
    }
    for (; i < g; ++i) dist[i] = q.one(vector(gather[i]));

    for (size_t j = 0; j < g; ++j) {
      float d = dist[j];
      if (res.size() < ef || d < res.front().distance) {
        cand.push_back({d, gather[j]});
        std::push_heap(cand.begin(), cand.end(), nearest_on_top);
        res.push_back({d, gather[j]});
        std::push_heap(res.begin(), res.end(), farthest_on_top);
        if (res.size() > ef) {
          std::pop_heap(res.begin(), res.end(), farthest_on_top);
          res.pop_back();
        }
      }
    }
  }

  // Popping the farthest-first heap fills the result from the back: ascending
  // order without a sort, which stays well-defined even for NaN distances.
  auto& out = s.layer;
  out.resize(res.size());
  for (size_t i = res.size(); i-- > 0;) {
    std::pop_heap(res.begin(), res.end(), farthest_on_top);
    out[i] = res.back();
    res.pop_back();
  }
}

void HnswGraph::score(const DistanceScorer& q, const Slot* slots, size_t n, float* out) const {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float* v[4] = {vector(slots[i]), vector(slots[i + 1]), vector(slots[i + 2]), vector(slots[i + 3])};
    q.four(v, out + i);
  }
  for (; i < n; ++i) out[i] = q.one(vector(slots[i]));
}

Slot HnswGraph::greedy(const DistanceScorer& q, Slot start, size_t layer, SearchScratch& s) const {
  Slot current = start;
  float best = q.one(vector(current));
  for (;;) {
    const Slot* at = upper_list(current, layer);
    if (!at) return current;
    const size_t count = at[0];
    if (s.gather.size() < count) {
      s.gather.resize(count);
      s.gather_dist.resize(count);
    }
    // Deleted nodes keep links pointing at them in other nodes' lists; walking
    // onto one would start the next layer from a node that is not there.
    size_t g = 0;
    for (size_t i = 0; i < count; ++i)
      if (live[at[1 + i]]) s.gather[g++] = at[1 + i];
    score(q, s.gather.data(), g, s.gather_dist.data());
    Slot next = current;
    for (size_t j = 0; j < g; ++j) {
      if (s.gather_dist[j] < best) {
        best = s.gather_dist[j];
        next = s.gather[j];
      }
    }
    if (next == current) return current;
    current = next;
  }
}

void HnswGraph::find_neighbors(Metric metric, Slot self, uint8_t level, SearchScratch& s,
                               std::vector<std::vector<Slot>>& layers, std::span<const Slot> peers) const {
  s.cover(slot_count());
  DistanceScorer q(metric, std::span<const float>(vector(self), dimensions), /*raw=*/true);

  // Peers are scored once; each one is a candidate on the layers up to its level.
  auto& scored = s.peers;
  scored.clear();
  size_t peer_top = 0;
  if (s.gather.size() < peers.size()) {
    s.gather.resize(peers.size());
    s.gather_dist.resize(peers.size());
  }
  size_t g = 0;
  for (Slot p : peers)
    if (p != self) s.gather[g++] = p;
  score(q, s.gather.data(), g, s.gather_dist.data());
  for (size_t j = 0; j < g; ++j) {
    scored.push_back({s.gather_dist[j], s.gather[j]});
    peer_top = std::max<size_t>(peer_top, levels[s.gather[j]]);
  }

  if (!entry_point && scored.empty()) {
    layers.clear();
    return;
  }
  // Layers above the entry point's are linked only among the peers, as they
  // would be had the peers been inserted one after another.
  const size_t entry_top = entry_point ? levels[*entry_point] : 0;
  const size_t top = std::min<size_t>(level, std::max(entry_top, peer_top));
  Slot current = entry_point ? *entry_point : self;
  if (entry_point)
    for (size_t l = entry_top; l > level; --l) current = greedy(q, current, l, s);
  layers.resize(top + 1);
  for (size_t l = top + 1; l-- > 0;) {
    const bool searched = entry_point && l <= entry_top;
    if (searched) search_layer(q, current, ef_construction, l, s);
    std::span<const Neighbor> found;
    if (searched) found = s.layer;
    const size_t max = l == 0 ? m0 : m;
    if (scored.empty()) {
      select_diverse(metric, self, found, max, layers[l]);
    } else {
      auto& merged = s.merged;
      merged.assign(found.begin(), found.end());
      // The search keeps only the ef_construction closest, in order; so does
      // the merge. A peer beyond a full list's last cannot enter it.
      const size_t keep = std::max<size_t>(ef_construction, found.size());
      const bool full = found.size() >= ef_construction && !found.empty();
      for (const Neighbor& p : scored) {
        if (levels[p.slot] < l) continue;
        if (full && nan_last_less(found.back(), p)) continue;
        // A peer is reached by the search only over stale links toward its slot.
        if (searched && s.visited[p.slot] == s.epoch &&
            std::any_of(found.begin(), found.end(), [&](const Neighbor& nb) { return nb.slot == p.slot; }))
          continue;
        merged.push_back(p);
      }
      if (merged.size() > found.size()) {
        const auto middle = merged.begin() + static_cast<std::ptrdiff_t>(found.size());
        std::sort(middle, merged.end(), nan_last_less);
        std::inplace_merge(merged.begin(), middle, merged.end(), nan_last_less);
        merged.resize(std::min(merged.size(), keep));
      }
      select_diverse(metric, self, merged, max, layers[l]);
    }
    // Stale links toward a re-used slot can lead a search back to the node
    // itself, whose own lists are still empty; peers have no lists yet either.
    for (const Neighbor& nb : found) {
      if (nb.slot != self) {
        current = nb.slot;
        break;
      }
    }
  }
}

void HnswGraph::select_diverse(Metric metric, Slot self, std::span<const Neighbor> sorted, size_t max,
                               std::vector<Slot>& out) const {
  out.clear();
  size_t others = 0;
  for (const Neighbor& nb : sorted) others += nb.slot != self;
  if (others <= max) {
    for (const Neighbor& nb : sorted)
      if (nb.slot != self) out.push_back(nb.slot);
    return;
  }
  // A candidate is kept only if it is closer to the node than to every
  // neighbour kept before it. Taking the plain closest ones instead links each
  // node only inside its own dense region: on clustered data most nodes then
  // become unreachable from the entry point.
  float dist[4];
  for (const Neighbor& c : sorted) {
    if (out.size() == max) break;
    if (c.slot == self) continue;
    DistanceScorer q(metric, std::span<const float>(vector(c.slot), dimensions), /*raw=*/true);
    size_t n = out.size(), i = 0;
    bool keep = true;
    for (; keep && i + 4 <= n; i += 4) {
      const float* v[4] = {vector(out[i]), vector(out[i + 1]), vector(out[i + 2]), vector(out[i + 3])};
      q.four(v, dist);
      for (int j = 0; j < 4; ++j) keep = keep && !(dist[j] < c.distance);
    }
    for (; keep && i < n; ++i) keep = !(q.one(vector(out[i])) < c.distance);
    if (keep) out.push_back(c.slot);
  }
}

void HnswGraph::connect(Metric metric, Slot self, size_t layer, std::span<const Slot> chosen) {
  set_links(self, layer, chosen);
  for (Slot n : chosen) link_back(metric, n, layer, self, link_scratch_);
}

void HnswGraph::set_links(Slot self, size_t layer, std::span<const Slot> chosen) {
  if (layer == 0) {
    std::copy(chosen.begin(), chosen.end(), layer0_links.data() + size_t{self} * stride());
    layer0_counts[self] = static_cast<uint16_t>(chosen.size());
    return;
  }
  Slot* at = upper_list(self, layer);
  KOVRA_CHECK(at && chosen.size() <= upper_width(self), "an upper list set beyond its node's level");
  at[0] = static_cast<Slot>(chosen.size());
  std::copy(chosen.begin(), chosen.end(), at + 1);
}

void HnswGraph::link_back(Metric metric, Slot n, size_t layer, Slot self, LinkScratch& scratch) {
  const size_t max = layer == 0 ? m0 : m;
  if (layer == 0) {
    Slot* row = layer0_links.data() + size_t{n} * stride();
    layer0_counts[n] =
        static_cast<uint16_t>(append_link(metric, n, row, layer0_counts[n], stride(), max, self, scratch));
    return;
  }
  // A search over a stale link toward a re-used slot can offer a node whose
  // level is below `layer`: it has no list there to take the link, and a
  // file would not list one.
  Slot* at = upper_list(n, layer);
  if (!at) return;
  at[0] = static_cast<Slot>(append_link(metric, n, at + 1, at[0], upper_width(n), max, self, scratch));
}

size_t HnswGraph::append_link(Metric metric, Slot owner, Slot* list, size_t count, size_t width, size_t max,
                              Slot self, LinkScratch& scratch) const {
  if (count < width) {
    list[count++] = self;
    return count > max ? prune(metric, owner, list, count, max, scratch) : count;
  }
  // A full list prunes a copy with the new link, then takes the kept entries back.
  auto& full = scratch.full;
  full.assign(list, list + count);
  full.push_back(self);
  count = prune(metric, owner, full.data(), full.size(), std::min(max, width), scratch);
  std::copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(count), list);
  return count;
}

// Shrinks an overflowing list to at most `max` entries and returns its new
// length. Dead entries go first, each replaced by the list's last entry.
// Otherwise the list is chosen again from its own entries, as a new node's list
// is, which keeps the links that lead out of the owner's region. (A list read
// from a file may start out longer than `max`.)
size_t HnswGraph::prune(Metric metric, Slot owner, Slot* list, size_t count, size_t max,
                        LinkScratch& scratch) const {
  for (size_t i = 0; i < count && count > max;) {
    if (!live[list[i]]) {
      list[i] = list[--count];
    } else {
      ++i;
    }
  }
  if (count <= max) return count;
  DistanceScorer q(metric, std::span<const float>(vector(owner), dimensions), /*raw=*/true);
  std::vector<Neighbor>& scored = scratch.scored;
  scored.resize(count);
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const float* v[4] = {vector(list[i]), vector(list[i + 1]), vector(list[i + 2]), vector(list[i + 3])};
    float d[4];
    q.four(v, d);
    for (int j = 0; j < 4; ++j) scored[i + j] = {d[j], list[i + j]};
  }
  for (; i < count; ++i) scored[i] = {q.one(vector(list[i])), list[i]};
  std::sort(scored.begin(), scored.end(), nan_last_less);
  std::vector<Slot>& kept = scratch.kept;
  select_diverse(metric, owner, scored, max, kept);
  std::copy(kept.begin(), kept.end(), list);
  return kept.size();
}

void HnswGraph::unlink(Slot s) {
  live[s] = 0;
  --live_count;
  const size_t st = stride();
  const Slot* own = layer0_links.data() + size_t{s} * st;
  for (size_t i = 0, c = layer0_counts[s]; i < c; ++i) {
    Slot n = own[i];
    if (n == s) continue;
    Slot* row = layer0_links.data() + size_t{n} * st;
    size_t count = layer0_counts[n];
    for (size_t j = 0; j < count; ++j) {
      if (row[j] == s) {
        row[j] = row[count - 1];
        layer0_counts[n] = static_cast<uint16_t>(count - 1);
        break;
      }
    }
  }
  layer0_counts[s] = 0;
  for (size_t l = 1; l <= levels[s]; ++l) {
    const Slot* own_list = upper_list(s, l);
    if (!own_list) break;
    for (size_t i = 0, c = own_list[0]; i < c; ++i) {
      Slot n = own_list[1 + i];
      Slot* theirs = n == s ? nullptr : upper_list(n, l);
      if (!theirs) continue;
      Slot* first = theirs + 1;
      theirs[0] = static_cast<Slot>(std::remove(first, first + theirs[0], s) - first);
    }
  }
  drop_upper(s);

  if (entry_point == s) {
    entry_point.reset();
    int best = -1;
    for (size_t i = 0; i < live.size(); ++i) {
      if (live[i] && levels[i] >= best) {
        best = levels[i];
        entry_point = static_cast<Slot>(i);
      }
    }
  }
}

size_t HnswGraph::memory_bytes() const {
  return vectors.capacity() * sizeof(float) + levels.capacity() + layer0_links.capacity() * sizeof(Slot) +
         layer0_counts.capacity() * sizeof(uint16_t) + live.capacity() + ids.capacity() * sizeof(VectorId) +
         slot_of_id.memory_bytes() + upper_pool.capacity() * sizeof(Slot) + upper_of_slot.memory_bytes() +
         free_slots.capacity() * sizeof(Slot);
}

// ---------------------------------------------------------------------------

HnswIndex::HnswIndex(size_t dimensions, Metric metric, HnswConfig config)
    : dimensions_(dimensions),
      metric_(metric),
      config_(config),
      graph_(dimensions, config.m, config.ef_construction),
      scratch_(std::make_unique<LockedScratch>()) {
  KOVRA_CHECK(check_config(config), "HnswIndex built with an unsupported m");
}

Status HnswIndex::check_config(const HnswConfig& config) {
  if (config.m > kMaxHnswM0 / 2) {
    return fail(Error::invalid_config("m must be at most " + std::to_string(kMaxHnswM0 / 2) + ", got " +
                                      std::to_string(config.m)));
  }
  return ok();
}

Status HnswIndex::set_ef_search(uint64_t ef_search) {
  if (ef_search < 1) return fail(Error::invalid_config("ef_search must be at least 1"));
  config_.ef_search = ef_search;
  return ok();
}

uint8_t HnswIndex::draw_level() {
  if (level_source_) return level_source_();
  thread_local std::mt19937_64 gen(entropy_seed());
  double u = static_cast<double>(gen() >> 11) * 0x1.0p-53;
  double level = std::floor(-std::log(std::max(u, 1e-15)) * graph_.level_multiplier);
  // A multiplier read from a file may be anything; keep the level a byte.
  if (!(level >= 0.0)) return 0;
  return static_cast<uint8_t>(std::min(level, 255.0));
}

void HnswIndex::link_placed(Slot s, uint8_t level, SearchScratch& scratch) {
  graph_.find_neighbors(metric_, s, level, scratch, layers_);
  for (size_t l = 0; l < layers_.size(); ++l) graph_.connect(metric_, s, l, layers_[l]);
  if (!graph_.entry_point || level > graph_.levels[*graph_.entry_point]) graph_.entry_point = s;
}

void HnswIndex::insert(Slot s, const float* vector, SearchScratch& scratch) {
  uint8_t level = draw_level();
  // Re-inserting a live node in place would clear its lists before its own
  // search; as the entry point it would then link only to itself.
  if (graph_.is_live(s)) graph_.unlink(s);
  graph_.ensure_slot(s);
  scratch.cover(graph_.slot_count());
  graph_.place(s, vector, level);
  link_placed(s, level, scratch);
}

Status HnswIndex::add(VectorId id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
  if (auto s = graph_.find(id); s && graph_.is_live(*s)) return fail(Error::duplicate_id(id));
  KOVRA_TRY(graph_.check_growth(graph_.find(id) ? 0 : 1));
  insert(graph_.claim(id), vector.data(), scratch_->scratch);
  return ok();
}

Status HnswIndex::add_batch(std::span<const Entry> entries) {
  std::vector<VectorId> ids;
  ids.reserve(entries.size());
  for (const auto& [id, vector] : entries) {
    if (vector.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, vector.size()));
    if (auto s = graph_.find(id); s && graph_.is_live(*s)) return fail(Error::duplicate_id(id));
    ids.push_back(id);
  }
  if (entries.empty()) return ok();
  const size_t fresh = graph_.unclaimed(ids);
  KOVRA_TRY(graph_.check_growth(fresh));
  graph_.reserve_slots(graph_.slot_count() + fresh);
  for (const auto& [id, vector] : entries) insert(graph_.claim(id), vector.data(), scratch_->scratch);
  return ok();
}

Status HnswIndex::check_block(std::span<const float> data, size_t columns, size_t* rows) const {
  *rows = 0;
  if (columns != dimensions_) return fail(Error::dimension_mismatch(dimensions_, columns));
  if (columns == 0) return ok();  // a zero-column block carries no rows
  if (data.size() % columns != 0) {
    return fail(Error::invalid_config("data length " + std::to_string(data.size()) +
                                      " is not divisible by dimension " + std::to_string(columns)));
  }
  *rows = data.size() / columns;
  return ok();
}

namespace {

// Ids start_id + r of a block's rows (wrapping past 2^64 - 1, as every index does).
std::vector<VectorId> block_ids(VectorId start_id, size_t rows) {
  std::vector<VectorId> ids(rows);
  for (size_t r = 0; r < rows; ++r) ids[r] = start_id + r;
  return ids;
}

}  // namespace

Status HnswIndex::claim_all(std::span<const VectorId> ids, std::vector<Slot>& slots) {
  const size_t fresh = graph_.unclaimed(ids);
  KOVRA_TRY(graph_.check_growth(fresh));
  graph_.reserve_slots(graph_.slot_count() + fresh);
  slots.resize(ids.size());
  for (size_t r = 0; r < ids.size(); ++r) slots[r] = graph_.claim(ids[r]);
  return ok();
}

Status HnswIndex::add_batch_np(std::span<const float> data, size_t columns, VectorId start_id) {
  size_t rows;
  KOVRA_TRY(check_block(data, columns, &rows));
  if (rows == 0) return ok();
  std::vector<Slot> slots;
  KOVRA_TRY(claim_all(block_ids(start_id, rows), slots));
  SearchScratch& scratch = scratch_->scratch;
  scratch.cover(graph_.slot_count());
  for (size_t r = 0; r < rows; ++r) insert(slots[r], data.data() + r * columns, scratch);
  return ok();
}

Status HnswIndex::add_batch_parallel(std::span<const float> data, size_t columns, VectorId start_id,
                                     size_t num_threads, size_t micro_batch_size) {
  size_t rows;
  KOVRA_TRY(check_block(data, columns, &rows));
  if (rows == 0) return ok();
  const size_t batch = micro_batch_size ? micro_batch_size : 256;
  std::vector<Slot> slots;
  KOVRA_TRY(claim_all(block_ids(start_id, rows), slots));
  insert_parallel(
      rows, [&](size_t r) { return slots[r]; }, [&](size_t r) { return data.data() + r * columns; },
      std::min(rows, batch), num_threads, batch);
  return ok();
}

Status HnswIndex::add_parallel(std::span<const VectorId> ids, std::span<const float> data, size_t num_threads,
                               size_t micro_batch_size) {
  if (data.size() != ids.size() * dimensions_) {
    return fail(Error::dimension_mismatch(dimensions_, ids.empty() ? data.size() : data.size() / ids.size()));
  }
  if (ids.empty()) return ok();
  const size_t batch = micro_batch_size ? micro_batch_size : 256;
  std::vector<Slot> slots;
  KOVRA_TRY(claim_all(ids, slots));
  // Only a graph too small to route searches is grown row by row first.
  const size_t boot = graph_.live_count >= batch ? 0 : std::min(ids.size(), batch - graph_.live_count);
  insert_parallel(
      ids.size(), [&](size_t r) { return slots[r]; }, [&](size_t r) { return data.data() + r * dimensions_; },
      boot, num_threads, batch);
  return ok();
}

template <class SlotOf, class RowOf>
void HnswIndex::insert_parallel(size_t rows, SlotOf slot_of, RowOf row, size_t boot, size_t num_threads,
                                size_t batch) {
  SearchScratch own;
  own.cover(graph_.slot_count());
  for (size_t r = 0; r < boot; ++r) insert(slot_of(r), row(r), own);

  if (rows > boot) {
    // More workers than rows per micro-batch (or than a machine can start)
    // would only sit idle; the graph does not depend on the count.
    const size_t procs = static_cast<size_t>(std::max(1, omp_get_num_procs()));
    size_t threads = num_threads ? num_threads : static_cast<size_t>(std::max(1, omp_get_max_threads()));
    threads = std::min({threads, batch, std::max<size_t>(64, 4 * procs)});
    std::vector<SearchScratch> worker(threads);
    std::vector<std::vector<std::vector<Slot>>> found(std::min(batch, rows - boot));
    std::vector<uint8_t> drawn(found.size());
    std::vector<Slot> batch_slots(found.size());
    struct Back {
      Slot target;
      uint32_t layer;
      Slot self;
    };
    std::vector<Back> backs;
    std::vector<size_t> group_starts;
    std::vector<HnswGraph::LinkScratch> linkers(threads);

    for (size_t s = boot; s < rows; s += batch) {
      const size_t n = std::min(rows, s + batch) - s;
      // Unlink every live row first: unlinking row by row could hand the entry
      // point to a row that is placed but not linked yet.
      for (size_t i = 0; i < n; ++i) {
        Slot slot = slot_of(s + i);
        if (graph_.is_live(slot)) graph_.unlink(slot);
      }
      for (size_t i = 0; i < n; ++i) drawn[i] = draw_level();
      for (size_t i = 0; i < n; ++i) graph_.place(slot_of(s + i), row(s + i), drawn[i]);

      for (size_t i = 0; i < n; ++i) batch_slots[i] = slot_of(s + i);

      // Each row also takes the rows before it in the micro-batch as
      // candidates: they are linked ahead of it, but the search cannot reach
      // them yet. Without them, rows that arrive next to their neighbours
      // (ordered data) link only to older rows and the graph loses recall.
      std::exception_ptr error;
      const int64_t count = static_cast<int64_t>(n);
#pragma omp parallel for num_threads(static_cast<int>(threads)) schedule(dynamic) if (threads > 1)
      for (int64_t i = 0; i < count; ++i) {
        try {
          const size_t r = static_cast<size_t>(i);
          graph_.find_neighbors(metric_, batch_slots[r], drawn[r], worker[static_cast<size_t>(omp_get_thread_num())],
                                found[r], std::span<const Slot>(batch_slots.data(), r));
        } catch (...) {
#pragma omp critical(kovra_hnsw_worker_error)
          if (!error) error = std::current_exception();
        }
      }
      if (error) std::rethrow_exception(error);

      // Linking, in parallel too: every row's own lists first, then the links
      // back, grouped by the list they change. Each list takes its new
      // entries in row order, as linking row after row gives them, and a
      // list's pruning reads only that list and fixed vectors, so the groups
      // are independent and the graph does not depend on the thread count.
      backs.clear();
      for (size_t i = 0; i < n; ++i) {
        const Slot slot = batch_slots[i];
        for (size_t l = 0; l < found[i].size(); ++l) {
          graph_.set_links(slot, l, found[i][l]);
          for (Slot t : found[i][l]) backs.push_back({t, static_cast<uint32_t>(l), slot});
        }
      }
      std::stable_sort(backs.begin(), backs.end(), [](const Back& a, const Back& b) {
        return a.target != b.target ? a.target < b.target : a.layer < b.layer;
      });
      group_starts.clear();
      for (size_t j = 0; j < backs.size(); ++j) {
        if (j == 0 || backs[j].target != backs[j - 1].target || backs[j].layer != backs[j - 1].layer)
          group_starts.push_back(j);
      }
      group_starts.push_back(backs.size());
      const int64_t groups = static_cast<int64_t>(group_starts.size()) - 1;
#pragma omp parallel for num_threads(static_cast<int>(threads)) schedule(dynamic, 32) if (threads > 1)
      for (int64_t g = 0; g < groups; ++g) {
        try {
          HnswGraph::LinkScratch& scratch = linkers[static_cast<size_t>(omp_get_thread_num())];
          for (size_t j = group_starts[static_cast<size_t>(g)]; j < group_starts[static_cast<size_t>(g) + 1]; ++j)
            graph_.link_back(metric_, backs[j].target, backs[j].layer, backs[j].self, scratch);
        } catch (...) {
#pragma omp critical(kovra_hnsw_worker_error)
          if (!error) error = std::current_exception();
        }
      }
      if (error) std::rethrow_exception(error);
      for (size_t i = 0; i < n; ++i) {
        if (!graph_.entry_point || drawn[i] > graph_.levels[*graph_.entry_point])
          graph_.entry_point = batch_slots[i];
      }
    }
  }
  scratch_->scratch.cover(graph_.slot_count());
}

Result<std::vector<Hit>> HnswIndex::search(std::span<const float> query, size_t k) const {
  std::unique_lock<std::mutex> lock(scratch_->mutex, std::try_to_lock);
  if (lock.owns_lock()) return search_with(query, k, scratch_->scratch);
  std::unique_ptr<SearchScratch> spare;
  {
    std::lock_guard<std::mutex> pool(scratch_->spare_mutex);
    if (!scratch_->spares.empty()) {
      spare = std::move(scratch_->spares.back());
      scratch_->spares.pop_back();
    }
  }
  if (!spare) spare = std::make_unique<SearchScratch>();
  auto hits = search_with(query, k, *spare);
  std::lock_guard<std::mutex> pool(scratch_->spare_mutex);
  scratch_->spares.push_back(std::move(spare));
  return hits;
}

Result<std::vector<Hit>> HnswIndex::search_with(std::span<const float> query, size_t k,
                                                SearchScratch& s) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0 || graph_.live_count == 0) return std::vector<Hit>();
  s.cover(graph_.slot_count());
  DistanceScorer q(metric_, query, /*raw=*/true);
  Slot current = *graph_.entry_point;
  for (size_t l = graph_.levels[current]; l >= 1; --l) current = graph_.greedy(q, current, l, s);
  graph_.search_layer(q, current, std::max<size_t>(config_.ef_search, k), 0, s);

  // Equal distances come in ascending id order, whatever slots the ids got.
  auto by_id = [&](const Neighbor& a, const Neighbor& b) {
    if (a.distance < b.distance) return true;
    if (b.distance < a.distance) return false;
    return graph_.ids[a.slot] < graph_.ids[b.slot];
  };
  for (size_t i = 1; i < s.layer.size(); ++i) {
    if (!(s.layer[i - 1].distance < s.layer[i].distance)) {
      std::sort(s.layer.begin(), s.layer.end(), by_id);
      break;
    }
  }
  size_t n = std::min(k, s.layer.size());
  std::vector<Hit> hits(n);
  for (size_t i = 0; i < n; ++i) {
    float d = s.layer[i].distance;
    hits[i] = {graph_.ids[s.layer[i].slot], metric_ == Metric::L2 ? std::sqrt(d) : d};
  }
  return hits;
}

Result<std::vector<Hit>> HnswIndex::search_ids(std::span<const float> query, size_t k,
                                               std::span<const VectorId> ids) const {
  if (query.size() != dimensions_) return fail(Error::dimension_mismatch(dimensions_, query.size()));
  if (k == 0 || graph_.live_count == 0 || ids.empty()) return std::vector<Hit>();
  std::vector<Slot> slots;
  slots.reserve(ids.size());
  for (VectorId id : ids)
    if (auto s = graph_.find(id); s && graph_.is_live(*s)) slots.push_back(*s);
  std::sort(slots.begin(), slots.end());
  DistanceScorer q(metric_, query, /*raw=*/true);
  TopK top(k);
  constexpr size_t kChunk = 256;
  float dist[kChunk];
  for (size_t base = 0; base < slots.size(); base += kChunk) {
    const size_t n = std::min(kChunk, slots.size() - base);
    graph_.score(q, slots.data() + base, n, dist);
    for (size_t i = 0; i < n; ++i) top.offer(graph_.ids[slots[base + i]], dist[i]);
  }
  std::vector<Hit> hits = top.finish();
  if (metric_ == Metric::L2)
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  return hits;
}

std::vector<std::optional<std::vector<float>>> HnswIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::optional<Slot> s = graph_.find(ids[i]);
    if (!s || !graph_.is_live(*s)) continue;
    const float* v = graph_.vector(*s);
    out[i].emplace(v, v + dimensions_);
  }
  return out;
}

Status HnswIndex::search_batch(const QueryBlock& queries, size_t num_threads, const BatchOutput& out) const {
  const size_t workers = batch_workers(queries.rows, num_threads);
  std::vector<SearchScratch> scratch(workers);
  return run_batch(queries.rows, workers, out, [&](size_t row, size_t worker) {
    return search_with(queries.row(row), out.k, scratch[worker]);
  });
}

Result<bool> HnswIndex::remove(VectorId id) {
  const std::optional<Slot> s = graph_.find(id);
  if (!s || !graph_.is_live(*s)) return false;
  graph_.unlink(*s);
  graph_.release(*s);
  return true;
}

std::vector<Entry> HnswIndex::iterate() const {
  // Ascending ids, as a file lists them.
  std::vector<Slot> order;
  order.reserve(graph_.live_count);
  for (size_t s = 0; s < graph_.slot_count(); ++s)
    if (graph_.live[s]) order.push_back(static_cast<Slot>(s));
  std::sort(order.begin(), order.end(), [&](Slot a, Slot b) { return graph_.ids[a] < graph_.ids[b]; });
  std::vector<Entry> out;
  out.reserve(order.size());
  for (Slot s : order) {
    const float* v = graph_.vector(s);
    out.emplace_back(graph_.ids[s], std::vector<float>(v, v + dimensions_));
  }
  return out;
}

void HnswIndex::adopt_graph(HnswGraph graph) { replace_graph(std::move(graph)); }

void HnswIndex::replace_graph(HnswGraph graph) {
  graph_ = std::move(graph);
  scratch_->scratch.cover(graph_.slot_count());
}

size_t HnswIndex::memory_bytes() const {
  return graph_.memory_bytes() + scratch_->scratch.visited.capacity() * sizeof(uint16_t);
}

}  // namespace kovra
