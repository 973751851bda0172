#include "core/index/ivf.h"

#include <algorithm>
#include <cmath>

#include "core/buffer.h"
#include "core/index/id_map.h"
#include "core/index/kmeans.h"
#include "core/io/file.h"

namespace kovra {

Result<IvfIndex> IvfIndex::create(size_t dimensions, Metric metric, const IvfConfig& config) {
  KOVRA_TRY(validate_ivf_config(config));
  return IvfIndex(dimensions, metric, config);
}

void IvfIndex::place(VectorId id, const float* vector, size_t list) {
  PostingList& l = lists_[list];
  l.ids.push_back(id);
  l.vectors.insert(l.vectors.end(), vector, vector + coarse_.dimensions());
  coarse_.note(id, ListRef{static_cast<uint32_t>(list), l.ids.size() - 1}, lists_);
}

Status IvfIndex::add(VectorId id, std::span<const float> vector) {
  KOVRA_TRY(coarse_.check_vector(vector));
  if (coarse_.is_trained()) {
    place(id, vector.data(), coarse_.assign(vector));
    return ok();
  }
  if (coarse_.buffer(id, vector)) return train();
  return ok();
}

Status IvfIndex::add_batch(std::span<const Entry> entries) { return add_each(*this, entries); }

Status IvfIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  KOVRA_ASSIGN_OR_RETURN(const size_t n, coarse_.block_rows(data, columns));
  if (!coarse_.is_trained()) coarse_.reserve_pending(n);
  size_t r = 0;
  for (; r < n && !coarse_.is_trained(); ++r) {
    KOVRA_TRY(add(start_id + r, data.subspan(r * columns, columns)));
  }
  if (r == n) return ok();

  // Trained (possibly part-way through the block): assign the remaining rows
  // at once, reserve, then append in row order.
  const float* rows = data.data() + r * columns;
  const size_t left = n - r;
  const std::vector<size_t> assigned = coarse_.assign_rows(rows, left);
  coarse_.reserve_ids(left, lists_);
  std::vector<size_t> per_list(lists_.size(), 0);
  for (size_t a : assigned) ++per_list[a];
  for (size_t j = 0; j < lists_.size(); ++j) {
    if (per_list[j] == 0) continue;
    grow_for(lists_[j].ids, per_list[j]);
    grow_for(lists_[j].vectors, per_list[j] * columns);
  }
  for (size_t i = 0; i < left; ++i) place(start_id + r + i, rows + i * columns, assigned[i]);
  return ok();
}

Status IvfIndex::train() {
  if (coarse_.is_trained() || coarse_.pending_ids().empty()) return ok();
  KMeansResult km = coarse_.cluster();
  coarse_.adopt(km);
  lists_.assign(coarse_.n_centroids(), PostingList{});
  for (PostingList& l : lists_) l.dimensions = coarse_.dimensions();
  const std::vector<VectorId>& ids = coarse_.pending_ids();
  for (size_t i = 0; i < ids.size(); ++i) place(ids[i], coarse_.pending_row(i), km.assignments[i]);
  coarse_.finish_training();
  return ok();
}

Result<std::vector<Hit>> IvfIndex::search(std::span<const float> query, size_t k) const {
  KOVRA_TRY(coarse_.check_vector(query));
  if (k == 0) return std::vector<Hit>();

  // Everything is scored with the raw distance and turned into the reported
  // one at the end: for L2 that is the square root of the same sum, so the
  // order is the same and only the k survivors pay for it.
  DistanceScorer scorer(coarse_.metric(), query, /*raw=*/true);
  TopK top(k);
  if (coarse_.can_probe()) {
    for (uint32_t c : coarse_.probe(scorer)) {
      const PostingList& l = lists_[c];
      ivf_detail::scan_rows(scorer, l.ids.data(), l.vectors.data(), l.ids.size(), coarse_.dimensions(), top);
    }
  }
  coarse_.scan_pending(scorer, top);
  std::vector<Hit> hits = top.finish();
  if (coarse_.metric() == Metric::L2) {
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  }
  return hits;
}

Result<std::vector<Hit>> IvfIndex::search_ids(std::span<const float> query, size_t k,
                                              std::span<const VectorId> ids) const {
  KOVRA_TRY(coarse_.check_vector(query));
  if (k == 0 || ids.empty()) return std::vector<Hit>();
  IdMap wanted;
  wanted.reserve(ids.size());
  for (VectorId id : ids) wanted.put(id, 0);
  DistanceScorer scorer(coarse_.metric(), query, /*raw=*/true);
  const size_t d = coarse_.dimensions();
  TopK top(k);
  for (const PostingList& l : lists_)
    for (size_t i = 0; i < l.ids.size(); ++i)
      if (wanted.contains(l.ids[i])) top.offer(l.ids[i], scorer.one(l.vectors.data() + i * d));
  const auto& pending = coarse_.pending_ids();
  for (size_t i = 0; i < pending.size(); ++i)
    if (wanted.contains(pending[i])) top.offer(pending[i], scorer.one(coarse_.pending_row(i)));
  std::vector<Hit> hits = top.finish();
  if (coarse_.metric() == Metric::L2) {
    for (Hit& h : hits) h.distance = std::sqrt(h.distance);
  }
  return hits;
}

std::vector<std::optional<std::vector<float>>> IvfIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  const size_t d = coarse_.dimensions();
  const auto& pending = coarse_.pending_ids();
  for (size_t i = 0; i < ids.size(); ++i) {
    const float* v = nullptr;
    if (auto ref = coarse_.find(ids[i], lists_)) v = lists_[ref->list].vectors.data() + ref->pos * d;
    for (size_t r = 0; r < pending.size() && !v; ++r)
      if (pending[r] == ids[i]) v = coarse_.pending_row(r);
    if (v) out[i].emplace(v, v + d);
  }
  return out;
}

Result<bool> IvfIndex::remove(VectorId id) {
  if (coarse_.remove_pending(id)) return true;
  const auto gone = coarse_.remove_listed(id, lists_);
  if (!gone) return false;
  ivf_detail::drop_row(lists_[gone->list].vectors, coarse_.dimensions(), gone->pos, gone->last);
  return true;
}

size_t IvfIndex::len() const {
  size_t n = coarse_.pending_ids().size();
  for (const PostingList& l : lists_) n += l.ids.size();
  return n;
}

std::vector<Entry> IvfIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(len());
  coarse_.append_pending(out);
  for (const PostingList& l : lists_) ivf_detail::append_rows(out, l.ids, l.vectors, coarse_.dimensions());
  return out;
}

Status IvfIndex::save(const std::string& path) const {
  return io::save_file_replacing(path, [&](io::Encoder& enc) {
    enc.put_u64(coarse_.dimensions());
    enc.put_enum(metric_id(coarse_.metric()));
    encode_ivf_config(enc, coarse_.config());
    coarse_.encode_stage(enc);
    enc.put_seq(lists_, [](io::Encoder& e, const PostingList& l) {
      e.put_array(l.ids);
      e.put_array(l.vectors);
      e.put_u64(l.dimensions);
    });
    coarse_.encode_map(enc, lists_);
  });
}

Result<IvfIndex> IvfIndex::load(const std::string& path) {
  return io::load_file<IvfIndex>(path, [](io::Decoder& dec) -> Result<IvfIndex> {
    KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
    KOVRA_ASSIGN_OR_RETURN(IvfConfig config, decode_ivf_config(dec));
    IvfIndex index(dims, *metric_from_id(metric), config);
    KOVRA_TRY(index.coarse_.decode_stage(dec));
    KOVRA_ASSIGN_OR_RETURN(index.lists_, dec.get_seq<PostingList>([](io::Decoder& d) -> Result<PostingList> {
      PostingList l;
      KOVRA_ASSIGN_OR_RETURN(l.ids, d.get_array<VectorId>());
      KOVRA_ASSIGN_OR_RETURN(l.vectors, d.get_array<float>());
      KOVRA_ASSIGN_OR_RETURN(l.dimensions, d.get_u64());
      return l;
    }));
    KOVRA_TRY(index.coarse_.decode_map(dec));

    // The parts must agree, or a later search, add or training would read or
    // write out of bounds.
    if (Status s = validate_ivf_config(config); !s) {
      return fail(Error::serialization("snapshot configuration: " + s.error().text()));
    }
    KOVRA_TRY(index.coarse_.check_stage(index.lists_.size(), "posting lists", "holds"));
    for (size_t j = 0; j < index.lists_.size(); ++j) {
      const PostingList& l = index.lists_[j];
      uint64_t want;
      if (l.dimensions != dims) {
        return fail(Error::serialization("posting list " + std::to_string(j) + " has dimensions " +
                                         std::to_string(l.dimensions) + ", expected " + std::to_string(dims)));
      }
      if (__builtin_mul_overflow(static_cast<uint64_t>(l.ids.size()), dims, &want) || l.vectors.size() != want) {
        return fail(Error::serialization("posting list " + std::to_string(j) + " of " +
                                         std::to_string(l.ids.size()) + " ids holds " +
                                         std::to_string(l.vectors.size()) + " floats, expected " +
                                         std::to_string(want)));
      }
    }
    KOVRA_TRY(index.coarse_.check_map(index.lists_));
    return index;
  });
}

}  // namespace kovra
