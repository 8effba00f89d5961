// The threads of one prepared evaluation: a fixed set of workers that wait on
// a condition variable and, when woken, take numbered tasks from a shared
// counter together with the calling thread. Which thread runs a task never
// matters to its result: callers give tasks disjoint outputs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo_compiler::detail {

class WorkerPool {
 public:
  // A pool of `threads` threads, the caller of `for_each` counted as one.
  // A thread that cannot be started stops and joins the ones already
  // running before the error leaves the constructor.
  explicit WorkerPool(std::size_t threads) : worker_count_(threads > 0 ? threads - 1 : 0) {
    workers_.reserve(worker_count_);
    try {
      for (std::size_t worker = 0; worker < worker_count_; ++worker) {
        workers_.emplace_back([this] { work(); });
      }
    } catch (...) {
      stop();
      throw;
    }
  }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  ~WorkerPool() { stop(); }

  [[nodiscard]] std::size_t threads() const { return worker_count_ + 1; }

  // Calls task(i) once for every i below `count`, on the workers and the
  // calling thread, and returns when every call has returned.
  template <class Task>
  void for_each(std::size_t count, Task& task) {
    if (worker_count_ == 0 || count <= 1) {
      for (std::size_t index = 0; index < count; ++index) {
        task(index);
      }
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      call_ = [](void* context, std::size_t index) { (*static_cast<Task*>(context))(index); };
      context_ = &task;
      count_ = count;
      next_.store(0);
      idle_ = 0;
      ++generation_;
    }
    wake_.notify_all();
    take_tasks();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return idle_ == worker_count_; });
  }

 private:
  // std::thread rather than std::jthread, which not every standard library
  // this builds with provides yet: the workers are joined here.
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) {
      worker.join();
    }
    workers_.clear();
  }

  void take_tasks() {
    for (std::size_t index = next_.fetch_add(1); index < count_; index = next_.fetch_add(1)) {
      call_(context_, index);
    }
  }

  // Each worker takes part in every round once, then reports itself idle;
  // `for_each` returns only when all have, so no round overlaps the next.
  void work() {
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) {
          return;
        }
        seen = generation_;
      }
      take_tasks();
      bool last = false;
      {
        const std::lock_guard lock(mutex_);
        last = ++idle_ == worker_count_;
      }
      if (last) {
        done_.notify_one();
      }
    }
  }

  const std::size_t worker_count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  bool stopping_ = false;
  std::uint64_t generation_ = 0;
  std::size_t idle_ = 0;
  void (*call_)(void*, std::size_t) = nullptr;
  void* context_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  // Last member: the workers start after everything above is in place and
  // are joined before it is destroyed.
  std::vector<std::thread> workers_;
};

}  // namespace orvo_compiler::detail
