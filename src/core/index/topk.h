// Selection of the k smallest (id, distance) pairs: a linear-time partial
// selection, then a sort of the survivors only. Float less-than, then the id
// among equal distances. NaN is ordered
// after every number: plain less-than is not a strict weak ordering when NaN
// appears, and the standard algorithms may then run past the range.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/index/vector_index.h"

namespace kovra {

inline bool distance_less(float a, float b) { return a < b || (b != b && a == a); }
// Equal distances are ordered by id, so the k kept from a set of candidates
// do not depend on the order they were offered in.
inline bool hit_less(const Hit& a, const Hit& b) {
  if (distance_less(a.distance, b.distance)) return true;
  if (distance_less(b.distance, a.distance)) return false;
  return a.id < b.id;
}

inline void select_k_smallest(std::vector<Hit>& hits, size_t k) {
  size_t m = std::min(k, hits.size());
  if (m < hits.size()) {
    std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(m), hits.end(), hit_less);
    hits.resize(m);
  }
  std::sort(hits.begin(), hits.end(), hit_less);
}

// Collects candidates for the k smallest of a long scan without keeping all of
// them: once the buffer fills, it is cut down to the k best and later
// candidates worse than the k-th are dropped at once. Gives the same result
// as collecting everything and calling select_k_smallest.
class TopK {
 public:
  explicit TopK(size_t k)
      : k_(k), cap_(k > (SIZE_MAX >> 2) ? SIZE_MAX : std::max<size_t>(4 * k, 256)) {
    buf_.reserve(std::min<size_t>(cap_, 1024));
  }

  // True if a candidate at this distance could still be among the k best.
  bool accepts(float d) const { return !distance_less(threshold_, d); }
  // The largest number accepts() lets through: +inf until the first cut.
  float bound() const { return threshold_ == threshold_ ? threshold_ : __builtin_inff(); }

  void push(VectorId id, float d) {
    if (k_ == 0) return;
    buf_.push_back({id, d});
    if (buf_.size() >= cap_) shrink();
  }

  void offer(VectorId id, float d) {
    if (accepts(d)) push(id, d);
  }

  // The k best, ascending.
  std::vector<Hit> finish() {
    select_k_smallest(buf_, k_);
    return std::move(buf_);
  }

 private:
  void shrink() {
    auto kth = buf_.begin() + static_cast<std::ptrdiff_t>(k_ - 1);
    std::nth_element(buf_.begin(), kth, buf_.end(), hit_less);
    threshold_ = kth->distance;
    buf_.resize(k_);
  }

  size_t k_;
  size_t cap_;
  float threshold_ = __builtin_nanf("");  // accepts everything until the first cut
  std::vector<Hit> buf_;
};

}  // namespace kovra
