// Worker pools: the only place the pool library (oneTBB) is used.
#include "orivex/support/execution.hpp"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>

namespace orivex {

class Pool {
 public:
  explicit Pool(int n) : scheduler(tbb::attach{}), arena(n) { arena.initialize(); }
  // The pool library parks idle workers for reuse instead of ending them, so a process making
  // many calls with their own pools would keep every worker it ever started. Ending the
  // scheduler once the pool is gone makes the workers exit; the next call starts afresh.
  ~Pool() {
    arena.terminate();
    (void)tbb::finalize(scheduler, std::nothrow);
  }
  tbb::task_scheduler_handle scheduler;
  tbb::task_arena arena;
};

namespace {

// The library caps the total number of workers at the machine's processor count by default;
// a dedicated pool of n workers must really get n, so lift the cap once for the process.
void allow_requested_parallelism() {
  static std::once_flag once;
  static std::unique_ptr<tbb::global_control> control;
  std::call_once(once, [] {
    control = std::make_unique<tbb::global_control>(
        tbb::global_control::max_allowed_parallelism, 65536);
  });
}

// Chunks per worker in parallel_for: enough that a slowed worker's last chunk is a small part of
// the stage, few enough that taking a chunk costs nothing next to its work.
constexpr std::size_t chunks_per_worker = 16;

}  // namespace

Result<Execution> Execution::create(std::optional<std::uint64_t> threads) {
  Execution exec;
  if (!threads) return exec;
  if (*threads == 0) return Error::invalid_threads();
  const int n = static_cast<int>(std::min<std::uint64_t>(*threads, 65535));
  try {
    allow_requested_parallelism();
    exec.pool_ = std::make_shared<Pool>(n);
  } catch (const std::exception& e) {
    return Error::thread_pool(e.what());
  }
  return exec;
}

namespace {

struct KeptPool {
  std::shared_ptr<Pool> pool;
  int size = 0;
  pid_t pid = 0;
  ~KeptPool() { drop(); }
  void drop() {
    // A child of fork() has none of its parent's workers: ending that pool could wait for
    // threads that do not exist, so it is left as it is.
    if (pool && pid != ::getpid()) (void)new std::shared_ptr<Pool>(std::move(pool));  // never freed
    pool.reset();
    size = 0;
  }
};

thread_local KeptPool kept_pool;

}  // namespace

Result<Execution> Execution::kept(std::optional<std::uint64_t> threads) {
  if (!threads || *threads == 0) return create(threads);
  const int n = static_cast<int>(std::min<std::uint64_t>(*threads, 65535));
  if (kept_pool.pool && (kept_pool.size != n || kept_pool.pid != ::getpid())) kept_pool.drop();
  if (!kept_pool.pool) {
    ORIVEX_ASSIGN(Execution fresh, create(threads));
    kept_pool.pool = fresh.pool_;
    kept_pool.size = n;
    kept_pool.pid = ::getpid();
  }
  Execution exec;
  exec.pool_ = kept_pool.pool;
  return exec;
}

void Execution::release_kept_pool() { kept_pool.drop(); }

void Execution::run_void(const std::function<void()>& work) const {
  if (!pool_) {
    work();
    return;
  }
  pool_->arena.execute([&] { work(); });
}

std::size_t Execution::concurrency() const {
  if (pool_) return static_cast<std::size_t>(pool_->arena.max_concurrency());
  return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  // Many small chunks, taken by whichever worker is free: a worker whose core is shared with
  // other work takes fewer of them instead of holding up the stage with a fixed share.
  const auto workers = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  const std::size_t grain = std::max<std::size_t>(1, n / (workers * chunks_per_worker));
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                    [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); },
                    tbb::simple_partitioner());
}

SumCounts parallel_sum_counts(std::size_t n,
                              const std::function<SumCounts(std::size_t, std::size_t)>& chunk) {
  if (n == 0) return {};
  // Fixed chunks joined in a fixed tree: the float sum is the same bit for bit whatever the
  // number of workers, so repeated audits give identical reports.
  constexpr std::size_t grain = 2048;
  return tbb::parallel_deterministic_reduce(
      tbb::blocked_range<std::size_t>(0, n, grain), SumCounts{},
      [&](const tbb::blocked_range<std::size_t>& r, SumCounts acc) {
        SumCounts part = chunk(r.begin(), r.end());
        acc.sum += part.sum;
        acc.ok += part.ok;
        acc.attempted += part.attempted;
        return acc;
      },
      [](SumCounts a, const SumCounts& b) {
        a.sum += b.sum;
        a.ok += b.ok;
        a.attempted += b.attempted;
        return a;
      },
      tbb::simple_partitioner());
}

}  // namespace orivex
