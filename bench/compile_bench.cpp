// Compiling at scale: whole compilations of encoder stacks, the tile SRAM
// planner beside its straightforward version, all tiles' command streams
// beside one call per tile, and a deep copy of the schedule as the cost of
// merely producing the output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "orvo_compiler/orvo_compiler.hpp"
#include "memory/plan_memory_oracle.hpp"

namespace orvo_compiler {
namespace {

// A graph with its options and the layouts and phases compile gives it, which
// do not depend on the data window.
struct Workload {
  std::string name;
  Graph graph;
  CompilerOptions options;
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  Result<Schedule> schedule;  // compile(graph, options)
};

const EncoderConfig bert_base{.sequence = 128, .hidden = 768, .heads = 12, .feed_forward = 3072};
const CompilerOptions bert_options{.tile_count = 1024, .data_base = 0, .data_limit = 0xFFFF0000};

const Workload& workload(const std::string& name, EncoderConfig config, std::uint64_t layers,
                         CompilerOptions options) {
  static std::map<std::string, std::unique_ptr<Workload>> cache;
  std::unique_ptr<Workload>& entry = cache[name];
  if (entry) {
    return *entry;
  }
  Result<Graph> graph = encoder_stack_graph(config, layers);
  if (!graph) {
    fmt::print(stderr, "{}: {}\n", name, graph.error());
    std::abort();
  }
  const Result<Schedule> wide =
      compile(*graph, CompilerOptions{.tile_count = options.tile_count, .data_base = 0, .data_limit = 0xFFFFFFFF});
  if (!wide) {
    fmt::print(stderr, "{}: {}\n", name, wide.error());
    std::abort();
  }
  Result<Schedule> schedule = compile(*graph, options);
  entry = std::make_unique<Workload>(
      Workload{name, std::move(*graph), options, wide->layouts, wide->phases, std::move(schedule)});
  return *entry;
}

const Workload& default_encoder() { return workload("default_encoder", EncoderConfig{}, 1, CompilerOptions{}); }

const Workload& default_stack(std::uint64_t layers) {
  return workload(fmt::format("default_stack/{}", layers), EncoderConfig{}, layers, CompilerOptions{});
}

// The default stack with the BERT-base window: it fits, where the default
// window runs out of room on tile 0 at layer 94.
const Workload& default_stack_wide(std::uint64_t layers) {
  return workload(fmt::format("default_stack_wide/{}", layers), EncoderConfig{}, layers,
                  CompilerOptions{.tile_count = 64, .data_base = 0, .data_limit = 0xFFFF0000});
}

const Workload& bert_stack(std::uint64_t layers) {
  return workload(fmt::format("bert_stack/{}", layers), bert_base, layers, bert_options);
}

// Allocations per second, or the error the run ended with.
void report(benchmark::State& state, const Result<std::vector<Allocation>>& planned) {
  if (!planned) {
    state.SetLabel(fmt::format("{}", planned.error()));
    return;
  }
  state.counters["allocations"] = benchmark::Counter(static_cast<double>(planned->size()),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

// Each iteration builds a schedule and destroys it, as the copy baseline
// copies one and destroys it.
void compile_bench(benchmark::State& state, const Workload& work) {
  for (auto _ : state) {
    Result<Schedule> schedule = compile(work.graph, work.options);
    benchmark::DoNotOptimize(schedule);
    benchmark::ClobberMemory();
  }
  if (!work.schedule) {
    report(state, std::unexpected(work.schedule.error()));
    return;
  }
  report(state, work.schedule->allocations);
}

void plan_fast_bench(benchmark::State& state, const Workload& work) {
  Result<std::vector<Allocation>> planned;
  for (auto _ : state) {
    planned = plan_memory(work.graph, work.layouts, work.phases, work.options);
    benchmark::DoNotOptimize(planned);
  }
  report(state, planned);
}

void plan_oracle_bench(benchmark::State& state, const Workload& work) {
  Result<std::vector<Allocation>> planned;
  for (auto _ : state) {
    planned = testing_oracle::plan_memory(work.graph, work.layouts, work.phases, work.options);
    benchmark::DoNotOptimize(planned);
  }
  if (planned != plan_memory(work.graph, work.layouts, work.phases, work.options)) {
    state.SkipWithError("the planners disagree");
    return;
  }
  report(state, planned);
}

// The cost of producing the output at all: a deep copy of the schedule, and
// its destruction.
void copy_bench(benchmark::State& state, const Workload& work) {
  if (!work.schedule) {
    state.SkipWithError("no schedule");
    return;
  }
  for (auto _ : state) {
    Schedule copy = *work.schedule;
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
  report(state, work.schedule->allocations);
}

void all_tile_commands_bench(benchmark::State& state, const Workload& work) {
  if (!work.schedule) {
    state.SkipWithError("no schedule");
    return;
  }
  for (auto _ : state) {
    std::vector<std::vector<EncodedTileCommand>> streams = work.schedule->all_tile_commands();
    benchmark::DoNotOptimize(streams);
  }
}

void per_tile_commands_bench(benchmark::State& state, const Workload& work) {
  if (!work.schedule) {
    state.SkipWithError("no schedule");
    return;
  }
  for (auto _ : state) {
    std::vector<std::vector<EncodedTileCommand>> streams;
    streams.reserve(work.schedule->tile_count);
    for (std::uint16_t tile = 0; tile < work.schedule->tile_count; ++tile) {
      Result<std::vector<EncodedTileCommand>> stream = work.schedule->tile_commands(tile);
      streams.push_back(std::move(*stream));
    }
    benchmark::DoNotOptimize(streams);
  }
}

// The independent check of a finished schedule, set beside compile on the
// same workload; a schedule that fails it ends the benchmark with the error.
void verify_bench(benchmark::State& state, const Workload& work) {
  if (!work.schedule) {
    state.SkipWithError("no schedule");
    return;
  }
  Result<void> verified;
  for (auto _ : state) {
    verified = verify_schedule(work.graph, *work.schedule, work.options);
    benchmark::DoNotOptimize(verified);
  }
  if (!verified) {
    state.SkipWithError(fmt::format("{}", verified.error()).c_str());
    return;
  }
  report(state, work.schedule->allocations);
}

using Bench = void (*)(benchmark::State&, const Workload&);

void add(const std::string& kind, Bench bench, const Workload& (*make)()) {
  benchmark::RegisterBenchmark((kind + "/" + make().name).c_str(),
                               [bench, make](benchmark::State& state) { bench(state, make()); })
      ->Unit(benchmark::kMillisecond);
}

// Registered in this order so that the table reads workload by workload.
const bool registered = [] {
  add("compile", compile_bench, default_encoder);
  add("plan_fast", plan_fast_bench, default_encoder);
  add("plan_oracle", plan_oracle_bench, default_encoder);
  add("copy_schedule", copy_bench, default_encoder);
  add("all_tile_commands", all_tile_commands_bench, default_encoder);
  add("per_tile_commands", per_tile_commands_bench, default_encoder);

  add("compile", compile_bench, [] -> const Workload& { return default_stack(16); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return default_stack(16); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return default_stack(16); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return default_stack(16); });

  add("compile", compile_bench, [] -> const Workload& { return default_stack(64); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return default_stack(64); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return default_stack(64); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return default_stack(64); });

  add("compile", compile_bench, [] -> const Workload& { return default_stack(256); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return default_stack(256); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return default_stack(256); });

  add("compile", compile_bench, [] -> const Workload& { return default_stack(512); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return default_stack(512); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return default_stack(512); });

  add("compile", compile_bench, [] -> const Workload& { return default_stack_wide(512); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return default_stack_wide(512); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return default_stack_wide(512); });
  add("verify_schedule", verify_bench, [] -> const Workload& { return default_stack_wide(512); });

  add("compile", compile_bench, [] -> const Workload& { return bert_stack(1); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return bert_stack(1); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return bert_stack(1); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return bert_stack(1); });

  add("compile", compile_bench, [] -> const Workload& { return bert_stack(12); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return bert_stack(12); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return bert_stack(12); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return bert_stack(12); });

  add("compile", compile_bench, [] -> const Workload& { return bert_stack(24); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return bert_stack(24); });
  add("plan_oracle", plan_oracle_bench, [] -> const Workload& { return bert_stack(24); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return bert_stack(24); });
  add("all_tile_commands", all_tile_commands_bench, [] -> const Workload& { return bert_stack(24); });
  add("per_tile_commands", per_tile_commands_bench, [] -> const Workload& { return bert_stack(24); });
  add("verify_schedule", verify_bench, [] -> const Workload& { return bert_stack(24); });

  add("compile", compile_bench, [] -> const Workload& { return bert_stack(96); });
  add("plan_fast", plan_fast_bench, [] -> const Workload& { return bert_stack(96); });
  add("copy_schedule", copy_bench, [] -> const Workload& { return bert_stack(96); });
  add("verify_schedule", verify_bench, [] -> const Workload& { return bert_stack(96); });
  return true;
}();

}  // namespace
}  // namespace orvo_compiler
