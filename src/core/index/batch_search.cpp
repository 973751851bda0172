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

Status parallel_items(size_t count, size_t workers, const std::function<Status(size_t item, size_t worker)>& work) {
  std::exception_ptr thrown;
  std::optional<Error> failed;
  size_t failed_item = count;
  const int64_t n = static_cast<int64_t>(count);
#pragma omp parallel for num_threads(static_cast<int>(workers)) schedule(dynamic, 1) if (workers > 1)
  for (int64_t i = 0; i < n; ++i) {
    const size_t item = static_cast<size_t>(i);
    try {
      Status st = work(item, static_cast<size_t>(omp_get_thread_num()));
      if (!st) {
#pragma omp critical(kovra_batch_error)
        if (item < failed_item) {
          failed_item = item;
          failed = st.error();
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

Status run_batch(size_t rows, size_t workers, const BatchOutput& out,
                 const std::function<Result<std::vector<Hit>>(size_t row, size_t worker)>& answer) {
  return parallel_items(rows, workers, [&](size_t row, size_t worker) -> Status {
    Result<std::vector<Hit>> hits = answer(row, worker);
    if (!hits) return fail(std::move(hits).error());
    write_batch_row(out, row, *hits);
    return ok();
  });
}

}  // namespace kovra
