// The fast tile SRAM planner against the straightforward one: random graphs
// through compile, and random direct planner inputs that no compile would
// produce, each compared allocation for allocation and error for error.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"
#include "plan_memory_oracle.hpp"
#include "support/random.hpp"

namespace orvo_compiler {
namespace {

using test_support::Random;

// How the runs ended, so that each test can insist that every path was taken.
struct Outcomes {
  int planned = 0;
  int address_overflow = 0;
  int data_limit = 0;
  int graph_error = 0;

  void count(const Result<std::vector<Allocation>>& result) {
    if (result) {
      ++planned;
    } else if (result.error().kind == CompileError::Kind::Graph) {
      ++graph_error;
    } else if (result.error().message == "address overflow") {
      ++address_overflow;
    } else {
      ++data_limit;
    }
  }
};

// Equal lists, or the first position where they differ.
::testing::AssertionResult same_allocations(const std::vector<Allocation>& actual,
                                            const std::vector<Allocation>& expected) {
  for (std::size_t index = 0; index < actual.size() && index < expected.size(); ++index) {
    if (actual[index] != expected[index]) {
      return ::testing::AssertionFailure()
             << "allocation " << index << ": " << actual[index] << " instead of " << expected[index];
    }
  }
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure() << actual.size() << " allocations instead of " << expected.size();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_result(const Result<std::vector<Allocation>>& actual,
                                       const Result<std::vector<Allocation>>& expected) {
  if (actual.has_value() != expected.has_value()) {
    return ::testing::AssertionFailure()
           << (actual ? "planned" : fmt::format("{}", actual.error())) << " instead of "
           << (expected ? "planned" : fmt::format("{}", expected.error()));
  }
  if (!actual) {
    if (actual.error() == expected.error()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << actual.error() << " instead of " << expected.error();
  }
  return same_allocations(*actual, *expected);
}

Shape random_shape(Random& random, std::size_t rank) {
  Shape shape;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    shape.push_back(random.between(1, 40));
  }
  return shape;
}

// Operations of every kind built through the builder on operands of fitting
// shapes; weights and inputs are declared as the operations need them.
Graph random_graph(Random& random) {
  Graph graph;
  std::vector<TensorId> pool{graph.input("x0", random_shape(random, random.between(1, 3)))};
  const std::size_t op_count = random.between(1, 24);
  for (std::size_t index = 0; index < op_count; ++index) {
    const std::string name = fmt::format("op{}", index);
    const TensorId operand = pool[random.below(pool.size())];
    const Shape shape = graph.tensors[operand.index].shape;
    Result<TensorId> output = std::unexpected(CompileError::graph("unbuilt"));
    switch (random.below(8)) {
      case 0: {
        const Shape left = shape.size() == 2 ? shape : random_shape(random, 2);
        const TensorId a = shape.size() == 2 ? operand : graph.input(name + ".a", left);
        const TensorId b = graph.weight(name + ".w", {left[1], random.between(1, 48)});
        output = graph.matmul(name, a, b);
        break;
      }
      case 1:
        output = graph.add(name, operand, random.chance(50) ? operand : graph.input(name + ".b", shape));
        break;
      case 2:
        output = graph.binary(name, Mul{}, operand, graph.weight(name + ".w", shape));
        break;
      case 3: {
        std::vector<std::uint64_t> permutation(shape.size());
        for (std::size_t axis = 0; axis < shape.size(); ++axis) {
          permutation[axis] = shape.size() - 1 - axis;
        }
        output = graph.transpose(name, operand, permutation);
        break;
      }
      case 4:
        output = graph.softmax(name, operand, random.below(shape.size()));
        break;
      case 5:
        output = graph.layer_norm(name, operand, 1e-5F);
        break;
      case 6:
        output = graph.gelu(name, operand);
        break;
      default: {
        std::uint64_t elements = 1;
        for (const std::uint64_t dimension : shape) {
          elements *= dimension;
        }
        output = graph.op(name, Reshape{{elements}}, {operand}, {elements});
        break;
      }
    }
    if (output) {
      pool.push_back(*output);
    }
  }
  graph.mark_output(pool.back());
  for (std::uint64_t extra = random.below(3); extra > 0; --extra) {
    graph.mark_output(pool[random.below(pool.size())]);
  }
  return graph;
}

// Default, unaligned, tight and near-2^32 windows.
CompilerOptions random_window(Random& random, std::uint16_t tile_count) {
  switch (random.below(4)) {
    case 0:
      return CompilerOptions{tile_count, 0x52000, 0xE0000};
    case 1:
      return CompilerOptions{tile_count, static_cast<std::uint32_t>(0x52000 + random.between(1, 15)), 0xE0000};
    case 2: {
      const auto base = static_cast<std::uint32_t>(random.below(0x1000));
      return CompilerOptions{tile_count, base, static_cast<std::uint32_t>(base + random.between(1024, 12288))};
    }
    default: {
      const auto base = static_cast<std::uint32_t>(0xFFFFFFFFU - random.between(1024, 16384));
      const std::array<std::uint32_t, 3> limits{0xFFFFFFFFU, 0xFFFFFFF0U, base + (0xFFFFFFFFU - base) / 2};
      return CompilerOptions{tile_count, base, random.pick(limits)};
    }
  }
}

std::map<std::uint16_t, std::uint32_t> peaks_of(const std::vector<Allocation>& allocations, std::uint32_t base) {
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (const Allocation& allocation : allocations) {
    std::uint32_t& peak = peaks[allocation.tile];
    peak = std::max(peak, allocation.address + allocation.size - base);
  }
  return peaks;
}

TEST(PlanMemoryDifferential, RandomGraphsThroughCompile) {
  Random random(0x0F1A7E5EED);
  Outcomes outcomes;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const Graph graph = random_graph(random);
    const auto tile_count = static_cast<std::uint16_t>(random.between(1, 200));
    const CompilerOptions options = random_window(random, tile_count);
    // Layouts and phases do not depend on the window; the widest window gives
    // them for the oracle.
    const Result<Schedule> wide = compile(graph, CompilerOptions{tile_count, 0, 0xFFFFFFFFU});
    ASSERT_TRUE(wide.has_value()) << wide.error();
    const Result<std::vector<Allocation>> expected =
        testing_oracle::plan_memory(graph, wide->layouts, wide->phases, options);
    outcomes.count(expected);

    const Result<Schedule> schedule = compile(graph, options);
    ASSERT_EQ(schedule.has_value(), expected.has_value());
    if (!expected) {
      EXPECT_EQ(schedule.error(), expected.error());
      continue;
    }
    EXPECT_TRUE(same_allocations(schedule->allocations, *expected));
    EXPECT_EQ(schedule->layouts, wide->layouts);
    EXPECT_EQ(schedule->phases, wide->phases);
    EXPECT_EQ(schedule->tile_count, tile_count);
    EXPECT_EQ(schedule->peak_sram, peaks_of(*expected, options.data_base));
  }
  EXPECT_GE(outcomes.planned, 100);
  EXPECT_GE(outcomes.address_overflow, 10);
  EXPECT_GE(outcomes.data_limit, 10);
}

struct PlannerInput {
  Graph graph;
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  CompilerOptions options;
};

std::vector<std::uint16_t> random_tiles(Random& random, std::uint64_t span) {
  std::vector<std::uint16_t> tiles;
  if (random.chance(50)) {
    // A prefix 0..n-1, as compile lays tensors out: tiles share histories.
    const std::uint64_t count = random.between(1, span);
    for (std::uint64_t tile = 0; tile < count; ++tile) {
      tiles.push_back(static_cast<std::uint16_t>(tile));
    }
    return tiles;
  }
  // Any order, repeats allowed.
  for (std::uint64_t count = random.between(1, 6); count > 0; --count) {
    tiles.push_back(static_cast<std::uint16_t>(random.below(span)));
  }
  return tiles;
}

// Graphs no compile would accept: zero-sized and huge tensors, operations
// computed in any order and more than once, alignments that are no powers of
// two, and windows anywhere in the address space.
PlannerInput random_planner_input(Random& random) {
  PlannerInput input;
  Graph& graph = input.graph;
  // Now and then enough tensors that one tile holds a hundred pieces.
  const std::uint64_t tensor_count = random.chance(10) ? random.between(60, 140) : random.between(1, 24);
  for (std::uint64_t index = 0; index < tensor_count; ++index) {
    const std::array<std::uint64_t, 6> elements{0, 1, 3, random.between(1, 600), random.between(1, 600),
                                                random.chance(10) ? std::uint64_t{1} << 30 : 250};
    const Shape shape{random.pick(elements)};
    const std::string name = fmt::format("t{}", index);
    if (index == 0 || random.chance(40)) {
      graph.input(name, shape);
      continue;
    }
    std::vector<TensorId> inputs;
    for (std::uint64_t count = random.between(1, 3); count > 0; --count) {
      inputs.push_back(TensorId{random.below(graph.tensors.size())});
    }
    (void)graph.op(name, Gelu{}, std::move(inputs), shape);
  }
  if (random.chance(5)) {
    // Two tensors under one id: both use that id's layout and lifetime.
    graph.tensors[random.below(tensor_count)].id = TensorId{random.below(tensor_count)};
  }
  for (std::uint64_t extra = random.below(3); extra > 0; --extra) {
    graph.mark_output(TensorId{random.below(tensor_count)});
  }

  const std::uint64_t span = random.chance(20) ? random.between(8, 64) : random.between(1, 6);
  const std::array<std::uint32_t, 8> alignments{1, 2, 3, 7, 16, 24, 100, 4096};
  for (std::uint64_t index = 0; index < tensor_count; ++index) {
    const std::uint32_t alignment = random.chance(1)   ? 0
                                    : random.chance(1) ? 0x80000000U
                                                       : random.pick(alignments);
    input.layouts.push_back(Layout{TensorId{index}, random_tiles(random, span), Sharding::Replicated, alignment});
  }

  for (std::uint64_t count = random.below(12); count > 0; --count) {
    if (!graph.ops.empty() && random.chance(70)) {
      input.phases.push_back(Compute{OpId{random.below(graph.ops.size())}, {}});
      continue;
    }
    Exchange exchange;
    for (std::uint64_t transfers = random.between(1, 3); transfers > 0; --transfers) {
      exchange.transfers.push_back(Transfer{0, 1, TensorId{random.below(tensor_count)}, 16});
    }
    input.phases.push_back(std::move(exchange));
  }

  const std::array<std::uint32_t, 8> bases{0, 5, 0x52000, 0x52003, 0, 0x1001, 0xFFFFE000U, 0xFFFFFF00U};
  const std::uint32_t base = random.pick(bases);
  const std::array<std::uint64_t, 7> limits{std::uint64_t{base} + random.between(0, 8192),
                                            std::uint64_t{base} + random.between(0, 65536),
                                            std::uint64_t{base} + 0x100000,
                                            std::uint64_t{base} + 0x100000,
                                            0xFFFFFFFFU,
                                            0xFFFFFFF0U,
                                            random.chance(20) ? random.below(std::uint64_t{base} + 1) : 0xFFFFFFFFU};
  input.options = CompilerOptions{64, base, static_cast<std::uint32_t>(std::min<std::uint64_t>(random.pick(limits),
                                                                                                0xFFFFFFFFU))};

  if (random.chance(5)) {
    // Inputs that do not match the graph.
    switch (random.below(4)) {
      case 0:
        input.layouts.pop_back();
        break;
      case 1:
        input.layouts[random.below(tensor_count)].tiles.clear();
        break;
      case 2:
        input.phases.push_back(Compute{OpId{graph.ops.size()}, {}});
        break;
      default:
        graph.outputs.push_back(TensorId{tensor_count});
        break;
    }
  }
  return input;
}

TEST(PlanMemoryDifferential, RandomPlannerInputs) {
  Random random(0xD1FFE7E57);
  Outcomes outcomes;
  for (int round = 0; round < 600; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const PlannerInput input = random_planner_input(random);
    const Result<std::vector<Allocation>> expected =
        testing_oracle::plan_memory(input.graph, input.layouts, input.phases, input.options);
    outcomes.count(expected);
    ASSERT_TRUE(same_result(plan_memory(input.graph, input.layouts, input.phases, input.options), expected));
  }
  EXPECT_GE(outcomes.planned, 100);
  EXPECT_GE(outcomes.address_overflow, 20);
  EXPECT_GE(outcomes.data_limit, 20);
  EXPECT_GE(outcomes.graph_error, 10);
}

// memory_failure tells of the piece that plan_memory's error names: nothing
// for a plan or a Graph error, else the cause and tile the text states and a
// tensor of that name under the failure's id.
TEST(PlanMemoryDifferential, MemoryFailureMatchesTheError) {
  Random random(0xFA17ED);
  Outcomes outcomes;
  for (int round = 0; round < 600; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const PlannerInput input = random_planner_input(random);
    const Result<std::vector<Allocation>> planned =
        plan_memory(input.graph, input.layouts, input.phases, input.options);
    outcomes.count(planned);
    const std::optional<MemoryFailure> failure =
        memory_failure(input.graph, input.layouts, input.phases, input.options);
    if (planned || planned.error().kind == CompileError::Kind::Graph) {
      EXPECT_EQ(failure, std::nullopt);
      continue;
    }
    ASSERT_TRUE(failure.has_value()) << planned.error();
    if (failure->cause == MemoryFailure::Cause::AddressOverflow) {
      EXPECT_EQ(planned.error(), CompileError::memory("address overflow"));
      continue;
    }
    EXPECT_TRUE(std::ranges::any_of(input.graph.tensors, [&](const Tensor& tensor) {
      return tensor.id == failure->tensor &&
             planned.error() == CompileError::memory(fmt::format("tile {} exceeds data limit allocating {}",
                                                                 failure->tile, tensor.name));
    })) << planned.error() << " from " << failure->tile << ", tensor " << failure->tensor.index;
  }
  EXPECT_GE(outcomes.address_overflow, 20);
  EXPECT_GE(outcomes.data_limit, 20);
  EXPECT_GE(outcomes.graph_error, 10);
}

}  // namespace
}  // namespace orvo_compiler
