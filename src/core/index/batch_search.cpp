#include "core/index/batch_search.h"

#include <omp.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>

namespace kovra {

size_t batch_workers(size_t rows, size_t requested) {
  // Far more threads than cores would only contend; the answers do not
  // depend on the count.
  const size_t procs = static_cast<size_t>(std::max(1, omp_get_num_procs()));
  size_t threads = requested ? requested : static_cast<size_t>(std::max(1, omp_get_max_threads()));
  threads = std::min({threads, rows, std::max<size_t>(64, 4 * procs)});
  return std::max<size_t>(threads, 1);
}

void write_batch_row(const BatchOutput& out, size_t row, std::span<const Hit> hits) {
  int64_t* ids = out.ids + row * out.k;
  float* distances = out.distances + row * out.k;
  const size_t n = std::min(hits.size(), out.k);
  for (size_t i = 0; i < n; ++i) {
    ids[i] = static_cast<int64_t>(hits[i].id);
    distances[i] = hits[i].distance;
  }
  std::fill(ids + n, ids + out.k, int64_t{-1});
  std::fill(distances + n, distances + out.k, std::numeric_limits<float>::infinity());
}

Status run_batch(size_t rows, size_t workers, const BatchOutput& out,
                 const std::function<Result<std::vector<Hit>>(size_t row, size_t worker)>& answer) {
  std::exception_ptr thrown;
  std::optional<Error> failed;
  size_t failed_row = rows;
  const int64_t count = static_cast<int64_t>(rows);
#pragma omp parallel for num_threads(static_cast<int>(workers)) schedule(dynamic, 4) if (workers > 1)
  for (int64_t i = 0; i < count; ++i) {
    const size_t row = static_cast<size_t>(i);
    try {
      Result<std::vector<Hit>> hits = answer(row, static_cast<size_t>(omp_get_thread_num()));
      if (hits) {
        write_batch_row(out, row, *hits);
      } else {
#pragma omp critical(kovra_batch_error)
        if (row < failed_row) {
          failed_row = row;
          failed = hits.error();
        }
      }
    } catch (...) {
      // An exception must not leave the parallel region; it is rethrown after.
#pragma omp critical(kovra_batch_error)
      if (!thrown) thrown = std::current_exception();
    }
  }
  if (thrown) std::rethrow_exception(thrown);
  if (failed) return fail(std::move(*failed));
  return ok();
}

}  // namespace kovra
