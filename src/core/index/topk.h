// Selection of the k smallest (id, distance) pairs: a linear-time partial
// selection, then a sort of the survivors only. Float less-than with no
// secondary key, so equal distances come in no defined order. NaN is ordered
// after every number: plain less-than is not a strict weak ordering when NaN
// appears, and the standard algorithms may then run past the range.
#pragma once

#include <algorithm>
#include <vector>

#include "core/index/vector_index.h"

namespace kovra {

inline bool hit_less(const Hit& a, const Hit& b) {
  return a.distance < b.distance || (b.distance != b.distance && a.distance == a.distance);
}

inline void select_k_smallest(std::vector<Hit>& hits, size_t k) {
  size_t m = std::min(k, hits.size());
  if (m < hits.size()) {
    std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(m), hits.end(), hit_less);
    hits.resize(m);
  }
  std::sort(hits.begin(), hits.end(), hit_less);
}

}  // namespace kovra
