// A small pool of worker threads that runs numbered tasks, handed out one at a time. Workers are
// started when a call first needs them, and only as many as it has tasks for.
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

#include "sampling/cpu_mask.hpp"

namespace quorvix {

class ThreadPool {
 public:
  // Allows up to `workers` threads besides the caller's, none started yet.
  explicit ThreadPool(std::size_t workers);
  // Stops and joins the started workers. Only valid in the process that started them (see PoolSlot).
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t threads() const { return max_workers_ + 1; }

  // Starts a call that will run rounds of up to `tasks` tasks: wakes the workers those need (at most
  // tasks - 1, starting any not yet started) so that their wake-up overlaps what the caller does
  // before its first round. Until end_call() the workers watch for rounds instead of sleeping.
  void begin_call(std::size_t tasks);
  // Ends a call: the workers watch for the next one a few milliseconds more, then sleep.
  void end_call();

  // Runs task(0) .. task(count - 1), each once, on the workers and the calling thread, taking the
  // next number as soon as a thread is free (tasks of uneven cost balance themselves), and returns
  // when all are done, without waiting for workers that have not woken up (at most 2^32 tasks).
  // Wakes at most count - 1 workers. The first exception a task throws is rethrown here, after all
  // have ended.
  void run(std::size_t count, const std::function<void(std::size_t)>& task);

 private:
  struct Worker {
    std::thread thread;
    std::condition_variable wake;
    bool watches = false;   // one of the first watchers_ workers
    bool called = false;    // asked to watch for rounds; guarded by mutex_
    bool sleeping = false;  // waiting on `wake`; guarded by mutex_
    FollowedCpuMask cpu_mask;  // used by the worker's thread only
  };

  // Wakes (or starts) the first `count` workers; mutex_ held.
  void call_workers(std::size_t count);
  void work(Worker& me, uint64_t seen);
  // Takes every round that begins until the call ends and nothing has begun for a while.
  void watch(Worker& me, uint64_t& seen);
  // Claims and runs tasks of `round` until none is left.
  void take_tasks(uint64_t round, std::size_t count, const std::function<void(std::size_t)>& task);
  // A worker's share of one round; its own function so that a profiler can count workers apart
  // from the calling thread's share, which runs inside the sample call.
  void take_tasks_on_worker(uint64_t round, std::size_t count, const std::function<void(std::size_t)>& task);

  const std::size_t max_workers_;
  const std::size_t watchers_;  // workers that watch for rounds: one per core but the caller's
  std::vector<std::unique_ptr<Worker>> workers_;  // the started ones
  std::mutex mutex_;
  std::condition_variable finished_;
  const std::function<void(std::size_t)>* task_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<uint64_t> next_{0};  // the round's low 32 bits, then the next task number
  std::atomic<std::size_t> done_{0};  // tasks of the current round finished
  std::atomic<uint64_t> round_{0};
  std::atomic<bool> in_call_{false};
  std::atomic<int> caller_cpu_{-1};  // the core the current call began on, -1 if unknown
  std::atomic<bool> stopping_{false};
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
  // Stops and drops a pool made for another thread count, so that no worker beyond `threads` stays.
  void fit(std::size_t threads);

 private:
  void abandon_if_forked();

  std::unique_ptr<ThreadPool> pool_;
  pid_t owner_ = 0;
};

// Keeps a pool's workers watching for the length of one call, on every way out of it.
class PoolCall {
 public:
  PoolCall(ThreadPool& pool, std::size_t tasks) : pool_(pool) { pool_.begin_call(tasks); }
  ~PoolCall() { pool_.end_call(); }
  PoolCall(const PoolCall&) = delete;
  PoolCall& operator=(const PoolCall&) = delete;

 private:
  ThreadPool& pool_;
};

}  // namespace quorvix
