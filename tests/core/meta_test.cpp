#include "core/collection/meta.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/index/binary_flat.h"
#include "core/index/flat.h"
#include "core/index/ivf.h"
#include "core/index/mmap_flat.h"
#include "core/index/quantized_flat.h"
#include "core/index/quantized_fp16.h"
#include "core/io/file.h"

namespace kovra {
namespace {

namespace fs = std::filesystem;

class MetaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (fs::path(::testing::TempDir()) /
            ("kovra_meta_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, std::string_view text) {
    ASSERT_TRUE(io::write_whole_file(dir_ + "/" + name, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}));
  }
  std::string read(const std::string& name) {
    auto bytes = io::read_whole_file(dir_ + "/" + name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
  }

  std::string dir_;
};

std::string parse_error(std::string_view text) {
  auto r = parse_meta(text);
  if (r) return "<parsed>";
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization) << text;
  return r.error().text();
}

TEST_F(MetaTest, NewCollectionFilesAreByteExact) {
  ASSERT_TRUE(write_meta_direct(dir_, new_collection_meta("docs", 384, Metric::Cosine, IndexType::Hnsw)));
  EXPECT_EQ(read("meta.json"),
            "{\n"
            "  \"name\": \"docs\",\n"
            "  \"dimensions\": 384,\n"
            "  \"metric\": \"cosine\",\n"
            "  \"index_type\": \"hnsw\",\n"
            "  \"hnsw_config\": {\n"
            "    \"ef_construction\": 200,\n"
            "    \"ef_search\": 50,\n"
            "    \"m\": 12\n"
            "  },\n"
            "  \"wal_compact_threshold\": 50000\n"
            "}");

  ASSERT_TRUE(write_meta_direct(dir_, new_collection_meta("c", 8, Metric::L2, IndexType::Ivf)));
  EXPECT_EQ(read("meta.json"),
            "{\n"
            "  \"name\": \"c\",\n"
            "  \"dimensions\": 8,\n"
            "  \"metric\": \"l2\",\n"
            "  \"index_type\": \"ivf\",\n"
            "  \"wal_compact_threshold\": 50000,\n"
            "  \"ivf_config\": {\n"
            "    \"n_lists\": 256,\n"
            "    \"nprobe\": 16,\n"
            "    \"train_size\": 4096,\n"
            "    \"max_iter\": 10\n"
            "  }\n"
            "}");

  auto pq = new_collection_meta("p", 16, Metric::DotProduct, IndexType::IvfPq);
  EXPECT_FALSE(pq.hnsw_config || pq.ivf_config);
  ASSERT_TRUE(pq.ivf_pq_config);
  EXPECT_EQ(*pq.ivf_pq_config, (IvfPqConfig{256, 16, 4096, 10, PqConfig{8, 256, 25}}));
}

TEST_F(MetaTest, EveryFieldSurvivesWriteAndRead) {
  CollectionMeta meta = new_collection_meta("a \"quoted\"\\name\n\x01é", 3, Metric::DotProduct, IndexType::Flat);
  meta.hnsw_config = HnswConfig{1, 2, 3};
  meta.wal_compact_threshold = 7;
  meta.auto_promote_threshold = 3;
  meta.promotion_hnsw_config = HnswConfig{4, 5, 6};
  meta.embedding_model = "model";
  meta.ivf_config = IvfConfig{1, 2, 3, 4};
  meta.ivf_pq_config = IvfPqConfig{5, 6, 7, 8, PqConfig{9, 10, 11}};
  meta.faiss_factory = "IVF4,Flat";
  const std::string text = meta_to_json(meta);
  EXPECT_NE(text.find(R"("name": "a \"quoted\"\\name\n\u0001é")"), std::string::npos) << text;

  ASSERT_TRUE(write_meta_atomic(dir_, meta));
  EXPECT_FALSE(fs::exists(dir_ + "/meta.json.tmp"));
  auto back = read_meta(dir_);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(meta_to_json(*back), text);
  EXPECT_EQ(back->name, meta.name);
  EXPECT_EQ(back->metric, Metric::DotProduct);
  EXPECT_EQ(back->ivf_pq_config->pq.k_sub, 10u);
}

TEST_F(MetaTest, AcceptedFormsAndDefaults) {
  struct Case {
    const char* text;
    const char* rewritten;  // meta_to_json of what was read after the common start, newlines dropped
  };
  const char* base = R"({  "name": "n",  "dimensions": 2,  "metric": "l2",  "index_type": "flat",)";
  const Case cases[] = {
      // Unknown keys (with nested values) are skipped and dropped on rewrite;
      // a missing threshold reads as 50000; null optionals are absent.
      {R"({"extra": {"a": [1, {"b": null}]}, "name": "n", "dimensions": 2, "metric": "l2",
          "index_type": "flat", "hnsw_config": null, "extra2": 1} )",
       "wal_compact_threshold\": 50000}"},
      // The array form, shortened after the four fields without default.
      {R"(["n", 2, "l2", "flat"])", "wal_compact_threshold\": 50000}"},
      {R"(["n", 2, "l2", "flat", null, 9, 4])",
       "wal_compact_threshold\": 9,  \"auto_promote_threshold\": 4}"},
      // Nested records as arrays and with unknown keys.
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "flat", "hnsw_config": [1, 2, 3],
          "ivf_pq_config": {"n_lists": 1, "nprobe": 2, "train_size": 3, "max_iter": 4, "x": 0,
                            "pq": [5, 6, 7]}})",
       "hnsw_config\": {    \"ef_construction\": 1,    \"ef_search\": 2,    \"m\": 3  },  "
       "\"wal_compact_threshold\": 50000,  \"ivf_pq_config\": {    \"n_lists\": 1,    \"nprobe\": 2,    "
       "\"train_size\": 3,    \"max_iter\": 4,    \"pq\": {      \"m\": 5,      \"k_sub\": 6,      "
       "\"max_iter\": 7    }  }}"},
  };
  for (const Case& c : cases) {
    auto meta = parse_meta(c.text);
    ASSERT_TRUE(meta) << c.text << ": " << meta.error().message();
    std::string text = meta_to_json(*meta);
    std::erase(text, '\n');
    std::string expected = std::string(base) + "  \"" + c.rewritten;
    EXPECT_EQ(text, expected) << c.text;
  }
}

TEST_F(MetaTest, ParseErrorsNameTheProblemAndWhere) {
  struct Case {
    std::string text;
    const char* error;
  };
  const std::string deep(100000, '[');
  const Case cases[] = {
      {R"({"dimensions": 2, "metric": "l2", "index_type": "flat"})", "missing field `name` at line 1 column 55"},
      {"{\"name\": \"n\",\n \"metric\": \"l2\", \"index_type\": \"flat\"\n}",
       "missing field `dimensions` at line 3 column 1"},
      {R"({"name": "n", "name": "m"})", "duplicate field `name` at line 1 column 20"},
      {R"({"name": "n", "dimensions": 2, "metric": "L2", "index_type": "flat"})",
       "unknown variant `L2`, expected one of `l2`, `cosine`, `dot_product` at line 1 column 45"},
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "ivfpq"})",
       "unknown variant `ivfpq`, expected one of `flat`, `hnsw`, `quantized_flat`, `ivf`, `ivf_pq`, "
       "`fp16_flat`, `mmap_flat`, `binary_flat`, `faiss` at line 1 column 68"},
      {R"({"name": "n", "dimensions": "a"})", "invalid type: string \"a\", expected u64 at line 1 column 31"},
      {R"({"name": "n", "dimensions": -1 })", "invalid value: integer `-1`, expected u64 at line 1 column 30"},
      {R"({"name": "n", "dimensions": 2.0})",
       "invalid type: floating point `2.0`, expected u64 at line 1 column 31"},
      {R"({"name": 5})", "invalid type: integer `5`, expected a string at line 1 column 10"},
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "flat", "wal_compact_threshold": null})",
       "invalid type: null, expected u64 at line 1 column 98"},
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "flat", "hnsw_config": {"m": 1,
"ef_search": 2}})",
       "missing field `ef_construction` at line 2 column 15"},
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "ivf_pq", "ivf_pq_config":
{"n_lists": 1, "nprobe": 2, "train_size": 3, "max_iter": 4, "pq": {"m": 1, "k_sub": 2, "m": 3}}})",
       "duplicate field `m` at line 2 column 90"},
      {R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "flat", "hnsw_config": [1, 2]})",
       "invalid length 2, expected struct HnswConfig with 3 elements at line 1 column 90"},
      {R"(["n", 2, "l2"])", "invalid length 3, expected struct CollectionMeta with 12 elements at line 1 column 14"},
      {R"(["n", 2, "l2", "flat", null, 1, null, null, null, null, null, null, 0])",
       "trailing characters at line 1 column 69"},
      {"5", "invalid type: integer `5`, expected struct CollectionMeta at line 1 column 1"},
      // Syntax errors keep the JSON reader's own wording; only the position is ours.
      {"", "* at line 1 column 0"},
      {"{\"name\": \"n\"}\n x", "* at line 2 column 2"},
      {"{\"name\": \"n\",\n\n", "* at line 3 column 0"},
      {deep, "recursion limit exceeded at line 1 column 129"},
  };
  for (const Case& c : cases) {
    std::string_view error = c.error;
    if (error.starts_with("* ")) {
      EXPECT_TRUE(parse_error(c.text).ends_with(error.substr(1))) << c.text << ": " << parse_error(c.text);
    } else {
      EXPECT_EQ(parse_error(c.text), error) << c.text.substr(0, 200);
    }
  }
}

TEST_F(MetaTest, UnreadableFileIsIo) {
  auto r = read_meta(dir_ + "/none");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(write_meta_direct(dir_ + "/none", new_collection_meta("a", 1, Metric::L2, IndexType::Flat)).error().kind(),
            ErrorKind::Io);
}

TEST(IndexTypeNames, CreateAcceptsTheEightBuildableNames) {
  const char* names[] = {"flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat"};
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(index_type_name(static_cast<IndexType>(i)), names[i]);
    EXPECT_EQ(parse_index_type(names[i]), static_cast<IndexType>(i));
  }
  EXPECT_EQ(index_type_name(IndexType::Faiss), "faiss");
  for (const char* bad : {"faiss", "Flat", "", "hnsw "}) EXPECT_FALSE(parse_index_type(bad)) << bad;
  EXPECT_EQ(unknown_index_type_message("faiss"), "unknown index_type \"faiss\"");
  EXPECT_EQ(unknown_index_type_message("a\"b\\c\nd\te"), R"(unknown index_type "a\"b\\c\nd\te")");
}

TEST_F(MetaTest, FactoryBuildsEachTypeWithItsTuning) {
  struct Case {
    IndexType type;
    bool (*is_right)(const VectorIndex&);
  };
  const Case cases[] = {
      {IndexType::Flat, [](const VectorIndex& v) { return dynamic_cast<const FlatIndex*>(&v) != nullptr; }},
      {IndexType::QuantizedFlat,
       [](const VectorIndex& v) { return dynamic_cast<const QuantizedFlatIndex*>(&v) != nullptr; }},
      {IndexType::Fp16Flat, [](const VectorIndex& v) { return dynamic_cast<const Fp16FlatIndex*>(&v) != nullptr; }},
      {IndexType::BinaryFlat,
       [](const VectorIndex& v) { return dynamic_cast<const BinaryFlatIndex*>(&v) != nullptr; }},
      {IndexType::MmapFlat, [](const VectorIndex& v) { return dynamic_cast<const MmapFlatIndex*>(&v) != nullptr; }},
      // Absent tuning records take the collection defaults.
      {IndexType::Hnsw,
       [](const VectorIndex& v) {
         auto* h = dynamic_cast<const HnswIndex*>(&v);
         return h && h->config().ef_construction == 200 && h->config().ef_search == 50 && h->config().m == 12;
       }},
      {IndexType::Ivf,
       [](const VectorIndex& v) {
         auto* i = dynamic_cast<const IvfIndex*>(&v);
         return i && i->config() == default_collection_ivf_config();
       }},
      {IndexType::IvfPq,
       [](const VectorIndex& v) {
         auto* i = dynamic_cast<const IvfPqIndex*>(&v);
         return i && i->config() == default_collection_ivf_pq_config();
       }},
  };
  for (const Case& c : cases) {
    CollectionMeta meta;
    meta.name = "c";
    meta.dimensions = 16;
    meta.metric = Metric::DotProduct;
    meta.index_type = c.type;
    auto index = build_index(meta, dir_);
    ASSERT_TRUE(index) << index.error().message();
    EXPECT_TRUE(c.is_right(**index)) << index_type_name(c.type);
    EXPECT_EQ((*index)->params().dimensions, 16u);
    EXPECT_EQ((*index)->params().metric, Metric::DotProduct);
  }
  // Nothing is created for a memory-mapped collection until it flushes.
  EXPECT_FALSE(fs::exists(dir_ + "/vectors.mmap"));

  CollectionMeta meta = new_collection_meta("c", 4, Metric::L2, IndexType::Hnsw);
  meta.hnsw_config = HnswConfig{10, 20, 5};
  auto hnsw = build_index(meta, dir_);
  ASSERT_TRUE(hnsw);
  EXPECT_EQ(dynamic_cast<HnswIndex&>(**hnsw).config().m, 5u);

  meta.index_type = IndexType::Ivf;
  meta.ivf_config = IvfConfig{0, 1, 1, 1};
  auto ivf = build_index(meta, dir_);
  ASSERT_FALSE(ivf);
  EXPECT_EQ(ivf.error().kind(), ErrorKind::InvalidConfig);
}

TEST_F(MetaTest, FactoryFailuresThatEndTheOpen) {
  CollectionMeta meta = new_collection_meta("legacy", 4, Metric::L2, IndexType::Flat);
  meta.index_type = IndexType::Faiss;
  try {
    (void)build_index(meta, dir_);
    ADD_FAILURE() << "faiss built";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(),
                 "collection 'legacy' uses IndexType::Faiss but kovra-core was compiled without the 'faiss' "
                 "feature; rebuild with `--features faiss`");
  }

  write("vectors.mmap", "KVEX not a vector file at all, long enough for a header");
  meta.index_type = IndexType::MmapFlat;
  try {
    (void)build_index(meta, dir_);
    ADD_FAILURE() << "damaged vector file opened";
  } catch (const InternalFailure& e) {
    EXPECT_TRUE(std::string_view(e.what()).starts_with("failed to open MmapFlatIndex: ")) << e.what();
  }
}

}  // namespace
}  // namespace kovra
