#include "core/error.h"

#include <gtest/gtest.h>

#include "core/metric.h"

namespace kovra {
namespace {

TEST(Error, MessagesMatchTheirKinds) {
  EXPECT_EQ(Error::dimension_mismatch(128, 64).message(), "dimension mismatch: expected 128, got 64");
  EXPECT_EQ(Error::duplicate_id(7).message(), "duplicate vector ID: 7");
  EXPECT_EQ(Error::not_found(18446744073709551615ull).message(), "vector ID not found: 18446744073709551615");
  EXPECT_EQ(Error::empty_index().message(), "index is empty");
  EXPECT_EQ(Error::invalid_config("x").message(), "invalid configuration: x");
  EXPECT_EQ(Error::serialization("eof").message(), "serialization error: eof");
  EXPECT_EQ(Error::io(2).message(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(Error::collection_already_exists("docs").message(), "collection already exists: docs");
  EXPECT_EQ(Error::collection_not_found("docs").message(), "collection not found: docs");
  EXPECT_EQ(Error::wal_corruption(3, "bad body").message(), "WAL corruption at entry 3: bad body");
  EXPECT_EQ(Error::embedding("e").message(), "embedding error: e");
  EXPECT_EQ(Error::no_embedder("docs").message(), "no embedder configured for collection 'docs'");
  EXPECT_EQ(Error::snapshot_already_exists("s").message(), "snapshot already exists: s");
  EXPECT_EQ(Error::snapshot_not_found("s").message(), "snapshot not found: s");
  EXPECT_EQ(static_cast<int>(Error::out_of_memory("s").kind()), kErrorKindCount - 1);
}

Status fails_then(bool fail_it, int* reached) {
  auto step = [&]() -> Status {
    if (fail_it) return fail(Error::empty_index());
    return ok();
  };
  KOVRA_TRY(step());
  *reached = 1;
  return ok();
}

TEST(Error, TryPropagatesTheFirstFailure) {
  int reached = 0;
  EXPECT_FALSE(fails_then(true, &reached));
  EXPECT_EQ(reached, 0);
  EXPECT_TRUE(fails_then(false, &reached));
  EXPECT_EQ(reached, 1);
}

TEST(Metric, ParsingIsExactAndCaseSensitive) {
  EXPECT_EQ(parse_metric("l2").value(), Metric::L2);
  EXPECT_EQ(parse_metric("cosine").value(), Metric::Cosine);
  EXPECT_EQ(parse_metric("dot_product").value(), Metric::DotProduct);
  EXPECT_EQ(parse_metric("L2").error(), "unknown metric \"L2\"; expected \"l2\", \"cosine\", or \"dot_product\"");
  EXPECT_EQ(parse_metric("a\"b\\c\n").error().substr(0, 26), "unknown metric \"a\\\"b\\\\c\\n\"");
  EXPECT_FALSE(parse_metric(""));
  EXPECT_EQ(metric_name(Metric::DotProduct), "dot_product");
  EXPECT_FALSE(metric_from_id(3));
  EXPECT_EQ(metric_from_id(1), Metric::Cosine);
}

}  // namespace
}  // namespace kovra
