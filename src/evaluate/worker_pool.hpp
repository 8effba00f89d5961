// The threads of one prepared evaluation: a fixed set of workers that, when a
// round starts, run numbered tasks together with the calling thread. Which
// thread runs a task never matters to its result: callers give tasks disjoint
// outputs. It matters to speed, though: each thread first takes the tasks of
// its own share, a contiguous range that is the same for every round of the
// same count (the caller's share first), so that a pass that reads what the
// pass before wrote, split the same way, mostly finds it in its own core's
// cache. A thread that runs out of its share then takes what is left of the
// others', so one slow thread does not hold up a round.
//
// A run starts rounds back to back, one per pass, so a worker that has just
// finished one waits for the next by spinning for a short while (`spin_limit`)
// and only then sleeps on a condition variable; the caller waits for the
// round's end the same way. On a virtual machine, waking a sleeping thread
// takes tens of microseconds, paid twice per pass; spinning turns that into
// a few hundred nanoseconds, at the cost of up to `spin_limit` of busy
// waiting after the last round of a run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo_compiler::detail {

class WorkerPool {
 public:
  // How long a waiting thread spins before it sleeps.
  static constexpr std::chrono::microseconds spin_limit{200};

  // A pool of `threads` threads, the caller of `for_each` counted as one.
  // A thread that cannot be started stops and joins the ones already
  // running before the error leaves the constructor.
  explicit WorkerPool(std::size_t threads)
      : worker_count_(threads > 0 ? threads - 1 : 0), shares_(std::make_unique<Share[]>(worker_count_ + 1)) {
    workers_.reserve(worker_count_);
    try {
      for (std::size_t worker = 0; worker < worker_count_; ++worker) {
        workers_.emplace_back([this, worker] { work(worker + 1); });
      }
    } catch (...) {
      stop();
      throw;
    }
    // One empty round, which every worker takes part in: the pool is made
    // with all its threads running, so none is still starting (and setting
    // up its own state) during a caller's first rounds.
    auto nothing = [](std::size_t /*index*/) {};
    for_each(this->threads(), nothing);
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
    // Every worker has left the previous round (its `working_` count reached
    // zero), so none reads these while they change.
    call_ = [](void* context, std::size_t index) { (*static_cast<Task*>(context))(index); };
    context_ = &task;
    for (std::size_t thread = 0; thread < threads(); ++thread) {
      shares_[thread].next.store(thread * count / threads());
      shares_[thread].end = (thread + 1) * count / threads();
    }
    working_.store(worker_count_);
    generation_.fetch_add(1);
    if (sleeping_workers_.load() > 0) {
      // Taking the lock orders this notification after a worker that counted
      // itself sleeping has rechecked the generation and begun to wait.
      { const std::lock_guard lock(mutex_); }
      wake_.notify_all();
    }
    take_tasks(0);
    wait_until([this] { return working_.load() == 0; }, caller_sleeping_, done_);
  }

 private:
  // std::thread rather than std::jthread, which not every standard library
  // this builds with provides yet: the workers are joined here.
  void stop() {
    stopping_.store(true);
    { const std::lock_guard lock(mutex_); }
    wake_.notify_all();
    for (std::thread& worker : workers_) {
      worker.join();
    }
    workers_.clear();
  }

  // Thread `thread`'s own share, then the rest of the others' in turn.
  void take_tasks(std::size_t thread) {
    for (std::size_t step = 0; step < threads(); ++step) {
      Share& share = shares_[(thread + step) % threads()];
      for (std::size_t index = share.next.fetch_add(1); index < share.end; index = share.next.fetch_add(1)) {
        call_(context_, index);
      }
    }
  }

  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  // Returns once `ready()` holds: spins up to `spin_limit`, then sleeps on
  // `condition`, counted in `sleepers` so that the thread that makes
  // `ready()` true knows to wake it. Every atomic access here and in the
  // wakers is sequentially consistent: either the waker sees the sleeper
  // counted, or the sleeper's recheck under the lock sees the change.
  template <class Ready>
  void wait_until(Ready ready, std::atomic<std::size_t>& sleepers, std::condition_variable& condition) {
    const auto deadline = std::chrono::steady_clock::now() + spin_limit;
    for (unsigned spins = 1; !ready(); ++spins) {
      pause();
      if (spins % 64 == 0 && std::chrono::steady_clock::now() >= deadline) {
        std::unique_lock lock(mutex_);
        ++sleepers;
        condition.wait(lock, ready);
        --sleepers;
        return;
      }
    }
  }

  // Each worker takes part in every round once, then counts itself out;
  // `for_each` returns only when all have, so no round overlaps the next.
  void work(std::size_t thread) {
    std::uint64_t seen = 0;
    for (;;) {
      wait_until([&] { return stopping_.load() || generation_.load() != seen; }, sleeping_workers_, wake_);
      if (stopping_.load()) {
        return;
      }
      seen = generation_.load();
      take_tasks(thread);
      if (working_.fetch_sub(1) == 1 && caller_sleeping_.load() > 0) {
        { const std::lock_guard lock(mutex_); }
        done_.notify_one();
      }
    }
  }

  const std::size_t worker_count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> generation_{0};
  // Workers still in the current round.
  std::atomic<std::size_t> working_{0};
  // Threads asleep in wait_until: workers waiting for a round, the caller
  // waiting for one to end.
  std::atomic<std::size_t> sleeping_workers_{0};
  std::atomic<std::size_t> caller_sleeping_{0};
  // A thread's share of a round: tasks [next, end) not yet taken. Each on its
  // own cache line, as its owner takes from it while others may steal.
  struct alignas(64) Share {
    std::atomic<std::size_t> next{0};
    std::size_t end = 0;
  };
  const std::unique_ptr<Share[]> shares_;
  void (*call_)(void*, std::size_t) = nullptr;
  void* context_ = nullptr;
  // Last member: the workers start after everything above is in place and
  // are joined before it is destroyed.
  std::vector<std::thread> workers_;
};

}  // namespace orvo_compiler::detail
