#include "evaluate/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace orvo_compiler::detail {
namespace {

// Runs `rounds` rounds of `count` tasks, pausing `gap` between rounds, and
// expects every task of every round to have run exactly once.
void expect_each_task_once(WorkerPool& pool, std::size_t rounds, std::size_t count, std::chrono::microseconds gap) {
  std::vector<std::atomic<int>> runs(count);
  for (std::size_t round = 0; round < rounds; ++round) {
    for (auto& run : runs) {
      run.store(0);
    }
    auto task = [&](std::size_t index) { runs[index].fetch_add(1); };
    pool.for_each(count, task);
    for (std::size_t index = 0; index < count; ++index) {
      ASSERT_EQ(runs[index].load(), 1) << "round " << round << ", task " << index;
    }
    if (gap.count() > 0) {
      std::this_thread::sleep_for(gap);
    }
  }
}

// Back-to-back rounds meet spinning workers; rounds after a pause longer
// than the spin limit must wake sleeping ones, and a round's end must wake
// a caller that fell asleep waiting for a slow task.
TEST(WorkerPool, RunsEveryTaskOnceWhetherWorkersSpinOrSleep) {
  const auto past_spin = WorkerPool::spin_limit * 3;
  for (const std::size_t threads : {2U, 3U, 8U}) {
    SCOPED_TRACE(threads);
    WorkerPool pool(threads);
    expect_each_task_once(pool, 500, 7, std::chrono::microseconds{0});
    expect_each_task_once(pool, 5, 64, past_spin);
    expect_each_task_once(pool, 200, 2, std::chrono::microseconds{0});

    std::atomic<int> slow_done{0};
    auto slow = [&](std::size_t index) {
      if (index == 1) {
        std::this_thread::sleep_for(past_spin);
      }
      slow_done.fetch_add(1);
    };
    pool.for_each(threads, slow);
    EXPECT_EQ(slow_done.load(), static_cast<int>(threads));
  }
}

// Each thread starts on its own share of a round's tasks; one held up there
// must not hold up the rest of its share, which the others take over. Task 0
// waits until every other task has run, so the round ends only if they do.
TEST(WorkerPool, OthersTakeOverTheShareOfAThreadHeldUp) {
  for (const std::size_t threads : {2U, 3U, 8U}) {
    SCOPED_TRACE(threads);
    WorkerPool pool(threads);
    const std::size_t count = 4 * threads;
    std::atomic<std::size_t> others_done{0};
    bool waited_out = false;
    auto task = [&](std::size_t index) {
      if (index != 0) {
        others_done.fetch_add(1);
        return;
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (others_done.load() < count - 1) {
        if (std::chrono::steady_clock::now() > deadline) {
          waited_out = true;
          return;
        }
        std::this_thread::yield();
      }
    };
    pool.for_each(count, task);
    EXPECT_FALSE(waited_out);
    EXPECT_EQ(others_done.load(), count - 1);
  }
}

// Destroying a pool must stop its workers whether they are spinning, asleep
// or were never given a round.
TEST(WorkerPool, StopsWorkersInAnyState) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    { WorkerPool idle(3); }
    {
      WorkerPool spinning(3);
      expect_each_task_once(spinning, 1, 5, std::chrono::microseconds{0});
    }
    WorkerPool sleeping(2);
    expect_each_task_once(sleeping, 1, 5, std::chrono::microseconds{0});
    if (attempt % 10 == 0) {
      std::this_thread::sleep_for(WorkerPool::spin_limit * 3);
    }
  }
}

}  // namespace
}  // namespace orvo_compiler::detail
