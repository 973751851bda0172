#include "core/collection/fair_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovra {
namespace {

using namespace std::chrono_literals;

// Far above any real wait; only a starved or deadlocked side reaches it.
constexpr auto kDeadline = 60s;

void wait_until(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(1ms);
}

// One side loops on the lock with overlapping holds; the other must still get
// its turns.
struct StarvationCase {
  const char* name;
  int loopers;          // threads taking the lock in a loop
  bool loopers_write;   // what they take
  int turns;            // how often the other side must get in
};

class FairLockStarvation : public testing::TestWithParam<StarvationCase> {};

TEST_P(FairLockStarvation, TheOtherSideGetsItsTurns) {
  const StarvationCase& c = GetParam();
  FairSharedMutex mu;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> loops{0};
  std::vector<std::thread> loopers;
  for (int i = 0; i < c.loopers; ++i) {
    loopers.emplace_back([&] {
      while (!stop) {
        if (c.loopers_write) {
          std::unique_lock lock(mu);
          std::this_thread::sleep_for(100us);
        } else {
          std::shared_lock lock(mu);
          std::this_thread::sleep_for(200us);  // holds overlap: the lock is never free
        }
        ++loops;
      }
    });
  }
  wait_until([&] { return loops > 10; });
  auto other = std::async(std::launch::async, [&] {
    for (int t = 0; t < c.turns; ++t) {
      if (c.loopers_write) {
        std::shared_lock lock(mu);
      } else {
        std::unique_lock lock(mu);
      }
    }
  });
  const bool finished = other.wait_for(kDeadline) == std::future_status::ready;
  stop = true;
  for (auto& t : loopers) t.join();
  if (!finished) other.wait();
  EXPECT_TRUE(finished) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, FairLockStarvation,
                         testing::Values(StarvationCase{"writer_among_1_reader", 1, false, 100},
                                         StarvationCase{"writer_among_3_readers", 3, false, 100},
                                         StarvationCase{"writer_among_8_readers", 8, false, 50},
                                         StarvationCase{"reader_among_2_writers", 2, true, 100},
                                         StarvationCase{"reader_among_4_writers", 4, true, 50}),
                         [](const auto& info) { return std::string(info.param.name); });

// Who goes in first once the current holder leaves, arrivals staged one by
// one: "r" a reader, "w" a writer. The first arrival holds the lock until all
// others have queued.
struct OrderCase {
  const char* name;
  const char* arrivals;
  const char* entries;  // expected order of entry after the first
};

class FairLockOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(FairLockOrder, QueuedArrivalsEnterInTurn) {
  const OrderCase& c = GetParam();
  FairSharedMutex mu;
  std::mutex log_mutex;
  std::string log;
  const std::string arrivals = c.arrivals;

  const bool first_writes = arrivals[0] == 'w';
  if (first_writes) mu.lock();
  else mu.lock_shared();

  std::vector<std::thread> threads;
  uint64_t writers = first_writes ? 1 : 0;
  size_t readers = 0;
  for (size_t i = 1; i < arrivals.size(); ++i) {
    const char kind = arrivals[i];
    threads.emplace_back([&, kind] {
      if (kind == 'w') {
        std::unique_lock lock(mu);
        std::lock_guard g(log_mutex);
        log += 'w';
      } else {
        std::shared_lock lock(mu);
        {
          std::lock_guard g(log_mutex);
          log += 'r';
        }
        // Readers of one turn are inside together: let the others of the
        // turn log before a writer can follow.
        std::this_thread::sleep_for(20ms);
      }
    });
    // Stage the arrivals: each one has queued before the next comes.
    if (kind == 'w') {
      ++writers;
      wait_until([&] { return mu.writers() == writers; });
    } else {
      ++readers;
      wait_until([&] { return mu.waiting_readers() == readers; });
    }
  }
  if (first_writes) mu.unlock();
  else mu.unlock_shared();
  for (auto& t : threads) t.join();
  EXPECT_EQ(log, c.entries) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FairLockOrder,
    testing::Values(
        // A reader that arrives after a queued writer waits for it.
        OrderCase{"reader_waits_for_queued_writer", "rwr", "wr"},
        // Readers queued during a writer's turn all go before the next writer.
        OrderCase{"queued_readers_go_before_next_writer", "wrrw", "rrw"},
        // Writers go in the order they arrived, readers between their turns.
        OrderCase{"writers_in_arrival_order", "wwrw", "wrw"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kovra
