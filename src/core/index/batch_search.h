// Many queries answered at once on several threads, written into two
// row-major (rows x k) arrays owned by the caller: ids and distances, each
// row closest first and padded with id -1 and distance +inf when a query has
// fewer than k results.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/index/vector_index.h"

namespace kovra {

struct BatchOutput {
  int64_t* ids;       // rows * k
  float* distances;   // rows * k
  size_t k;
};

// A row-major block of queries, `columns` floats each. `columns` may differ
// from an index's dimensions; each row then answers as search would.
struct QueryBlock {
  std::span<const float> data;
  size_t rows;
  size_t columns;

  std::span<const float> row(size_t r) const { return data.subspan(r * columns, columns); }
};

// Threads for `rows` queries when `requested` are asked for (0 = as many as
// OpenMP would start). Never more than the rows, never fewer than one.
size_t batch_workers(size_t rows, size_t requested);

// Copies at most k hits into the output's row `row` and pads the rest.
void write_batch_row(const BatchOutput& out, size_t row, std::span<const Hit> hits);

// Runs work(item, worker) for items 0..count-1 on `workers` threads (worker
// is the thread's number, below `workers`). On failure, returns the error of
// the lowest failing item; an exception is rethrown after every thread stops.
Status parallel_items(size_t count, size_t workers, const std::function<Status(size_t item, size_t worker)>& work);

// Runs answer(row, worker) for every row on `workers` threads (worker is the
// thread's number, below `workers`) and writes each answer into its row. On
// failure, returns the error of the lowest failing row.
Status run_batch(size_t rows, size_t workers, const BatchOutput& out,
                 const std::function<Result<std::vector<Hit>>(size_t row, size_t worker)>& answer);

// The batch over an index's own single-query search, which must be safe to
// call from several threads at once.
template <class Index>
Status search_batch_rows(const Index& index, const QueryBlock& queries, size_t num_threads,
                         const BatchOutput& out) {
  return run_batch(queries.rows, batch_workers(queries.rows, num_threads), out,
                   [&](size_t row, size_t) { return index.search(queries.row(row), out.k); });
}

}  // namespace kovra
