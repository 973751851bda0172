// A reader-writer lock that serves arrivals in order. Readers share it, but a
// reader that arrives while writers hold or wait for the lock goes in only
// after those writers, and a writer goes in only after the readers that
// arrived before it: a steady stream of searches cannot hold writes off, nor
// a steady stream of writes hold searches off. Readers that arrive between
// the same two writers go in together.
//
// Not recursive: a thread that holds the lock for reading and asks for it
// again waits behind any writer that queued in between, which waits for it.
// Meets the Lockable and SharedLockable requirements (std::unique_lock,
// std::shared_lock).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace kovra {

class FairSharedMutex {
 public:
  FairSharedMutex() = default;
  FairSharedMutex(const FairSharedMutex&) = delete;
  FairSharedMutex& operator=(const FairSharedMutex&) = delete;

  void lock();
  // Takes the lock only when nobody holds it or waits for it.
  bool try_lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

  // Writers inside or waiting, and readers waiting: for tests that must know
  // an arrival has queued.
  uint64_t writers() const;
  size_t waiting_readers() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable readers_cv_;
  std::condition_variable writers_cv_;
  uint64_t next_ticket_ = 0;  // the ticket the next writer to arrive draws
  uint64_t serving_ = 0;      // tickets below this one are done
  bool writing_ = false;      // the writer holding `serving_` is inside
  size_t readers_ = 0;        // readers inside
  // Waiting readers by the ticket count they wait for: a reader that arrived
  // when `next_ticket_` was t goes in once `serving_` reaches t.
  std::map<uint64_t, size_t> waiting_readers_;
  size_t admitted_ = 0;  // readers whose turn came, not yet inside
};

}  // namespace kovra
