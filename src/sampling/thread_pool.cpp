#include "sampling/thread_pool.hpp"

#include <unistd.h>

#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quorvix {

namespace {

// A call runs a few rounds shortly after each other; a worker that has just finished one watches
// for the next for a few microseconds before it sleeps, instead of paying a wake-up.
constexpr int kSpinChecks = 2000;

void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

constexpr int kIndexBits = 32;
constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;

}  // namespace

ThreadPool::ThreadPool(std::size_t workers) {
  workers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

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

void ThreadPool::work() {
  uint64_t seen = 0;
  for (;;) {
    for (int i = 0; i < kSpinChecks && round_.load(std::memory_order_relaxed) == seen; ++i) spin_pause();
    const std::function<void(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || round_.load() != seen; });
      if (stopping_) return;
      seen = round_.load();
      task = task_;
      count = count_;
    }
    // The task outlives every claim made in its round: run() waits for all of them to finish.
    if (task != nullptr) take_tasks_on_worker(seen, count, *task);
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
    round = round_.load() + 1;
    next_.store((round & kIndexMask) << kIndexBits);
    round_.store(round);
  }
  wake_.notify_all();
  take_tasks(round, count, task);
  // The workers' last tasks usually end within microseconds of the caller's: watch for that before
  // paying for a sleep and a wake-up.
  for (int i = 0; i < kSpinChecks && done_.load(std::memory_order_acquire) != count; ++i) spin_pause();
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

ThreadPool& PoolSlot::get(std::size_t threads) {
  abandon_if_forked();
  if (!pool_ || pool_->threads() != threads) {
    pool_.reset();  // joins the old workers first
    pool_ = std::make_unique<ThreadPool>(threads - 1);
    owner_ = getpid();
  }
  return *pool_;
}

}  // namespace quorvix
