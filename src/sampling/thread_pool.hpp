// A small fixed pool of worker threads that runs numbered tasks, handed out one at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace quorvix {

class ThreadPool {
 public:
  // Starts `workers` threads; the thread that calls run() takes part too.
  explicit ThreadPool(std::size_t workers);
  // Stops and joins the workers. Only valid in the process that started them (see PoolSlot).
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t threads() const { return workers_.size() + 1; }

  // Runs task(0) .. task(count - 1), each once, on the workers and the calling thread, taking the
  // next number as soon as a thread is free (tasks of uneven cost balance themselves), and returns
  // when all are done. The first exception a task throws is rethrown here, after all have ended.
  void run(std::size_t count, const std::function<void(std::size_t)>& task);

 private:
  void work();
  void take_tasks();
  // A worker's share of one round; its own function so that a profiler can count workers apart
  // from the calling thread's share, which runs inside the sample call.
  void take_tasks_on_worker();

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  const std::function<void(std::size_t)>* task_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::size_t running_ = 0;  // workers still inside the current round
  uint64_t round_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
};

// Owns a pool for one sampler: made on first use, remade when the thread count changes, and
// abandoned (never joined or freed) in a process forked from the one that made it, where its
// threads do not exist and its lock may have been copied held.
class PoolSlot {
 public:
  PoolSlot() = default;
  ~PoolSlot();
  PoolSlot(const PoolSlot&) = delete;
  PoolSlot& operator=(const PoolSlot&) = delete;

  ThreadPool& get(std::size_t threads);

 private:
  void abandon_if_forked();

  std::unique_ptr<ThreadPool> pool_;
  pid_t owner_ = 0;
};

}  // namespace quorvix
