// Worker pools: the only place the pool library (oneTBB) is used.
#include "orivex/support/execution.hpp"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace orivex {

// A dedicated pool is an arena entered by a thread of its own, never by the caller's: the pool
// library keeps per-thread state (and with it the workers) alive for as long as the thread that
// entered an arena lives, so a caller entering it would keep every worker it ever started.
// Once the owner thread ends, its state goes with it, and when no pool, default-pool user or
// arena is left the library tells its workers to exit; nothing waits for them. (Ending them with
// a scheduler handle and a blocking finalize instead deadlocks in the library, whose handle
// creation and first use of the scheduler take its two internal locks in opposite orders.)
class Pool {
 public:
  explicit Pool(int n) {
    owner_ = std::thread([this, n] { serve(n); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ != State::Starting; });
    if (state_ == State::Failed) {
      lock.unlock();
      owner_.join();
      std::rethrow_exception(failure_);
    }
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      state_ = State::Stopping;
    }
    changed_.notify_all();
    // The owner only leaves the arena and ends: this waits for no worker.
    owner_.join();
  }

  // Runs work inside the arena on the owner thread and waits for it; one call at a time. Work
  // that is already on the owner thread (inside the arena) runs directly.
  void run(const std::function<void()>& work) {
    if (std::this_thread::get_id() == owner_.get_id()) {
      work();
      return;
    }
    std::lock_guard one_call(calls_);
    std::unique_lock lock(mutex_);
    job_ = &work;
    failure_ = nullptr;
    changed_.notify_all();
    changed_.wait(lock, [&] { return job_ == nullptr; });
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

  int concurrency() const { return concurrency_; }

 private:
  enum class State { Starting, Serving, Failed, Stopping };

  void serve(int n) {
    std::optional<tbb::task_arena> arena;
    std::unique_lock lock(mutex_);
    try {
      allow_requested_parallelism();
      arena.emplace(n);
      arena->initialize();
      concurrency_ = arena->max_concurrency();
      state_ = State::Serving;
    } catch (...) {
      failure_ = std::current_exception();
      state_ = State::Failed;
    }
    changed_.notify_all();
    while (state_ == State::Serving) {
      changed_.wait(lock, [&] { return job_ != nullptr || state_ != State::Serving; });
      if (job_ == nullptr) break;
      const std::function<void()>& work = *job_;
      lock.unlock();
      std::exception_ptr failure;
      try {
        arena->execute([&] { work(); });
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      failure_ = failure;
      job_ = nullptr;
      changed_.notify_all();
    }
    lock.unlock();
    if (arena && arena->is_active()) arena->terminate();
  }

  // The library caps the total number of workers at the machine's processor count by default;
  // a dedicated pool of n workers must really get n, so the cap is lifted once for the process,
  // before the first pool's arena asks for its workers. Lifting it while another thread creates
  // the scheduler deadlocks in the library (the same two locks in opposite orders), so a
  // one-slot arena holds the scheduler alive meanwhile; the control is never destroyed, so no
  // exit path takes those locks either.
  static void allow_requested_parallelism() {
    static tbb::global_control* const control = [] {  // reachable, never destroyed
      tbb::task_arena holder(1);
      holder.initialize();
      auto* lifted = new tbb::global_control(tbb::global_control::max_allowed_parallelism, 65536);
      holder.terminate();
      return lifted;
    }();
    (void)control;
  }

  std::mutex calls_;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::Starting;
  const std::function<void()>* job_ = nullptr;
  std::exception_ptr failure_;
  int concurrency_ = 0;
  std::thread owner_;
};

namespace {

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
    // A child of fork() has none of its parent's threads: ending that pool would wait for an
    // owner thread that does not exist there, so it is left as it is.
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
  pool_->run(work);
}

std::size_t Execution::concurrency() const {
  if (pool_) return static_cast<std::size_t>(pool_->concurrency());
  return current_concurrency();
}

std::size_t usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    if (const int n = CPU_COUNT(&set); n > 0) return static_cast<std::size_t>(n);
  }
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t current_concurrency() {
  return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  // Many small chunks, taken by whichever worker is free: a worker whose core is shared with
  // other work takes fewer of them instead of holding up the stage with a fixed share.
  const std::size_t workers = current_concurrency();
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
