#include "core/collection/wal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/collection/wal_format.h"
#include "core/io/file.h"
#include "testutil.h"

namespace kovra {
namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes& b, const void* p, size_t n) {
  if (n == 0) return;
  size_t at = b.size();
  b.resize(at + n);
  std::memcpy(b.data() + at, p, n);
}
Bytes& append(Bytes& b, const Bytes& more) {
  put(b, more.data(), more.size());
  return b;
}
Bytes cat(Bytes a, const Bytes& b) { return append(a, b); }

template <class T>
void put(Bytes& b, T v) {
  put(b, &v, sizeof v);
}

Bytes body_of_add(uint64_t id, std::vector<float> v, const char* payload) {
  Bytes b;
  put<uint32_t>(b, 0);
  put<uint64_t>(b, id);
  put<uint64_t>(b, v.size());
  put(b, v.data(), v.size() * 4);
  put<uint8_t>(b, payload ? 1 : 0);
  if (payload) {
    put<uint64_t>(b, std::strlen(payload));
    put(b, payload, std::strlen(payload));
  }
  put<uint8_t>(b, 0);
  return b;
}

Bytes framed(const Bytes& body) {
  Bytes b;
  put<uint32_t>(b, static_cast<uint32_t>(body.size()));
  return append(b, body);
}

struct Seen {
  std::vector<uint64_t> ids;
  std::vector<std::string> payloads;
};

WalReplayStats replay(const Bytes& log, Seen& seen) {
  return replay_wal_bytes(log, [&](const WalEntryView& e) {
    seen.ids.push_back(e.id);
    seen.payloads.push_back(e.payload ? std::string(*e.payload) : "-");
  });
}

TEST(WalBody, DecodesOrSkips) {
  Bytes add = body_of_add(7, {1.0f, 2.0f}, "{}");
  struct Case {
    const char* what;
    Bytes body;
    bool decodes;
  };
  Bytes bad_tag = add;
  bad_tag[20 + 8] = 2;
  Bytes long_count = add;
  long_count[12] = 200;
  Bytes trailing = add;
  trailing.push_back(0xAB);
  Bytes del;
  put<uint32_t>(del, 1);
  put<uint64_t>(del, 9);
  const Case cases[] = {
      {"empty", {}, false},
      {"add", add, true},
      {"trailing bytes", trailing, true},
      {"short add", Bytes(add.begin(), add.end() - 1), false},
      {"option tag 2", bad_tag, false},
      {"count past the end", long_count, false},
      {"delete", del, true},
      {"short delete", Bytes(del.begin(), del.end() - 1), false},
      {"variant 2", [] { Bytes b; put<uint32_t>(b, 2); put<uint64_t>(b, 1); return b; }(), false},
  };
  std::vector<float> floats;
  for (const Case& c : cases) {
    auto e = decode_wal_body(c.body, floats);
    EXPECT_EQ(e.has_value(), c.decodes) << c.what;
  }
  auto e = decode_wal_body(add, floats);
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->is_add);
  EXPECT_EQ(e->id, 7u);
  EXPECT_EQ(std::vector<float>(e->vector.begin(), e->vector.end()), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(*e->payload, "{}");
  EXPECT_FALSE(e->sparse);
}

TEST(WalReplay, TornAndOversizedTailsEndCleanly) {
  Bytes first = framed(body_of_add(1, {1.0f}, "1"));
  Bytes second = framed(body_of_add(2, {2.0f}, nullptr));
  Bytes zero;
  put<uint32_t>(zero, 0);
  Bytes huge;
  put<uint32_t>(huge, 268435457);
  Bytes max_len;
  put<uint32_t>(max_len, 268435456);
  struct Case {
    const char* what;
    Bytes tail;
    std::vector<uint64_t> ids;
    bool torn;
    size_t kept_tail;  // bytes of `tail` inside valid_end
  };
  const Case cases[] = {
      {"clean", second, {1, 2}, false, second.size()},
      {"two bytes of a length", {5, 0}, {1}, true, 0},
      {"torn body", Bytes(second.begin(), second.end() - 2), {1}, true, 0},
      {"empty body skipped", cat(zero, second),
       {1, 2}, false, 4 + second.size()},
      {"oversized length", cat(huge, second),
       {1}, true, 0},
      {"largest length is read as a body", max_len, {1}, true, 0},
  };
  for (const Case& c : cases) {
    Bytes log = cat(first, c.tail);
    Seen seen;
    WalReplayStats stats = replay(log, seen);
    EXPECT_EQ(seen.ids, c.ids) << c.what;
    EXPECT_EQ(stats.torn, c.torn) << c.what;
    EXPECT_EQ(stats.valid_end, first.size() + c.kept_tail) << c.what;
  }
}

class WalFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "kovra_wal_" + std::to_string(::getpid()) + ".log";
    ::unlink(path_.c_str());
  }
  void TearDown() override { ::unlink(path_.c_str()); }
  size_t size() const {
    struct stat st;
    return ::stat(path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  }
  std::string path_;
};

TEST_F(WalFileTest, FailedFlushLeavesNoTornRecord) {
  auto w = WalWriter::open_append(path_, std::nullopt, LogPosition());
  ASSERT_TRUE(w);
  std::vector<float> v(64, 1.0f);
  (*w)->append_add(1, v, nullptr, nullptr);
  ASSERT_TRUE((*w)->flush());
  const size_t one = size();
  {
    testutil::FileSizeLimit limit(one + 100);  // the next record is about 280 bytes
    (*w)->append_add(2, v, nullptr, nullptr);
    Status st = (*w)->flush();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), ErrorKind::Io);
  }
  EXPECT_EQ(size(), one);
  (*w)->append_add(3, v, nullptr, nullptr);
  ASSERT_TRUE((*w)->flush());
  Seen seen;
  auto stats = replay_wal(path_, [&](const WalEntryView& e) { seen.ids.push_back(e.id); });
  ASSERT_TRUE(stats);
  EXPECT_EQ(seen.ids, (std::vector<uint64_t>{1, 3}));
  // The writer's position describes the file: the records that were taken
  // back count for nothing.
  const LogPosition& at = (*w)->position();
  EXPECT_TRUE(at.known);
  EXPECT_EQ(at.bytes, stats->end.bytes);
  EXPECT_EQ(at.records, 2u);
  EXPECT_EQ(at.hash.digest(), stats->end.hash.digest());
}

TEST_F(WalFileTest, OpenCutsATornTail) {
  Bytes log = framed(body_of_add(1, {1.0f}, nullptr));
  Bytes torn = framed(body_of_add(2, {2.0f}, nullptr));
  torn.resize(torn.size() - 3);
  append(log, torn);
  ASSERT_TRUE(io::write_whole_file(path_, log));
  Seen seen;
  auto stats = replay_wal(path_, [&](const WalEntryView& e) { seen.ids.push_back(e.id); });
  ASSERT_TRUE(stats && stats->torn);
  LogPosition at;
  {
    auto w = WalWriter::open_append(path_, stats->valid_end, stats->end);
    ASSERT_TRUE(w);
    (*w)->append_delete(1);
    ASSERT_TRUE((*w)->flush());
    at = (*w)->position();
  }
  seen = {};
  auto again = replay_wal(path_, [&](const WalEntryView& e) { seen.ids.push_back(e.id); }, stats->valid_end);
  ASSERT_TRUE(again);
  EXPECT_EQ(seen.ids, (std::vector<uint64_t>{1, 1}));
  // The hash goes on across the reopen as if the file had been written in
  // one go, and the mark finds the digest of the bytes before it.
  EXPECT_TRUE(at.known);
  EXPECT_EQ(at.hash.digest(), again->end.hash.digest());
  EXPECT_EQ(again->mark_digest, stats->end.hash.digest());
  EXPECT_EQ(again->mark_records, 1u);
}

TEST_F(WalFileTest, WriterOverBytesItWasNotToldOfKnowsNoPosition) {
  ASSERT_TRUE(io::write_whole_file(path_, framed(body_of_add(1, {1.0f}, nullptr))));
  auto w = WalWriter::open_append(path_, std::nullopt, LogPosition());
  ASSERT_TRUE(w);
  EXPECT_FALSE((*w)->position().known);
}

// A process that dies in the middle of writing a batch (here: killed by the
// file-size limit after the first half of the batch reached the file) leaves
// none of the batch's records for the next open, only what came before.
TEST_F(WalFileTest, ABatchCutShortByADeathLeavesNoneOfIt) {
  {
    auto w = WalWriter::open_append(path_, std::nullopt);
    ASSERT_TRUE(w);
    (*w)->append_delete(1);
    ASSERT_TRUE((*w)->flush());
  }
  const size_t before = size();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit lim{8192, 8192};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    auto w = WalWriter::open_append(path_, std::nullopt);
    if (!w) ::_exit(1);
    for (uint64_t id = 100; id < 1100; ++id) (*w)->append_delete(id);  // 16,000 bytes
    (void)(*w)->flush();
    ::_exit(2);  // not reached: the second write of the batch exceeds the limit
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  ASSERT_EQ(size(), 8192u);  // half the batch is in the file
  Seen seen;
  auto stats = replay_wal(path_, [&](const WalEntryView& e) { seen.ids.push_back(e.id); });
  ASSERT_TRUE(stats);
  EXPECT_EQ(seen.ids, (std::vector<uint64_t>{1}));
  EXPECT_TRUE(stats->torn);
  EXPECT_EQ(stats->valid_end, before);
}

}  // namespace
}  // namespace kovra

namespace kovra {
namespace {

// Group commit: one sync covers every ticket drawn before it started; a
// ticket drawn after waits for a sync of its own, on whatever file the log
// has then.
TEST(LogSync, OneSyncCoversEveryEarlierTicket) {
  const std::string dir = ::testing::TempDir() + "kovra_logsync_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto first = WalWriter::open_append(dir + "/a.log", std::nullopt);
  ASSERT_TRUE(first);
  LogSync sync;
  std::vector<uint64_t> tickets;
  for (int i = 0; i < 5; ++i) {
    (*first)->append_delete(static_cast<VectorId>(i));
    ASSERT_TRUE((*first)->flush());
    auto t = sync.ticket((*first)->fd());
    ASSERT_TRUE(t);
    tickets.push_back(*t);
  }
  struct Step {
    uint64_t ticket;
    uint64_t syncs_after;
  };
  for (const Step& s : {Step{tickets[4], 1}, Step{tickets[0], 1}, Step{tickets[3], 1}}) {
    ASSERT_TRUE(sync.wait(s.ticket));
    EXPECT_EQ(sync.syncs(), s.syncs_after) << "ticket " << s.ticket;
  }
  // The log moves to another file (as after a compaction): later tickets sync it.
  auto second = WalWriter::open_append(dir + "/b.log", std::nullopt);
  ASSERT_TRUE(second);
  auto later = sync.ticket((*second)->fd());
  ASSERT_TRUE(later);
  (void)(*first)->close();  // the writer's descriptor may go; the sync keeps its own
  ASSERT_TRUE(sync.wait(*later));
  EXPECT_EQ(sync.syncs(), 2u);
  EXPECT_FALSE(sync.ticket(-1));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kovra
