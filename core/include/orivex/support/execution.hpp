// The execution context of one call: an optional dedicated worker pool, and the data-parallel
// primitives the analyses use (they run on whichever pool the current call is inside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "orivex/support/error.hpp"

namespace orivex {

class Pool;  // opaque: the pool library stays inside execution.cpp

class Execution {
 public:
  // Absent: use the process-wide default pool. 0: InvalidThreads. n: a dedicated pool of n
  // workers (capped at 65535): its own owner thread and n - 1 of the library's workers, which
  // exit once no pool, arena or thread of the default pool needs them.
  static Result<Execution> create(std::optional<std::uint64_t> threads);
  // As create, but a dedicated pool is the calling thread's pool of that size, kept for its
  // next call: a thread auditing run after run starts its workers once. A call asking for
  // another size replaces it. Released when the thread ends or by release_kept_pool.
  static Result<Execution> kept(std::optional<std::uint64_t> threads);
  static void release_kept_pool();

  // Runs `work` inside the pool (blocking the caller until it finishes); without a dedicated
  // pool it runs directly on the calling thread.
  void run_void(const std::function<void()>& work) const;

  template <class F>
  auto run(F&& work) const -> decltype(work()) {
    using R = decltype(work());
    std::optional<R> out;
    run_void([&] { out.emplace(work()); });
    return std::move(*out);
  }

  // Worker count of the pool that runs this call's parallel parts.
  std::size_t concurrency() const;
  bool has_dedicated_pool() const { return pool_ != nullptr; }

 private:
  std::shared_ptr<Pool> pool_;
};

// Worker count of the pool the calling code runs in.
std::size_t current_concurrency();
// Processors this process may run on.
std::size_t usable_processors();

// Calls body(begin, end) over disjoint chunks covering [0, n) on the current pool, about 16 per
// worker, each taken by whichever worker is free (the chunking varies with the pool: reductions
// over the chunks must not depend on it).
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

// A float sum and two exact counts, added pairwise as the parts finish.
struct SumCounts {
  double sum = 0.0;
  std::size_t ok = 0;
  std::size_t attempted = 0;
};

// chunk(begin, end) sums its indices in order; the parts are joined by addition.
SumCounts parallel_sum_counts(std::size_t n,
                              const std::function<SumCounts(std::size_t, std::size_t)>& chunk);

}  // namespace orivex
