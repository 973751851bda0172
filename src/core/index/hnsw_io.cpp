#include "core/index/hnsw_io.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "core/io/file.h"

namespace kovra {
namespace {

Error invalid(const std::string& text) { return Error::serialization(text); }

// Writes one neighbour list as the ids of its nodes, keeping only links to
// live nodes: links toward a deleted node are never followed, and its slot
// may already belong to another id.
void put_links(io::Encoder& enc, const HnswGraph& g, const Slot* list, size_t count,
               std::vector<uint64_t>& buf) {
  buf.clear();
  for (size_t i = 0; i < count; ++i)
    if (g.live[list[i]]) buf.push_back(g.ids[list[i]]);
  enc.put_array(buf);
}

// Appends `n` numbers from the input to `out`, chunk by chunk, so that only
// what the input holds is allocated.
template <class Vec>
Status read_into(io::Decoder& dec, Vec& out, uint64_t n) {
  using T = typename Vec::value_type;
  constexpr uint64_t kChunk = io::kMaxReserveBytes / sizeof(T);
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min(n, kChunk)), at = out.size();
    out.resize(at + take);
    KOVRA_TRY(dec.read_exact(out.data() + at, take * sizeof(T)));
    n -= take;
  }
  return ok();
}

// Reads past `n` floats.
Status skip_floats(io::Decoder& dec, uint64_t n) {
  float buf[1024];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, std::size(buf)));
    KOVRA_TRY(dec.read_exact(buf, take * sizeof(float)));
    n -= take;
  }
  return ok();
}

struct Header {
  uint64_t dimensions;
  Metric metric;
  HnswConfig config;
};

Result<Header> decode_header(io::Decoder& dec) {
  Header h;
  KOVRA_ASSIGN_OR_RETURN(h.dimensions, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
  h.metric = *metric_from_id(metric);
  KOVRA_ASSIGN_OR_RETURN(h.config.ef_construction, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(h.config.ef_search, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(h.config.m, dec.get_u64());
  if (auto s = HnswIndex::check_config(h.config); !s) return fail(invalid(s.error().text()));
  return h;
}

}  // namespace

void encode_graph(io::Encoder& enc, const HnswGraph& g) {
  std::vector<uint64_t> buf;
  // Nodes in ascending id order, so that a graph's file does not depend on
  // which slots its ids happened to get.
  std::vector<Slot> order;
  order.reserve(g.live_count);
  for (size_t s = 0; s < g.slot_count(); ++s)
    if (g.live[s]) order.push_back(static_cast<Slot>(s));
  std::sort(order.begin(), order.end(), [&](Slot a, Slot b) { return g.ids[a] < g.ids[b]; });
  enc.put_count(g.live_count);
  for (const Slot slot : order) {
    const size_t s = slot;
    const size_t level = g.levels[s];
    enc.put_u64(g.ids[s]);
    enc.put_count(g.dimensions);
    enc.raw(g.vector(slot), g.dimensions * sizeof(float));
    enc.put_count(level + 1);
    put_links(enc, g, g.layer0_links.data() + s * g.stride(), g.layer0_counts[s], buf);
    for (size_t l = 1; l <= level; ++l) {
      if (const Slot* list = g.upper_list(slot, l)) {
        put_links(enc, g, list + 1, list[0], buf);
      } else {
        enc.put_count(0);
      }
    }
    enc.put_u64(level);
  }
  std::optional<uint64_t> entry;
  if (g.entry_point) entry = g.ids[*g.entry_point];
  enc.put_option(entry, [](io::Encoder& e, uint64_t v) { e.put_u64(v); });
  enc.put_u64(g.m);
  enc.put_u64(g.m0);
  enc.put_u64(g.ef_construction);
  enc.put_f64(g.level_multiplier);
}

Result<HnswGraphSnapshot> decode_graph(io::Decoder& dec, uint64_t dimensions) {
  HnswGraphSnapshot snap;
  KOVRA_ASSIGN_OR_RETURN(uint64_t count, dec.get_count());
  const size_t hint = io::Decoder::reserve_hint(count, 64);
  snap.keys.reserve(hint);
  snap.levels.reserve(hint);
  snap.node_lists.reserve(hint + 1);
  snap.node_lists.push_back(0);
  for (uint64_t i = 0; i < count; ++i) {
    KOVRA_ASSIGN_OR_RETURN(uint64_t key, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint64_t length, dec.get_count());
    // Past a fault the snapshot is refused whole: its vectors are not kept.
    if (length == dimensions && !snap.fault) {
      KOVRA_TRY(read_into(dec, snap.vectors, length));
    } else {
      KOVRA_TRY(skip_floats(dec, length));
      if (!snap.fault && length != dimensions) {
        snap.fault = "node " + std::to_string(key) + " has a vector of length " + std::to_string(length) +
                     ", expected " + std::to_string(dimensions);
      }
    }
    KOVRA_ASSIGN_OR_RETURN(uint64_t lists, dec.get_count());
    for (uint64_t l = 0; l < lists; ++l) {
      KOVRA_ASSIGN_OR_RETURN(uint64_t n, dec.get_count());
      KOVRA_TRY(read_into(dec, snap.links, n));
      snap.list_ends.push_back(snap.links.size());
    }
    snap.node_lists.push_back(snap.list_ends.size());
    KOVRA_ASSIGN_OR_RETURN(uint64_t level, dec.get_u64());
    if (level > 255 && !snap.fault) {
      snap.fault = "node " + std::to_string(key) + " has level " + std::to_string(level) +
                   ", at most 255 is supported";
    }
    snap.keys.push_back(key);
    snap.levels.push_back(level);
  }
  KOVRA_ASSIGN_OR_RETURN(snap.entry_point, dec.get_option<uint64_t>([](io::Decoder& d) { return d.get_u64(); }));
  KOVRA_ASSIGN_OR_RETURN(snap.m, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(snap.m0, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(snap.ef_construction, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(snap.level_multiplier, dec.get_f64());
  return snap;
}

namespace {

// Whether the keys ascend strictly, as every saved graph's do: node i then
// takes slot i of an empty graph.
bool strictly_ascending(std::span<const uint64_t> keys) {
  for (size_t i = 1; i < keys.size(); ++i)
    if (keys[i] <= keys[i - 1]) return false;
  return true;
}

// Gives node i of the snapshot slot i of an empty graph: its id, its vector
// (the snapshot's array becomes the graph's) and room for its lists.
void take_nodes_in_order(HnswGraph& g, HnswGraphSnapshot& snap) {
  const size_t n = snap.size();
  g.vectors.swap(snap.vectors);
  g.levels.resize(n, 0);
  g.layer0_links.resize(n * g.stride(), 0);
  g.layer0_counts.resize(n, 0);
  g.live.resize(n, 0);
  g.ids.assign(snap.keys.data(), snap.keys.data() + n);
  auto id_of = [&g](uint32_t s) { return g.ids[s]; };
  g.slot_of_id.reserve(n, id_of);
  for (size_t i = 0; i < n; ++i) g.slot_of_id.insert(g.ids[i], static_cast<Slot>(i), id_of);
}

}  // namespace

Result<HnswGraph> from_snapshot(HnswGraphSnapshot snap, uint64_t dimensions) {
  if (snap.m0 > kMaxHnswM0) {
    return fail(invalid("m0 " + std::to_string(snap.m0) + " exceeds " + std::to_string(kMaxHnswM0)));
  }
  // Upper lists get room for m links each: a larger m would ask for more
  // memory than any node can use.
  if (snap.m > kMaxHnswM0 / 2) {
    return fail(invalid("m " + std::to_string(snap.m) + " exceeds " + std::to_string(kMaxHnswM0 / 2)));
  }
  HnswGraph g;
  g.dimensions = dimensions;
  g.m = snap.m;
  g.m0 = snap.m0;
  g.ef_construction = snap.ef_construction;
  g.level_multiplier = snap.level_multiplier;
  const size_t n = snap.size();
  if (n == 0) return g;

  // Check everything before allocating the slot arrays, so that no later
  // search can read outside them. Keys are ids; each distinct one gets the
  // next slot, in file order, and a repeated key keeps its last node.
  if (snap.fault) return fail(invalid(*snap.fault));
  const uint64_t top = *std::max_element(snap.keys.begin(), snap.keys.end());
  // A link or entry point beyond the largest key points at no node the file
  // could hold; one to a smaller key that is not stored is a link toward a
  // deleted node, dropped as saving drops them.
  for (size_t i = 0; i < n; ++i) {
    for (uint64_t j = snap.node_lists[i]; j < snap.node_lists[i + 1]; ++j) {
      for (uint64_t key : snap.list(j)) {
        if (key > top) {
          return fail(invalid("node " + std::to_string(snap.keys[i]) + " links to key " + std::to_string(key) +
                              " outside the keys up to " + std::to_string(top)));
        }
      }
    }
  }
  if (!snap.entry_point) return fail(invalid("graph has nodes but no entry point"));
  if (*snap.entry_point > top) {
    return fail(invalid("entry point " + std::to_string(*snap.entry_point) + " outside the keys up to " +
                        std::to_string(top)));
  }
  if (auto why = g.growth_shortfall(n)) return fail(invalid("the file's " + std::to_string(n) + " nodes " + *why));

  const bool in_order = strictly_ascending(snap.keys);
  std::vector<Slot> slot_of_node;
  if (in_order) {
    take_nodes_in_order(g, snap);
  } else {
    g.reserve_slots(n);
    slot_of_node.resize(n);
    for (size_t i = 0; i < n; ++i) slot_of_node[i] = g.claim(snap.keys[i]);
  }
  // Consecutive keys in order (ids 0 to n - 1, the common case) give a
  // link's slot by subtraction; any others through the id map.
  const uint64_t first_key = snap.keys[0];
  const bool consecutive = in_order && snap.keys[n - 1] - first_key == n - 1;
  auto slot_of_key = [&](uint64_t key) -> std::optional<Slot> {
    if (!consecutive) return g.find(key);
    if (key < first_key || key - first_key >= n) return std::nullopt;
    return static_cast<Slot>(key - first_key);
  };

  for (size_t i = 0; i < n; ++i) {
    const Slot s = in_order ? static_cast<Slot>(i) : slot_of_node[i];
    if (!in_order) {
      std::copy_n(snap.vectors.data() + i * dimensions, dimensions,
                  g.vectors.begin() + static_cast<std::ptrdiff_t>(size_t{s} * dimensions));
      // A repeated key's earlier block is sized by the earlier level.
      g.drop_upper(s);
    }
    const size_t level = static_cast<size_t>(snap.levels[i]);
    const size_t first = snap.node_lists[i], lists = snap.node_lists[i + 1] - first;
    g.levels[s] = static_cast<uint8_t>(level);
    g.layer0_counts[s] = 0;
    // Upper lists longer than m (which no save writes) are kept whole; lists
    // above the node's level are never followed nor saved, so they are not kept.
    size_t width = g.m;
    for (size_t l = 1; l < lists && l <= level; ++l) width = std::max(width, snap.list(first + l).size());
    g.reset_upper(s, level, width);
    for (size_t l = 0; l < lists && l <= level; ++l) {
      const std::span<const uint64_t> list = snap.list(first + l);
      Slot* row = l == 0 ? g.layer0_links.data() + size_t{s} * g.stride() : g.upper_list(s, l) + 1;
      const size_t room = l == 0 ? g.m0 : width;
      size_t c = 0;
      for (size_t j = 0; j < list.size() && c < room; ++j)
        if (auto t = slot_of_key(list[j])) row[c++] = *t;
      if (l == 0) {
        g.layer0_counts[s] = static_cast<uint16_t>(c);
      } else {
        row[-1] = static_cast<Slot>(c);
      }
    }
    if (!g.live[s]) {
      g.live[s] = 1;
      ++g.live_count;
    }
  }
  const std::optional<Slot> entry = slot_of_key(*snap.entry_point);
  if (!entry) return fail(invalid("entry point " + std::to_string(*snap.entry_point) + " is not a stored node"));
  g.entry_point = *entry;
  return g;
}

Status HnswIndex::save(const std::string& path) const {
  return io::save_file_replacing(path, [&](io::Encoder& enc) {
    enc.put_u64(dimensions_);
    enc.put_enum(metric_id(metric_));
    enc.put_u64(config_.ef_construction);
    enc.put_u64(config_.ef_search);
    enc.put_u64(config_.m);
    encode_graph(enc, graph_);
  });
}

Result<HnswIndex> HnswIndex::load(const std::string& path) {
  // The current layout. A file that decodes but fails the checks is reported
  // with its own reason unless the legacy layout reads it.
  bool decoded = false;
  auto current = io::load_file<HnswIndex>(path, [&](io::Decoder& dec) -> Result<HnswIndex> {
    KOVRA_ASSIGN_OR_RETURN(Header h, decode_header(dec));
    KOVRA_ASSIGN_OR_RETURN(HnswGraphSnapshot snap, decode_graph(dec, h.dimensions));
    decoded = true;
    KOVRA_ASSIGN_OR_RETURN(HnswGraph graph, from_snapshot(std::move(snap), h.dimensions));
    HnswIndex index(h.dimensions, h.metric, h.config);
    index.replace_graph(std::move(graph));
    return index;
  });
  if (current || current.error().kind() == ErrorKind::Io) return current;

  auto legacy = io::load_file<HnswIndex>(path, [](io::Decoder& dec) -> Result<HnswIndex> {
    KOVRA_ASSIGN_OR_RETURN(Header h, decode_header(dec));
    using Stored = std::pair<uint64_t, std::vector<float>>;
    KOVRA_ASSIGN_OR_RETURN(auto stored, dec.get_seq<Stored>([](io::Decoder& d) -> Result<Stored> {
      Stored e;
      KOVRA_ASSIGN_OR_RETURN(e.first, d.get_u64());
      KOVRA_ASSIGN_OR_RETURN(e.second, d.get_array<float>());
      return e;
    }));
    // A repeated id keeps its last vector.
    std::unordered_map<uint64_t, std::vector<float>> by_id;
    by_id.reserve(stored.size());
    for (auto& [id, vector] : stored) {
      if (vector.size() != h.dimensions) {
        return fail(invalid("vector " + std::to_string(id) + " has length " + std::to_string(vector.size()) +
                            ", expected " + std::to_string(h.dimensions)));
      }
      by_id[id] = std::move(vector);
    }
    HnswIndex index(h.dimensions, h.metric, h.config);
    if (auto why = index.graph_.growth_shortfall(by_id.size()))
      return fail(invalid("the file's " + std::to_string(by_id.size()) + " vectors " + *why));
    // Ascending ids, as the slots of the dense layout were filled.
    std::vector<uint64_t> order;
    order.reserve(by_id.size());
    for (const auto& entry : by_id) order.push_back(entry.first);
    std::sort(order.begin(), order.end());
    index.graph_.reserve_slots(order.size());
    for (uint64_t id : order) index.insert(index.graph_.claim(id), by_id[id].data(), index.scratch_->scratch);
    return index;
  });
  if (legacy || legacy.error().kind() == ErrorKind::Io || !decoded) return legacy;
  return current;
}

Status HnswIndex::save_graph(const std::string& path) const {
  // Nothing live: an existing graph file keeps its content.
  if (graph_.live_count == 0) return ok();
  return io::save_file(path, [&](io::Encoder& enc) { encode_graph(enc, graph_); });
}

Status HnswIndex::restore_graph(const std::string& path) {
  if (!io::file_exists(path)) return ok();
  KOVRA_ASSIGN_OR_RETURN(io::MappedFile file, io::MappedFile::open(path));
  io::SpanSource source(file.bytes());
  io::Decoder dec(source);
  KOVRA_ASSIGN_OR_RETURN(HnswGraphSnapshot snap, decode_graph(dec, dimensions_));
  KOVRA_ASSIGN_OR_RETURN(HnswGraph graph, from_snapshot(std::move(snap), dimensions_));
  replace_graph(std::move(graph));
  return ok();
}

}  // namespace kovra
