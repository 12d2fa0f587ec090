#include "sampling/thread_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace quorvix {

namespace {

// A thread that waits for others (a worker for the next round, the caller for the last tasks)
// checks, then yields its core: when it shares the core with the thread it waits for, or with
// anything else, the kernel runs that instead of letting the waiter spin through a time slice.
// Alone on its core, a yield returns at once.
void relax() { std::this_thread::yield(); }

// Calls in a training loop come every few milliseconds, with collation and a model step between
// them. A worker that sleeps lets its core go idle, and an idle virtual core can take a millisecond
// to run it again; so after a round a worker keeps watching for this long before it sleeps, as long
// as nothing else wants its core (see kTakenCore).
constexpr auto kAfterCallWatch = std::chrono::milliseconds(50);
// Within a call the caller's serial steps between rounds (the draws, the result arrays) take far
// less; a worker that waits this long within a call has lost its caller to the kernel and sleeps.
constexpr auto kCallWatch = std::chrono::milliseconds(5);
// A yield that takes longer than this has run another thread on the core.
constexpr auto kTakenCore = std::chrono::microseconds(50);
// The caller watches this long for the workers' last tasks before it sleeps until they end.
constexpr auto kFinishWatch = std::chrono::microseconds(100);

int current_cpu() {
#ifdef __linux__
  return sched_getcpu();
#else
  return -1;
#endif
}

constexpr int kIndexBits = 32;
constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;

}  // namespace

ThreadPool::ThreadPool(std::size_t workers)
    : max_workers_(workers), watchers_(std::max(std::thread::hardware_concurrency(), 2U) - 1) {
  workers_.reserve(workers);
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
    for (const auto& worker : workers_) worker->wake.notify_one();
  }
  for (const auto& worker : workers_) worker->thread.join();
}

void ThreadPool::call_workers(std::size_t count) {
  count = std::min(count, max_workers_);
  for (std::size_t i = 0; i < count; ++i) {
    if (i == workers_.size()) {
      workers_.push_back(std::make_unique<Worker>());
      Worker& worker = *workers_.back();
      worker.watches = i < watchers_;
      worker.called = true;
      // It starts with the current round seen: run() begins its round only after calling workers.
      worker.thread = std::thread([this, &worker, seen = round_.load()] { work(worker, seen); });
      continue;
    }
    Worker& worker = *workers_[i];
    // A watching worker sees the round itself; one on its way to sleep finds `called` set and
    // watches once more.
    worker.called = true;
    if (worker.sleeping) worker.wake.notify_one();
  }
}

void ThreadPool::begin_call(std::size_t tasks) {
  caller_cpu_.store(current_cpu(), std::memory_order_relaxed);
  in_call_.store(true, std::memory_order_relaxed);
  if (tasks < 2) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  call_workers(tasks - 1);
}

void ThreadPool::end_call() { in_call_.store(false, std::memory_order_relaxed); }

void ThreadPool::take_tasks(uint64_t round, std::size_t count, const std::function<void(std::size_t)>& task) {
  for (;;) {
    // A claim carries its round: a worker that wakes late, after its round has ended and the next
    // has begun, claims nothing and never runs a task whose round is over.
    uint64_t next = next_.load();
    do {
      if ((next >> kIndexBits) != (round & kIndexMask) || (next & kIndexMask) >= count) return;
    } while (!next_.compare_exchange_weak(next, next + 1));
    try {
      task(static_cast<std::size_t>(next & kIndexMask));
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
    if (done_.fetch_add(1) + 1 == count) {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_.notify_one();
    }
  }
}

__attribute__((noinline)) void ThreadPool::take_tasks_on_worker(uint64_t round, std::size_t count,
                                                                 const std::function<void(std::size_t)>& task) {
  take_tasks(round, count, task);
}

void ThreadPool::watch(Worker& me, uint64_t& seen) {
  auto idle_since = std::chrono::steady_clock::now();
  for (;;) {
    if (round_.load(std::memory_order_relaxed) != seen) {
      const std::function<void(std::size_t)>* task = nullptr;
      std::size_t count = 0;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        seen = round_.load();
        task = task_;
        count = count_;
        me.called = false;
      }
      me.cpu_mask.follow();
      // The task outlives every claim made in its round: run() waits for all of them to finish.
      if (task != nullptr) take_tasks_on_worker(seen, count, *task);
      idle_since = std::chrono::steady_clock::now();
      continue;
    }
    // A worker beyond the cores would only take a core from one with a task: it sleeps at once.
    if (!me.watches || stopping_.load(std::memory_order_relaxed)) return;
    const bool in_call = in_call_.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (now - idle_since > (in_call ? kCallWatch : kAfterCallWatch)) return;
    const int caller_cpu = caller_cpu_.load(std::memory_order_relaxed);
    // A worker woken onto its caller's core would otherwise wait there (yielding) while another
    // core stays idle.
    if (in_call && caller_cpu >= 0 && current_cpu() == caller_cpu) me.cpu_mask.leave(caller_cpu);
    relax();
    // Between calls the core is only borrowed: a yield that took long means another thread ran on
    // it (a model step, say), which the watching would slow down, so the worker sleeps instead.
    if (!in_call && std::chrono::steady_clock::now() - now > kTakenCore) return;
  }
}

void ThreadPool::work(Worker& me, uint64_t seen) {
  me.cpu_mask.adopt();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      me.sleeping = true;
      me.wake.wait(lock, [&] { return stopping_.load() || me.called; });
      me.sleeping = false;
      me.called = false;
      if (stopping_.load()) return;
    }
    watch(me, seen);
  }
}

void ThreadPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
  uint64_t round = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    count_ = count;
    done_.store(0);
    error_ = nullptr;
    if (count > 1) call_workers(count - 1);
    round = round_.load() + 1;
    next_.store((round & kIndexMask) << kIndexBits);
    round_.store(round);
  }
  take_tasks(round, count, task);
  // The workers' last tasks usually end within microseconds of the caller's: watch for that before
  // paying for a sleep and a wake-up.
  const auto watch_until = std::chrono::steady_clock::now() + kFinishWatch;
  while (done_.load(std::memory_order_acquire) != count && std::chrono::steady_clock::now() < watch_until) relax();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Only the tasks must be done; a worker that has not woken yet claims nothing once it does.
    finished_.wait(lock, [&] { return done_.load() == count; });
    task_ = nullptr;
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

PoolSlot::~PoolSlot() { abandon_if_forked(); }

void PoolSlot::abandon_if_forked() {
  if (pool_ && owner_ != getpid()) static_cast<void>(pool_.release());
}

void PoolSlot::fit(std::size_t threads) {
  abandon_if_forked();
  if (pool_ && pool_->threads() != threads) pool_.reset();  // joins its workers
}

ThreadPool& PoolSlot::get(std::size_t threads) {
  fit(threads);
  if (!pool_) {
    pool_ = std::make_unique<ThreadPool>(threads - 1);
    owner_ = getpid();
  }
  return *pool_;
}

}  // namespace quorvix
