// Streaming selection of the k smallest hits. Hits are buffered; whenever the
// buffer fills it is cut back to its k best with a partial selection, and from
// then on a hit that is not better than the k-th kept one is dropped on
// arrival. Only ties with the k-th are affected by what is dropped, and equal
// distances come in no defined order anyway, so the result is the one
// select_k_smallest gives over all hits.
#pragma once

#include <algorithm>
#include <vector>

#include "core/index/topk.h"

namespace kovra {

class TopKBuffer {
 public:
  // `expected` bounds the first allocation (the number of hits to come).
  TopKBuffer(size_t k, size_t expected) : k_(k) {
    cap_ = k == 0 ? 0 : std::max<size_t>(4 * k, 1024);
    hits_.reserve(std::min(cap_, expected));
  }

  // Whether a hit at `distance` would be kept now.
  bool admits(float distance) const { return !bounded_ || hit_less({0, distance}, kth_); }

  void push(VectorId id, float distance) {
    if (!admits(distance) || k_ == 0) return;
    hits_.push_back({id, distance});
    if (hits_.size() >= cap_) cut();
  }

  // The k best, ascending. Leaves the buffer empty.
  std::vector<Hit> take() {
    select_k_smallest(hits_, k_);
    bounded_ = false;
    return std::move(hits_);
  }

 private:
  void cut() {
    auto kth = hits_.begin() + static_cast<std::ptrdiff_t>(k_ - 1);
    std::nth_element(hits_.begin(), kth, hits_.end(), hit_less);
    hits_.resize(k_);
    kth_ = hits_[k_ - 1];
    bounded_ = true;
  }

  size_t k_;
  size_t cap_;
  bool bounded_ = false;
  Hit kth_{0, 0.0f};
  std::vector<Hit> hits_;
};

}  // namespace kovra
