// Hierarchical navigable small-world graph over dense slots. Ids are any
// 64-bit values, mapped to slots that are handed out in insertion order (a
// deleted node's slot goes to the next new id), so memory follows the number
// of nodes, not the largest id. Every insertion links the new node at once, so
// the index is searchable after every call; there is no pending buffer and no
// build step.
//
// Storage is one entry per slot: vectors back to back, layer-0 lists in one
// flat array with a stride of m0 and 16-bit counts, each slot's id, and a map
// from id to slot. The lists of the upper layers, which about one node in m
// has, sit in one pool found through a small map from slot to block, so a
// node on layer 0 only costs nothing for them. Every array grows in place
// without leaving copies behind (see GrowBuffer).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/distance.h"
#include "core/index/batch_search.h"
#include "core/index/slot_map.h"
#include "core/index/vector_index.h"

namespace kovra {

// Tuning of a graph; also stored in index files and collection metadata.
struct HnswConfig {
  uint64_t ef_construction = 200;  // beam width while inserting
  uint64_t ef_search = 50;         // beam width of a query (widened to k)
  uint64_t m = 12;                 // neighbours per node on layers >= 1; 2 * m on layer 0
};

// Slots are 32-bit and one value marks an empty map cell: at most this many nodes.
inline constexpr uint64_t kMaxHnswNodes = SlotMap::kEmpty;
// Layer-0 counts are 16 bits and a list briefly holds m0 + 1 entries.
inline constexpr uint64_t kMaxHnswM0 = 0xFFFEull;

// A (distance, slot) pair. Pairs order by distance, then by slot; distances
// that do not compare (NaN) count as equal and fall through to the slot.
struct Neighbor {
  float distance;
  Slot slot;
  bool operator==(const Neighbor&) const = default;
};

inline bool neighbor_less(const Neighbor& a, const Neighbor& b) {
  if (a.distance < b.distance) return true;
  if (b.distance < a.distance) return false;
  return a.slot < b.slot;
}

// Working memory of layer searches, reused from one search to the next.
struct SearchScratch {
  // One mark per slot; visited when == epoch. 16 bits, as in hnswlib: the
  // marks are cleared once every 65,535 searches, and cost two bytes a node.
  GrowBuffer<uint16_t> visited;
  std::vector<Neighbor> candidates;  // heap, nearest on top
  std::vector<Neighbor> results;     // heap, farthest on top
  uint16_t epoch = 1;
  std::vector<Slot> gather;          // live, newly reached neighbours of one node
  std::vector<float> gather_dist;    // their distances
  std::vector<Neighbor> layer;       // result of the last layer search
  std::vector<Neighbor> peers;       // rows placed in the same micro-batch, scored
  std::vector<Neighbor> merged;      // a layer's candidates before selection

  // Grows the mark array to `slots` entries (new marks are 0).
  void cover(size_t slots) {
    if (visited.size() < slots) visited.resize(slots, 0);
  }
};

// The graph proper. Searches only read it; insertion, linking and deletion
// write it and are never run concurrently with anything else.
struct HnswGraph {
  FloatBuffer vectors;               // dimensions floats per slot
  GrowBuffer<uint8_t> levels;        // top layer of each node
  GrowBuffer<Slot> layer0_links;     // m0 entries per slot
  GrowBuffer<uint16_t> layer0_counts;  // valid entries per slot
  GrowBuffer<uint8_t> live;          // 1 = slot holds a live vector
  GrowBuffer<VectorId> ids;          // id of each slot
  SlotMap slot_of_id;                // id -> slot, for every claimed slot
  // Upper-layer lists. A node placed at level L > 0 owns one block of the
  // pool: its slot, the width w of its lists, then for each layer 1..L a
  // count and w entries. Blocks are found through `upper_of_slot`, keyed by
  // the slot at the head of each block. Blocks of removed nodes are garbage
  // until the pool is compacted.
  GrowBuffer<Slot> upper_pool;
  BasicSlotMap<uint32_t> upper_of_slot;
  size_t upper_garbage = 0;          // pool entries in dropped blocks
  std::vector<Slot> free_slots;                        // slots of deleted nodes, taken first
  std::optional<Slot> entry_point;                     // absent when nothing is live
  uint64_t live_count = 0;
  uint64_t dimensions = 0;
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t ef_construction = 0;
  double level_multiplier = 0.0;

  HnswGraph() = default;
  HnswGraph(uint64_t dimensions, uint64_t m, uint64_t ef_construction);

  size_t slot_count() const { return live.size(); }
  size_t stride() const { return static_cast<size_t>(m0); }
  const float* vector(Slot s) const { return vectors.data() + size_t{s} * dimensions; }
  bool is_live(Slot s) const { return s < live.size() && live[s]; }

  // Grows every per-slot array to cover slot `s`.
  void ensure_slot(Slot s);
  // Capacity of every per-slot array (and the id map) for `slots` slots.
  void reserve_slots(size_t slots);
  // The slot of `id`, live or claimed, if it has one.
  std::optional<Slot> find(VectorId id) const {
    return slot_of_id.find(id, [this](uint32_t s) { return ids[s]; });
  }
  // The slot of `id`: its own when it has one, else a freed slot or a new one
  // at the end. The slot is not live until placed.
  Slot claim(VectorId id);
  // Gives the slot of a node that is no longer live back for reuse.
  void release(Slot s);
  // How many of `ids` (in any order, repeats counted once) have no slot yet.
  size_t unclaimed(std::span<const VectorId> ids) const;
  // Bytes of the per-slot arrays for `slots` slots, with one search's visited
  // marks; saturates at UINT64_MAX instead of wrapping.
  uint64_t slot_bytes(uint64_t slots) const;
  // Why the per-slot arrays cannot grow to `slots` slots (more bytes than the
  // machine's physical memory, or more slots than 32 bits number), or
  // nothing when they can.
  std::optional<std::string> growth_shortfall(uint64_t slots) const;
  // Refuses (out of memory, changing nothing) to take `new_nodes` more nodes
  // when the per-slot arrays would need more than the machine's physical
  // memory. Freed slots are reused first.
  Status check_growth(uint64_t new_nodes) const;

  // The list of node `s` on `layer` (>= 1): a count followed by room for
  // upper_width(s) entries, or null when the node has no list there (its
  // level is lower, or it was removed).
  Slot* upper_list(Slot s, size_t layer) {
    return const_cast<Slot*>(static_cast<const HnswGraph*>(this)->upper_list(s, layer));
  }
  const Slot* upper_list(Slot s, size_t layer) const {
    if (layer > levels[s]) return nullptr;
    auto at = upper_of_slot.find(s, [this](uint32_t b) { return upper_pool[b]; });
    if (!at) return nullptr;
    return upper_pool.data() + *at + 2 + (layer - 1) * (size_t{upper_pool[*at + 1]} + 1);
  }
  // Entries a list of node `s` has room for (m, or more for a longer list read from a file).
  size_t upper_width(Slot s) const {
    auto at = upper_of_slot.find(s, [this](uint32_t b) { return upper_pool[b]; });
    return at ? upper_pool[*at + 1] : 0;
  }
  // Gives node `s` empty lists on layers 1..level, `width` entries each
  // (none at level 0), dropping any it had.
  void reset_upper(Slot s, size_t level, size_t width);
  // Drops the upper lists of node `s`, if it has any.
  void drop_upper(Slot s);

  // Copies the vector in, resets the node's lists for `level` and marks it live.
  // The slot must exist and must not be live (unlink it first).
  void place(Slot s, const float* vector, uint8_t level);

  // Layer search from `entry` with beam `ef`; the sorted result is left in
  // scratch.layer. The scratch must cover every slot.
  void search_layer(const DistanceScorer& q, Slot entry, size_t ef, size_t layer,
                    SearchScratch& scratch) const;
  // Greedy walk over live nodes on one upper layer; returns the closest node found.
  Slot greedy(const DistanceScorer& q, Slot start, size_t layer, SearchScratch& scratch) const;
  // out[i] = the query's raw distance to node slots[i], four at a time.
  void score(const DistanceScorer& q, const Slot* slots, size_t n, float* out) const;

  // The neighbours of node `self` (already placed) at its drawn `level`: one
  // list per layer from 0 up to min(level, top), chosen (never the node
  // itself) from a layer search started at the current entry point. `peers`
  // are placed nodes that have no links yet (rows linked earlier in the same
  // micro-batch): the search cannot reach them, so they join the candidates of
  // every layer they reach and `top` is the highest level of the entry point
  // and of the peers. Only reads the graph, so workers run it side by side.
  // Empty without an entry point and peers.
  void find_neighbors(Metric metric, Slot self, uint8_t level, SearchScratch& scratch,
                      std::vector<std::vector<Slot>>& layers, std::span<const Slot> peers = {}) const;
  // Working lists of linking: one per thread that links.
  struct LinkScratch {
    std::vector<Slot> kept;
    std::vector<Neighbor> scored;
    std::vector<Slot> full;  // a full list and the link that overflows it
  };
  // Sets the node's list on `layer` to `chosen` and links it back from each of
  // them, pruning lists that overflow.
  void connect(Metric metric, Slot self, size_t layer, std::span<const Slot> chosen);
  // The two halves of connect. set_links writes only the node's own list;
  // link_back adds `self` to the list of `n` on `layer` and prunes it when it
  // overflows, touching no other list, so calls for different (n, layer)
  // may run on different threads, each with its own scratch.
  void set_links(Slot self, size_t layer, std::span<const Slot> chosen);
  void link_back(Metric metric, Slot n, size_t layer, Slot self, LinkScratch& scratch);

  // Removes the node as deletion does: clears its live flag, takes it out of
  // the lists of the nodes it links to, drops its own lists and repairs the
  // entry point. The slot must be live.
  void unlink(Slot s);

  // Bytes held by the graph's arrays (capacity, not size).
  size_t memory_bytes() const;

 private:
  // The neighbour list of a node from its candidates sorted closest first (at
  // most `max`, never the node itself).
  void select_diverse(Metric metric, Slot self, std::span<const Neighbor> sorted, size_t max,
                      std::vector<Slot>& out) const;
  size_t prune(Metric metric, Slot owner, Slot* list, size_t count, size_t max, LinkScratch& scratch) const;
  // Appends `self` to a list with room for `width` entries holding `count`,
  // pruning to `max` when it then holds more; returns the new count.
  size_t append_link(Metric metric, Slot owner, Slot* list, size_t count, size_t width, size_t max, Slot self,
                     LinkScratch& scratch) const;
  // Rewrites the pool without the blocks of removed nodes.
  void compact_upper();

  LinkScratch link_scratch_;  // for connect, which runs on one thread
};

class HnswIndex final : public VectorIndex {
 public:
  HnswIndex(size_t dimensions, Metric metric, HnswConfig config = {});

  // Sizes that the graph's storage cannot represent: m0 = 2 * m must fit the
  // 16-bit layer-0 counts.
  static Status check_config(const HnswConfig& config);
  Status check_capacity(VectorId id) const override {
    if (graph_.find(id)) return ok();
    return graph_.check_growth(1);
  }

  Status add(VectorId id, std::span<const float> vector) override;
  // Validates every entry first (length, id range, ids live before the call);
  // an id repeated inside the batch is re-inserted over its earlier entry.
  Status add_batch(std::span<const Entry> entries) override;
  Result<std::vector<Hit>> search(std::span<const float> query, size_t k) const override;
  std::vector<std::optional<std::vector<float>>> vectors_of(std::span<const VectorId> ids) const override;
  // Scores the live nodes under `ids` directly: an exact answer among them.
  Result<std::vector<Hit>> search_ids(std::span<const float> query, size_t k,
                                      std::span<const VectorId> ids) const override;
  // The same search in the caller's working memory, so that concurrent
  // callers with their own scratch never wait on each other.
  Result<std::vector<Hit>> search_with(std::span<const float> query, size_t k, SearchScratch& scratch) const;
  // Every row of the block searched as by search(), on `num_threads` workers
  // (0 = default count), each with its own scratch.
  Status search_batch(const QueryBlock& queries, size_t num_threads, const BatchOutput& out) const;
  Result<bool> remove(VectorId id) override;
  size_t len() const override { return graph_.live_count; }
  bool is_empty() const override { return graph_.live_count == 0; }
  IndexParams params() const override { return {dimensions_, metric_}; }
  std::vector<Entry> iterate() const override;
  Status flush() override { return ok(); }
  Status save_graph(const std::string& path) const override;
  Status restore_graph(const std::string& path) override;

  // Rows of a row-major block (`columns` floats each) get ids start_id + row.
  // Rows over live ids replace them. Inserts row after row.
  Status add_batch_np(std::span<const float> data, size_t columns, VectorId start_id);
  // As add_batch_np, but after a first micro-batch inserted row by row, each
  // micro-batch is placed, searched on `num_threads` workers (0 = default
  // count) and linked in row order. For given levels the graph does not depend
  // on the thread count.
  Status add_batch_parallel(std::span<const float> data, size_t columns, VectorId start_id,
                            size_t num_threads, size_t micro_batch_size);
  // The same parallel insertion for rows of `dimensions` floats under the
  // given ids, which must be distinct; live ids are replaced. Rows go in one
  // at a time only while the graph is smaller than one micro-batch.
  Status add_parallel(std::span<const VectorId> ids, std::span<const float> data, size_t num_threads,
                      size_t micro_batch_size);

  // Takes over a graph decoded from a file (it must have this index's dimensions).
  void adopt_graph(HnswGraph graph);

  Status save(const std::string& path) const;
  static Result<HnswIndex> load(const std::string& path);

  size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  const HnswConfig& config() const { return config_; }
  // Query beam width from the next search on; the graph is untouched, so any
  // width is safe. A beam of 0 would make the width depend on k alone, which
  // a caller tuning recall never means: InvalidConfig below 1.
  Status set_ef_search(uint64_t ef_search);
  const HnswGraph& graph() const { return graph_; }
  // Bytes held by the graph and the search scratch.
  size_t memory_bytes() const;

  // Test seam: levels come from `source` instead of the random generator.
  void set_level_source_for_testing(std::function<uint8_t()> source) {
    level_source_ = std::move(source);
  }

 private:
  struct LockedScratch {
    std::mutex mutex;
    SearchScratch scratch;
    // A search that finds `scratch` busy borrows one of these (made on first
    // need, kept for the next), so concurrent searches never queue on each
    // other: there are at most as many as searches ever ran at once.
    std::mutex spare_mutex;
    std::vector<std::unique_ptr<SearchScratch>> spares;
  };

  Status check_block(std::span<const float> data, size_t columns, size_t* rows) const;
  // The slots of `ids` (claimed for those without one), after checking that
  // the graph can grow to hold them; nothing changes when it cannot.
  Status claim_all(std::span<const VectorId> ids, std::vector<Slot>& slots);
  uint8_t draw_level();
  // Inserts over the slot (unlinking a live node there first).
  void insert(Slot s, const float* vector, SearchScratch& scratch);
  void link_placed(Slot s, uint8_t level, SearchScratch& scratch);
  // Rows 0..rows-1 go to slots slot_of(r) (claimed by the caller); the first `boot` one at a time, the rest in
  // micro-batches of `batch` searched on the workers.
  template <class SlotOf, class RowOf>
  void insert_parallel(size_t rows, SlotOf slot_of, RowOf row, size_t boot, size_t num_threads, size_t batch);
  void replace_graph(HnswGraph graph);

  size_t dimensions_;
  Metric metric_;
  HnswConfig config_;
  HnswGraph graph_;
  std::unique_ptr<LockedScratch> scratch_;
  std::function<uint8_t()> level_source_;
  std::vector<std::vector<Slot>> layers_;  // neighbours chosen for the node being inserted
};

}  // namespace kovra
