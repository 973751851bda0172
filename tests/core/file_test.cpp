#include "core/io/file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/collection/client.h"
#include "core/index/flat.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Records the durability steps of the file layer while alive.
class StepLog {
 public:
  explicit StepLog(std::string root) : root_(std::move(root)) {
    io::set_durability_observer_for_testing([this](const char* step, const std::string& path) {
      std::string p = path;
      if (p.rfind(root_, 0) == 0) p = p.size() == root_.size() ? "." : p.substr(root_.size() + 1);
      steps_.push_back(std::string(step) + " " + p);
    });
  }
  ~StepLog() { io::set_durability_observer_for_testing(nullptr); }
  const std::vector<std::string>& steps() const { return steps_; }

 private:
  std::string root_;
  std::vector<std::string> steps_;
};

class FileDurability : public testing::Test {
 protected:
  void SetUp() override {
    root_ = ::testing::TempDir() + "kovra_file_" + std::to_string(::getpid());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string at(const std::string& name) const { return root_ + "/" + name; }
  std::string root_;
};

using Steps = std::vector<std::string>;

// Each way a file is replaced or created, with the steps it must take, in
// order: the data synced before the rename, the directory after it.
struct DurableWriteCase {
  const char* name;
  std::function<Status(const std::string& root)> run;
  Steps steps;
};

class DurableWrites : public FileDurability, public testing::WithParamInterface<DurableWriteCase> {};

TEST_P(DurableWrites, StepsInOrder) {
  const DurableWriteCase& c = GetParam();
  write_text(at("old"), "old");
  StepLog log(root_);
  ASSERT_TRUE(c.run(root_)) << c.name;
  EXPECT_EQ(log.steps(), c.steps) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DurableWrites,
    testing::Values(
        DurableWriteCase{"replace_file",
                         [](const std::string& r) {
                           write_text(r + "/new.tmp", "new");
                           return io::replace_file(r + "/new.tmp", r + "/old");
                         },
                         {"sync new.tmp", "rename old", "sync_dir ."}},
        DurableWriteCase{"write_replacing",
                         [](const std::string& r) {
                           return io::write_replacing(r + "/old", [](const std::string& tmp) {
                             return io::write_whole_file(tmp, bytes_of("new"));
                           });
                         },
                         {"sync old.tmp", "rename old", "sync_dir ."}},
        DurableWriteCase{"write_new_file",
                         [](const std::string& r) { return io::write_new_file(r + "/fresh", bytes_of("x")); },
                         {"sync fresh", "sync_dir ."}},
        DurableWriteCase{"create_directories_syncs_each_new_parent",
                         [](const std::string& r) { return io::create_directories(r + "/a/b/c"); },
                         {"sync_dir .", "sync_dir a", "sync_dir a/b"}},
        DurableWriteCase{"create_directories_of_an_existing_one_syncs_nothing",
                         [](const std::string& r) { return io::create_directories(r); }, {}},
        DurableWriteCase{"index_save_replaces",
                         [](const std::string& r) -> Status {
                           FlatIndex index(2, Metric::L2);
                           KOVRA_TRY(index.add(1, std::vector<float>{1, 2}));
                           return index.save(r + "/old");
                         },
                         {"sync old.tmp", "rename old", "sync_dir ."}}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed replacement leaves the target as it was.
struct FailedReplaceCase {
  const char* name;
  std::function<Status(const std::string& root)> run;
  bool tmp_left;  // the temporary file is still there (the caller removes it)
};

class FailedReplaces : public FileDurability, public testing::WithParamInterface<FailedReplaceCase> {};

TEST_P(FailedReplaces, TargetUnchanged) {
  const FailedReplaceCase& c = GetParam();
  write_text(at("old"), "old");
  Status s = c.run(root_);
  ASSERT_FALSE(s) << c.name;
  EXPECT_EQ(s.error().kind(), c.name == std::string("write_replacing_writer_fails") ? ErrorKind::Serialization
                                                                                      : ErrorKind::Io);
  EXPECT_EQ(read_text(at("old")), "old") << c.name;
  EXPECT_EQ(fs::exists(at("old.tmp")), c.tmp_left) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedReplaces,
    testing::Values(
        FailedReplaceCase{"replace_missing_tmp",
                          [](const std::string& r) { return io::replace_file(r + "/old.tmp", r + "/old"); }, false},
        FailedReplaceCase{"replace_onto_a_directory",
                          [](const std::string& r) -> Status {
                            fs::create_directories(r + "/dir/inner");
                            write_text(r + "/old.tmp", "new");
                            return io::replace_file(r + "/old.tmp", r + "/dir");
                          },
                          true},
        FailedReplaceCase{"write_replacing_writer_fails",
                          [](const std::string& r) {
                            return io::write_replacing(r + "/old", [](const std::string& tmp) -> Status {
                              write_text(tmp, "partial");
                              return fail(Error::serialization("disk full"));
                            });
                          },
                          false},
        FailedReplaceCase{"create_directories_through_a_file",
                          [](const std::string& r) { return io::create_directories(r + "/old/sub"); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The collection's own files: creating one makes its names durable, and a
// deleted collection does not come back.
TEST_F(FileDurability, CollectionCreateAndDeleteSyncTheirDirectories) {
  auto state = ClientState::open(at("data"));
  ASSERT_TRUE(state);
  {
    StepLog log(root_);
    ASSERT_TRUE((*state)->write(
        [](ClientState& s) { return s.create_collection("docs", 2, Metric::L2, IndexType::Flat); }));
    EXPECT_EQ(log.steps(), (Steps{"sync_dir data", "sync data/docs/meta.json", "sync_dir data/docs",
                                  "sync_dir data/docs"}));
  }
  StepLog log(root_);
  auto removed = (*state)->write([](ClientState& s) { return s.delete_collection("docs"); });
  ASSERT_TRUE(removed && *removed);
  EXPECT_EQ(log.steps(), (Steps{"sync_dir data"}));
}

}  // namespace
}  // namespace kovra
