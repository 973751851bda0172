#include "core/index/ivf_pq.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "core/buffer.h"
#include "core/distance.h"
#include "core/index/id_map.h"
#include "core/index/kmeans.h"
#include "core/io/file.h"

namespace kovra {

Status validate_ivf_pq_config(uint64_t dimensions, const IvfPqConfig& config) {
  KOVRA_TRY(validate_ivf_config(coarse_config(config)));
  return validate_pq_config(dimensions, config.pq);
}

void encode_ivf_pq_config(io::Encoder& enc, const IvfPqConfig& config) {
  encode_ivf_config(enc, coarse_config(config));
  enc.put_u64(config.pq.m);
  enc.put_u64(config.pq.k_sub);
  enc.put_u64(config.pq.max_iter);
}

Result<IvfPqConfig> decode_ivf_pq_config(io::Decoder& dec) {
  KOVRA_ASSIGN_OR_RETURN(const IvfConfig coarse, decode_ivf_config(dec));
  IvfPqConfig c;
  c.n_lists = coarse.n_lists;
  c.nprobe = coarse.nprobe;
  c.train_size = coarse.train_size;
  c.max_iter = coarse.max_iter;
  KOVRA_ASSIGN_OR_RETURN(c.pq.m, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.pq.k_sub, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(c.pq.max_iter, dec.get_u64());
  return c;
}

Result<IvfPqIndex> IvfPqIndex::create(size_t dimensions, Metric metric, const IvfPqConfig& config,
                                      std::string exact_dir) {
  KOVRA_TRY(validate_ivf_pq_config(dimensions, config));
  return IvfPqIndex(dimensions, metric, config, std::move(exact_dir));
}

namespace {

// Lists grow by a quarter rather than double: the codes are the index's whole
// memory, and doubling leaves a third of it as spare capacity on average. The
// extra copies are a few bytes per entry, against an encode that costs
// microseconds.
template <class Vec>
void grow_gently(Vec& v, size_t more) {
  const size_t need = v.size() + more;
  if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 4 + 4 * more));
}

}  // namespace

Status IvfPqIndex::place(VectorId id, const float* vector, size_t list, float* residual) {
  // A re-added id's earlier copy is no longer read once this one is noted.
  const std::optional<uint32_t> old = exact_row(id);
  KOVRA_ASSIGN_OR_RETURN(const uint32_t row, exact_.append(vector));
  const size_t d = coarse_.dimensions();
  const float* c = coarse_.centroid(list);
  for (size_t j = 0; j < d; ++j) residual[j] = vector[j] - c[j];
  PqList& l = lists_[list];
  grow_gently(l.ids, 1);
  grow_gently(l.rows, 1);
  grow_gently(l.codes, quantizer_->m());
  const size_t at = l.codes.size();
  l.codes.resize(at + quantizer_->m());
  quantizer_->encode(residual, l.codes.data() + at);
  l.ids.push_back(id);
  l.rows.push_back(row);
  coarse_.note(id, ListRef{static_cast<uint32_t>(list), l.ids.size() - 1}, lists_);
  if (old) retire_row(*old);
  return ok();
}

std::optional<uint32_t> IvfPqIndex::exact_row(VectorId id) const {
  const std::optional<ListRef> ref = coarse_.find(id, lists_);
  if (!ref) return std::nullopt;
  const uint32_t row = lists_[ref->list].rows[ref->pos];
  if (row == ExactRows::kNone) return std::nullopt;
  return row;
}

namespace {

// Appended rows are rewritten only once this many are dead, so that a small
// index does not rewrite its file on every other write.
constexpr uint64_t kMinDeadRows = 1024;

}  // namespace

void IvfPqIndex::retire_row(uint32_t row) {
  if (row < exact_.loaded_rows()) return;  // the loaded file is never rewritten
  ++dead_rows_;
  const uint64_t appended = exact_.rows() - exact_.loaded_rows();
  if (dead_rows_ >= std::max(kMinDeadRows, compact_after_) && dead_rows_ * 2 >= appended) compact_rows();
}

void IvfPqIndex::compact_rows() {
  const uint64_t loaded = exact_.loaded_rows();
  std::vector<uint32_t*> live;
  live.reserve(exact_.rows() - loaded - std::min(dead_rows_, exact_.rows() - loaded));
  for (size_t l = 0; l < lists_.size(); ++l) {
    PqList& list = lists_[l];
    for (size_t p = 0; p < list.ids.size(); ++p) {
      uint32_t& row = list.rows[p];
      if (row == ExactRows::kNone || row < loaded) continue;
      if (coarse_.find(list.ids[p], lists_) == ListRef{static_cast<uint32_t>(l), p}) {
        live.push_back(&row);
      } else {
        row = ExactRows::kNone;  // a stale entry's row is never read, and is about to be reused
      }
    }
  }
  if (exact_.compact(live)) {
    dead_rows_ = 0;
    compact_after_ = 0;
  } else {
    // Tried again once twice as many rows are dead: still O(1) per write.
    compact_after_ = dead_rows_ * 2;
  }
}

Status IvfPqIndex::add(VectorId id, std::span<const float> vector) {
  KOVRA_TRY(coarse_.check_vector(vector));
  if (coarse_.is_trained()) {
    std::vector<float> residual(coarse_.dimensions());
    return place(id, vector.data(), coarse_.assign(vector), residual.data());
  }
  if (coarse_.buffer(id, vector)) return train();
  return ok();
}

Status IvfPqIndex::add_batch(std::span<const Entry> entries) { return add_each(*this, entries); }

Status IvfPqIndex::add_flat_batch(std::span<const float> data, size_t columns, VectorId start_id) {
  KOVRA_ASSIGN_OR_RETURN(const size_t n, coarse_.block_rows(data, columns));
  for (size_t r = 0; r < n; ++r) KOVRA_TRY(add(start_id + r, data.subspan(r * columns, columns)));
  return ok();
}

Status IvfPqIndex::train() {
  if (coarse_.is_trained() || coarse_.pending_ids().empty()) return ok();
  const std::vector<VectorId>& ids = coarse_.pending_ids();
  const size_t n = ids.size();
  const size_t d = coarse_.dimensions();
  KMeansResult km = coarse_.cluster();

  std::vector<float> residuals(n * d);
  for (size_t i = 0; i < n; ++i) {
    const float* x = coarse_.pending_row(i);
    const float* c = km.centroids.data() + km.assignments[i] * d;
    float* r = residuals.data() + i * d;
    for (size_t j = 0; j < d; ++j) r[j] = x[j] - c[j];
  }
  KOVRA_ASSIGN_OR_RETURN(ProductQuantizer pq, ProductQuantizer::train(residuals.data(), n, d, config_.pq));

  coarse_.adopt(km);
  quantizer_ = std::move(pq);
  lists_.assign(coarse_.n_centroids(), PqList{});
  std::vector<float> residual(d);
  for (size_t i = 0; i < n; ++i) KOVRA_TRY(place(ids[i], coarse_.pending_row(i), km.assignments[i], residual.data()));
  coarse_.finish_training();
  return ok();
}

namespace {

// Adds the table estimate of every entry of one list. Eight entries go side by
// side so that their sums (each still in sub-space order from 0) overlap in
// the pipeline; with the code count and codebook size known at compile time
// the sub-space loop unrolls and the table offsets become constants.
template <size_t M, size_t KS>
void scan_codes_fixed(const float* table, const PqList& list, TopK& top) {
  const size_t n = list.ids.size();
  const uint8_t* codes = list.codes.data();
  const VectorId* ids = list.ids.data();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint8_t* c = codes + i * M;
    float sum[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    // Fully unrolled, so the eight sums live in registers.
#pragma GCC unroll 32
    for (size_t s = 0; s < M; ++s) {
      const float* t = table + s * KS;
#pragma GCC unroll 8
      for (size_t e = 0; e < 8; ++e) sum[e] += t[c[e * M + s]];
    }
    for (size_t e = 0; e < 8; ++e) top.offer(ids[i + e], sum[e]);
  }
  for (; i < n; ++i) {
    float sum = 0.0f;
    for (size_t s = 0; s < M; ++s) sum += table[s * KS + codes[i * M + s]];
    top.offer(ids[i], sum);
  }
}

void scan_codes(const ProductQuantizer& pq, const float* table, const PqList& list, TopK& top) {
  if (pq.k_sub() == 256) {
    switch (pq.m()) {
      case 8: return scan_codes_fixed<8, 256>(table, list, top);
      case 16: return scan_codes_fixed<16, 256>(table, list, top);
      case 32: return scan_codes_fixed<32, 256>(table, list, top);
      default: break;
    }
  }
  const size_t m = pq.m();
  const uint8_t* codes = list.codes.data();
  for (size_t i = 0; i < list.ids.size(); ++i) top.offer(list.ids[i], pq.adc_distance(table, codes + i * m));
}

}  // namespace

Result<std::vector<Hit>> IvfPqIndex::search(std::span<const float> query, size_t k) const {
  KOVRA_TRY(coarse_.check_vector(query));
  if (k == 0) return std::vector<Hit>();

  TopK top(k);
  if (coarse_.can_probe()) {
    const size_t d = coarse_.dimensions();
    DistanceScorer raw(coarse_.metric(), query, /*raw=*/true);
    const ProductQuantizer& pq = *quantizer_;
    std::vector<float> residual(d);
    std::vector<float> table(pq.m() * pq.k_sub());
    for (uint32_t c : coarse_.probe(raw)) {
      const PqList& l = lists_[c];
      if (l.ids.empty()) continue;  // no entry would read the table
      const float* cent = coarse_.centroid(c);
      for (size_t j = 0; j < d; ++j) residual[j] = query[j] - cent[j];
      pq.distance_table(residual.data(), table.data());
      scan_codes(pq, table.data(), l, top);
    }
  }
  if (!coarse_.pending_ids().empty()) {
    DistanceScorer exact(coarse_.metric(), query, /*raw=*/false);
    coarse_.scan_pending(exact, top);
  }
  return top.finish();
}

Result<std::vector<Hit>> IvfPqIndex::search_ids(std::span<const float> query, size_t k,
                                                std::span<const VectorId> ids) const {
  KOVRA_TRY(coarse_.check_vector(query));
  if (k == 0 || ids.empty()) return std::vector<Hit>();
  IdMap wanted;
  wanted.reserve(ids.size());
  for (VectorId id : ids) wanted.put(id, 0);
  TopK top(k);
  if (coarse_.can_probe()) {
    const size_t d = coarse_.dimensions();
    const ProductQuantizer& pq = *quantizer_;
    std::vector<float> residual(d);
    std::vector<float> table(pq.m() * pq.k_sub());
    for (size_t c = 0; c < lists_.size(); ++c) {
      const PqList& l = lists_[c];
      bool table_ready = false;
      for (size_t i = 0; i < l.ids.size(); ++i) {
        if (!wanted.contains(l.ids[i])) continue;
        if (!table_ready) {
          const float* cent = coarse_.centroid(static_cast<uint32_t>(c));
          for (size_t j = 0; j < d; ++j) residual[j] = query[j] - cent[j];
          pq.distance_table(residual.data(), table.data());
          table_ready = true;
        }
        top.offer(l.ids[i], pq.adc_distance(table.data(), l.codes.data() + i * pq.m()));
      }
    }
  }
  const auto& pending = coarse_.pending_ids();
  if (!pending.empty()) {
    DistanceScorer exact(coarse_.metric(), query, /*raw=*/false);
    for (size_t i = 0; i < pending.size(); ++i)
      if (wanted.contains(pending[i])) top.offer(pending[i], exact.one(coarse_.pending_row(i)));
  }
  return top.finish();
}

Result<bool> IvfPqIndex::remove(VectorId id) {
  if (coarse_.remove_pending(id)) return true;
  const std::optional<uint32_t> row = exact_row(id);
  const auto gone = coarse_.remove_listed(id, lists_);
  if (!gone) return false;
  PqList& l = lists_[gone->list];
  ivf_detail::drop_row(l.codes, quantizer_ ? quantizer_->m() : 0, gone->pos, gone->last);
  ivf_detail::drop_row(l.rows, 1, gone->pos, gone->last);
  if (row) retire_row(*row);
  return true;
}

std::vector<std::optional<std::vector<float>>> IvfPqIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  const size_t d = coarse_.dimensions();
  const auto& pending = coarse_.pending_ids();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (const std::optional<uint32_t> row = exact_row(ids[i])) {
      std::vector<float> v(d);
      if (exact_.read(*row, v.data())) out[i] = std::move(v);
      continue;
    }
    for (size_t r = 0; r < pending.size(); ++r) {
      if (pending[r] == ids[i]) {
        const float* v = coarse_.pending_row(r);
        out[i].emplace(v, v + d);
        break;
      }
    }
  }
  return out;
}

size_t IvfPqIndex::len() const {
  size_t n = coarse_.pending_ids().size();
  for (const PqList& l : lists_) n += l.ids.size();
  return n;
}

std::vector<Entry> IvfPqIndex::iterate() const {
  std::vector<Entry> out;
  out.reserve(len());
  coarse_.append_pending(out);
  const ExactRows::Reader reader(exact_);
  const size_t d = coarse_.dimensions();
  for (const PqList& l : lists_) {
    for (VectorId id : l.ids) {
      // A stale entry of a re-added id gives the latest copy, as the id's
      // exact vector is only the latest one.
      const std::optional<uint32_t> row = exact_row(id);
      if (!row) continue;
      std::vector<float> v(d);
      if (reader.read(*row, v.data())) out.emplace_back(id, std::move(v));
    }
  }
  return out;
}

Status IvfPqIndex::set_nprobe(uint64_t nprobe) {
  KOVRA_TRY(coarse_.set_nprobe(nprobe));
  config_.nprobe = nprobe;
  return ok();
}

namespace {

// Exact copies are gathered this many bytes of rows at a time while saving:
// small enough to stay cheap to allocate, as the rows come from the mapping.
constexpr size_t kSaveGatherBytes = size_t(4) << 20;

}  // namespace

Status IvfPqIndex::save(const std::string& path) const {
  // Every listed id once at its latest placement, in list order, looked up
  // once for both the exact copies and the map.
  struct Placed {
    VectorId id;
    uint32_t list;
    uint32_t row;
  };
  std::vector<Placed> placed;
  placed.reserve(coarse_.placed_count());
  size_t copies = 0;
  coarse_.for_each_placed(lists_, [&](VectorId id, ListRef ref) {
    const uint32_t row = lists_[ref.list].rows[ref.pos];
    placed.push_back(Placed{id, ref.list, row});
    copies += row != ExactRows::kNone;
  });
  Status unreadable;
  const ExactRows::Reader reader(exact_);
  auto encode = [&](io::Encoder& enc) {
    const size_t d = coarse_.dimensions();
    enc.put_u64(d);
    enc.put_enum(metric_id(coarse_.metric()));
    encode_ivf_pq_config(enc, config_);
    coarse_.encode_stage(enc);
    enc.put_option(quantizer_, [](io::Encoder& e, const ProductQuantizer& pq) { pq.encode_to(e); });
    const size_t m = quantizer_ ? quantizer_->m() : 0;
    enc.put_count(lists_.size());
    for (const PqList& l : lists_) {
      enc.put_count(l.ids.size());
      for (size_t i = 0; i < l.ids.size(); ++i) {
        enc.put_u64(l.ids[i]);
        enc.put_bytes(std::span<const uint8_t>(l.codes.data() + i * m, m));
      }
    }
    // The copies go out in list order but sit on disk in the order they were
    // added: a block of them is gathered in file order, then written.
    enc.put_count(copies);
    const size_t per_block = std::max<size_t>(1, kSaveGatherBytes / std::max<size_t>(1, d * sizeof(float)));
    std::vector<uint32_t> rows;
    std::vector<VectorId> ids;
    // Filled before it is read: no need to zero it.
    std::unique_ptr<float[]> block(new float[per_block * d + 1]);
    for (size_t at = 0; at < placed.size();) {
      rows.clear();
      ids.clear();
      for (; at < placed.size() && rows.size() < per_block; ++at) {
        if (placed[at].row == ExactRows::kNone) continue;
        rows.push_back(placed[at].row);
        ids.push_back(placed[at].id);
      }
      if (!reader.read_rows(rows, block.get())) {
        unreadable = fail(Error::io_text("the exact vectors of " + std::to_string(rows.size()) +
                                         " ids, from id " + std::to_string(ids.front()) + ", cannot be read back"));
        return;
      }
      for (size_t j = 0; j < ids.size(); ++j) {
        enc.put_u64(ids[j]);
        enc.put_array(std::span<const float>(block.get() + j * d, d));
      }
    }
    coarse_.encode_placements(enc, [&](auto&& put) {
      for (const Placed& p : placed) put(p.id, p.list);
    });
  };
  return io::write_replacing(path, [&](const std::string& tmp) -> Status {
    KOVRA_TRY(io::save_file(tmp, encode));
    return unreadable;
  });
}

namespace {

// Reads a file through a 64 KiB buffer from a descriptor the caller keeps.
class DescriptorSource final : public io::Source {
 public:
  explicit DescriptorSource(int fd) : fd_(fd), buf_(size_t(64) << 10) {}
  Result<size_t> read(void* out, size_t size) override {
    auto* dst = static_cast<uint8_t*>(out);
    size_t done = 0;
    while (done < size) {
      if (pos_ == end_) {
        ssize_t n = ::read(fd_, buf_.data(), buf_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error::serialization(std::string("read failed: ") + std::strerror(errno)));
        if (n == 0) break;
        pos_ = 0;
        end_ = static_cast<size_t>(n);
      }
      const size_t take = std::min(size - done, end_ - pos_);
      std::memcpy(dst + done, buf_.data() + pos_, take);
      pos_ += take;
      done += take;
    }
    return done;
  }

 private:
  int fd_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

struct OwnedFd {
  int fd;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

}  // namespace

Result<IvfPqIndex> IvfPqIndex::load(const std::string& path) {
  OwnedFd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return fail(Error::io(errno));
  DescriptorSource source(file.fd);
  io::Decoder dec(source);
  KOVRA_ASSIGN_OR_RETURN(uint64_t dims, dec.get_u64());
  KOVRA_ASSIGN_OR_RETURN(uint32_t metric, dec.get_enum(kMetricCount));
  KOVRA_ASSIGN_OR_RETURN(IvfPqConfig config, decode_ivf_pq_config(dec));
  IvfPqIndex index(dims, *metric_from_id(metric), config, io::parent_dir(path));
  KOVRA_TRY(index.coarse_.decode_stage(dec));
  KOVRA_ASSIGN_OR_RETURN(index.quantizer_, dec.get_option<ProductQuantizer>(&ProductQuantizer::decode_from));
  // Code lengths are checked as they are read, so a damaged length can
  // neither misalign the flat code array nor force a large allocation.
  const uint64_t m = index.quantizer_ ? index.quantizer_->m() : 0;
  const uint64_t k_sub = index.quantizer_ ? index.quantizer_->k_sub() : 0;
  KOVRA_ASSIGN_OR_RETURN(uint64_t list_count, dec.get_count());
  index.lists_.reserve(io::Decoder::reserve_hint(list_count, sizeof(PqList)));
  for (uint64_t j = 0; j < list_count; ++j) {
    PqList l;
    KOVRA_ASSIGN_OR_RETURN(uint64_t entries, dec.get_count());
    l.ids.reserve(io::Decoder::reserve_hint(entries, sizeof(VectorId)));
    for (uint64_t i = 0; i < entries; ++i) {
      KOVRA_ASSIGN_OR_RETURN(VectorId id, dec.get_u64());
      KOVRA_ASSIGN_OR_RETURN(uint64_t len, dec.get_count());
      if (!index.quantizer_ || len != m) {
        return fail(Error::serialization("list " + std::to_string(j) + " entry " + std::to_string(i) + " has " +
                                         std::to_string(len) + " code bytes, expected " +
                                         (index.quantizer_ ? std::to_string(m) : "no entries without a quantizer")));
      }
      const size_t at = l.codes.size();
      l.codes.resize(at + m);
      KOVRA_TRY(dec.read_exact(l.codes.data() + at, m));
      for (size_t s = 0; s < m; ++s) {
        if (l.codes[at + s] >= k_sub) {
          return fail(Error::serialization("list " + std::to_string(j) + " entry " + std::to_string(i) +
                                           " has code " + std::to_string(l.codes[at + s]) + " of " +
                                           std::to_string(k_sub) + " centroids"));
        }
      }
      l.ids.push_back(id);
    }
    l.ids.shrink_to_fit();
    l.codes.shrink_to_fit();
    l.rows.assign(l.ids.size(), ExactRows::kNone);
    index.lists_.push_back(std::move(l));
  }

  // The exact copies stay where they are: each record is (id, count, floats),
  // all of one size, so record r's floats sit at a fixed stride from the
  // first's. Only the ids are kept, with their record numbers.
  KOVRA_ASSIGN_OR_RETURN(uint64_t raw_count, dec.get_count());
  if (raw_count >= ExactRows::kNone) {
    return fail(Error::serialization("snapshot claims " + std::to_string(raw_count) + " exact vectors, more than " +
                                     std::to_string(ExactRows::kNone - 1)));
  }
  IdMap copy_of;  // id -> record, the last record of an id winning
  copy_of.reserve(io::Decoder::reserve_hint(raw_count, 64));
  uint64_t first_floats = 0;
  std::vector<uint8_t> skip(size_t(64) << 10);
  for (uint64_t r = 0; r < raw_count; ++r) {
    KOVRA_ASSIGN_OR_RETURN(VectorId id, dec.get_u64());
    KOVRA_ASSIGN_OR_RETURN(uint64_t len, dec.get_count());
    if (len != dims) {
      return fail(Error::serialization("exact copy of id " + std::to_string(id) + " holds " + std::to_string(len) +
                                       " floats, expected " + std::to_string(dims)));
    }
    if (r == 0) first_floats = dec.offset();
    for (uint64_t left = dims * sizeof(float); left > 0;) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left, skip.size()));
      KOVRA_TRY(dec.read_exact(skip.data(), take));
      left -= take;
    }
    copy_of.put(id, r);
  }
  KOVRA_TRY(index.coarse_.decode_map(dec));

  // The parts must agree, or a later search, add or training would read or
  // write out of bounds.
  if (Status s = validate_ivf_pq_config(dims, config); !s) {
    return fail(Error::serialization("snapshot configuration: " + s.error().text()));
  }
  KOVRA_TRY(index.coarse_.check_stage(index.lists_.size(), "lists", "hold"));
  if (index.quantizer_ && index.quantizer_->dimensions() != dims) {
    return fail(Error::serialization("quantizer covers " + std::to_string(index.quantizer_->dimensions()) +
                                     " dimensions, expected " + std::to_string(dims)));
  }
  if (index.coarse_.is_trained() && !index.quantizer_) {
    return fail(Error::serialization("trained snapshot has no quantizer"));
  }
  KOVRA_TRY(index.coarse_.check_map(index.lists_));
  // Each listed id reads its copy at its latest placement; copies of ids that
  // are not listed could never be read, and are left in the file.
  index.coarse_.for_each_placed(index.lists_, [&](VectorId id, ListRef ref) {
    if (auto r = copy_of.get(id)) index.lists_[ref.list].rows[ref.pos] = static_cast<uint32_t>(*r);
  });
  if (raw_count > 0) index.exact_.adopt_file(file.release(), first_floats, 16 + dims * sizeof(float), raw_count);
  return index;
}

}  // namespace kovra
