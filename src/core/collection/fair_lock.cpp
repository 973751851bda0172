#include "core/collection/fair_lock.h"

namespace kovra {

void FairSharedMutex::lock() {
  std::unique_lock lock(mutex_);
  const uint64_t ticket = next_ticket_++;
  // Readers admitted by the previous writer arrived before this one.
  writers_cv_.wait(lock, [&] { return ticket == serving_ && !writing_ && readers_ == 0 && admitted_ == 0; });
  writing_ = true;
}

bool FairSharedMutex::try_lock() {
  std::lock_guard lock(mutex_);
  if (next_ticket_ != serving_ || readers_ != 0 || admitted_ != 0) return false;
  ++next_ticket_;
  writing_ = true;
  return true;
}

void FairSharedMutex::unlock() {
  {
    std::lock_guard lock(mutex_);
    writing_ = false;
    ++serving_;
    auto it = waiting_readers_.find(serving_);
    if (it != waiting_readers_.end()) {
      admitted_ += it->second;
      waiting_readers_.erase(it);
    }
  }
  readers_cv_.notify_all();
  writers_cv_.notify_all();
}

void FairSharedMutex::lock_shared() {
  std::unique_lock lock(mutex_);
  if (next_ticket_ == serving_) {  // no writer inside or waiting
    ++readers_;
    return;
  }
  const uint64_t after = next_ticket_;
  ++waiting_readers_[after];
  readers_cv_.wait(lock, [&] { return serving_ >= after; });
  --admitted_;
  ++readers_;
}

void FairSharedMutex::unlock_shared() {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    wake = --readers_ == 0 && next_ticket_ != serving_;
  }
  if (wake) writers_cv_.notify_all();
}

uint64_t FairSharedMutex::writers() const {
  std::lock_guard lock(mutex_);
  return next_ticket_ - serving_;
}

size_t FairSharedMutex::waiting_readers() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [after, count] : waiting_readers_) n += count;
  return n;
}

}  // namespace kovra
