#include "sampling/thread_pool.hpp"

#include <unistd.h>

#include <utility>

namespace quorvix {

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

void ThreadPool::take_tasks() {
  for (std::size_t i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) {
    try {
      (*task_)(i);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }
}

__attribute__((noinline)) void ThreadPool::take_tasks_on_worker() { take_tasks(); }

void ThreadPool::work() {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
      if (stopping_) return;
      seen = round_;
    }
    take_tasks_on_worker();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (--running_ == 0) finished_.notify_one();
    }
  }
}

void ThreadPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    count_ = count;
    next_.store(0);
    running_ = workers_.size();
    error_ = nullptr;
    ++round_;
  }
  wake_.notify_all();
  take_tasks();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return running_ == 0; });
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
