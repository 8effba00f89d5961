// The independent schedule check: every schedule compile returns passes, each
// single corruption of the compiled default encoder is reported with its exact
// message (pieces whose lifetimes meet at one phase included), and pieces that
// touch without sharing a byte or a phase are accepted.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"
#include "support/random.hpp"

namespace orvo_compiler {
namespace {

constexpr std::array<std::uint16_t, 4> tile_counts{1, 3, 64, 200};

// splitmix64, so that the random graphs are the same everywhere.
using test_support::Random;

// A chain of builder operations of every kind on operands of fitting shapes,
// with extra sources and outputs, so that exchanges and dead ends occur.
Graph random_graph(Random& random) {
  Graph graph;
  std::vector<TensorId> pool{graph.input("x0", {random.between(1, 40), random.between(1, 40)})};
  for (std::uint64_t index = 0, count = random.between(1, 20); index < count; ++index) {
    const std::string name = fmt::format("op{}", index);
    const TensorId operand = pool[random.below(pool.size())];
    const Shape shape = graph.tensors[operand.index].shape;
    Result<TensorId> output = std::unexpected(CompileError::graph("unbuilt"));
    switch (random.below(6)) {
      case 0:
        output = graph.matmul(name, operand, graph.weight(name + ".w", {shape[1], random.between(1, 300)}));
        break;
      case 1:
        output = graph.add(name, operand, random.below(2) == 0 ? operand : graph.input(name + ".b", shape));
        break;
      case 2:
        output = graph.transpose(name, operand, {1, 0});
        break;
      case 3:
        output = graph.softmax(name, operand, random.below(2));
        break;
      case 4:
        output = graph.layer_norm(name, operand, 1e-5F);
        break;
      default:
        output = graph.gelu(name, operand);
        break;
    }
    if (output) {
      pool.push_back(*output);
    }
  }
  graph.mark_output(pool.back());
  if (random.below(2) == 0) {
    graph.mark_output(pool[random.below(pool.size())]);
  }
  return graph;
}

::testing::AssertionResult verifies(const Graph& graph, const CompilerOptions& options) {
  const Result<Schedule> schedule = compile(graph, options);
  if (!schedule) {
    return ::testing::AssertionFailure() << "compile: " << schedule.error();
  }
  if (const Result<void> verified = verify_schedule(graph, *schedule, options); !verified) {
    return ::testing::AssertionFailure() << verified.error();
  }
  return ::testing::AssertionSuccess();
}

TEST(VerifySchedule, AcceptsWhatCompileReturns) {
  Graph matmul;
  const TensorId x = matmul.input("X", {32, 64});
  matmul.mark_output(matmul.matmul("Y", x, matmul.weight("W", {64, 256})).value());
  // An output that is a source and no phases at all.
  Graph source_only;
  source_only.mark_output(source_only.input("x", {4}));
  // add(x, x), a dead-end operation and an unused input.
  Graph dead_end;
  const TensorId a = dead_end.input("a", {300, 2});
  dead_end.input("unused", {3});
  static_cast<void>(dead_end.gelu("dead", a).value());
  dead_end.mark_output(dead_end.add("twice", a, a).value());

  for (const std::uint16_t tiles : tile_counts) {
    SCOPED_TRACE(::testing::Message() << tiles << " tiles");
    const CompilerOptions options{tiles, 0x52000, 0xE0000};
    EXPECT_TRUE(verifies(encoder_graph(EncoderConfig{}).value(), options));
    EXPECT_TRUE(verifies(encoder_stack_graph(EncoderConfig{}, 3).value(), CompilerOptions{tiles, 0, 0xFFFF0000}));
    EXPECT_TRUE(verifies(matmul, options));
    EXPECT_TRUE(verifies(source_only, options));
    EXPECT_TRUE(verifies(dead_end, options));
    EXPECT_TRUE(verifies(dead_end, CompilerOptions{tiles, 0x52003, 0xE0000}));  // unaligned base
  }
}

TEST(VerifySchedule, AcceptsCompiledRandomGraphs) {
  Random random(0x5C4ED01E);
  int verified = 0;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const Graph graph = random_graph(random);
    for (const std::uint16_t tiles : tile_counts) {
      const CompilerOptions options{tiles, static_cast<std::uint32_t>(random.below(40)), 0xFFFFFFF0U};
      const Result<Schedule> schedule = compile(graph, options);
      ASSERT_TRUE(schedule.has_value()) << schedule.error();
      const Result<void> checked = verify_schedule(graph, *schedule, options);
      EXPECT_TRUE(checked.has_value()) << checked.error() << " on " << tiles << " tiles";
      verified += checked.has_value() ? 1 : 0;
    }
  }
  EXPECT_EQ(verified, 480);
}

TEST(VerifySchedule, AcceptsBertBaseStack) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{128, 768, 12, 3072}, 2);
  ASSERT_TRUE(graph.has_value());
  EXPECT_TRUE(verifies(*graph, CompilerOptions{1024, 0, 0xFFFF0000}));
}

// The default encoder on 64 tiles. Phase 5 computes attention_scores (tensor
// 12) on tiles 0-3; phase 7 sends attention_softmax (tensor 13, 1024 bytes a
// tile) from tiles 0-3 to tiles 4-7; phase 12 is the other exchange. On tile
// 0 every piece is 1024 bytes: tensor 7 at 343040 live 0..3 ends where tensor
// 8 (live 1..5) starts; tensor 11 lives 4..5; its peak is 9216; 17 phases.
struct Compiled {
  Graph graph = encoder_graph(EncoderConfig{}).value();
  CompilerOptions options;
  Schedule schedule = compile(graph, options).value();
};

Allocation& piece(Schedule& schedule, std::uint64_t tensor, std::uint16_t tile) {
  for (Allocation& allocation : schedule.allocations) {
    if (allocation.tensor.index == tensor && allocation.tile == tile) {
      return allocation;
    }
  }
  return schedule.allocations.front();
}

Compute& compute_at(Schedule& schedule, std::size_t phase) { return std::get<Compute>(schedule.phases[phase]); }
Exchange& exchange_at(Schedule& schedule, std::size_t phase) { return std::get<Exchange>(schedule.phases[phase]); }

struct Case {
  const char* name;
  std::function<void(Schedule&, CompilerOptions&)> corrupt;
  const char* message;
};

TEST(VerifySchedule, ReportsTheBrokenInvariant) {
  const std::vector<Case> cases{
      {"no tiles in options", [](Schedule&, CompilerOptions& o) { o.tile_count = 0; },
       "schedule: tile count 0 in the options"},
      {"empty window", [](Schedule&, CompilerOptions& o) { o.data_limit = o.data_base; },
       "schedule: data window 335872..335872 is empty"},
      {"tile count", [](Schedule& s, CompilerOptions&) { s.tile_count = 63; },
       "schedule: tile count 63 differs from the options' 64"},
      {"layout dropped", [](Schedule& s, CompilerOptions&) { s.layouts.erase(s.layouts.begin() + 3); },
       "schedule: tensor 3 has no layout"},
      {"layout twice", [](Schedule& s, CompilerOptions&) { s.layouts[4] = s.layouts[3]; },
       "schedule: tensor 3 has more than one layout"},
      {"layouts swapped", [](Schedule& s, CompilerOptions&) { std::swap(s.layouts[0], s.layouts[1]); },
       "schedule: layout 0 is for tensor 1, not tensor 0"},
      {"layout tile past count", [](Schedule& s, CompilerOptions&) { s.layouts[12].tiles.push_back(64); },
       "schedule: layout of tensor 12 names tile 64 past tile count 64"},
      {"layout tile twice", [](Schedule& s, CompilerOptions&) { s.layouts[12].tiles[3] = 2; },
       "schedule: layout of tensor 12 names tile 2 twice"},
      {"alignment 0", [](Schedule& s, CompilerOptions&) { s.layouts[0].alignment = 0; },
       "schedule: layout of tensor 0 has alignment 0"},
      {"op out of range", [](Schedule& s, CompilerOptions&) { compute_at(s, 0).op = OpId{15}; },
       "schedule: phase 0 computes op 15, out of range"},
      {"op twice", [](Schedule& s, CompilerOptions&) { s.phases[1] = s.phases[0]; },
       "schedule: op 0 is computed at phase 0 and again at phase 1"},
      {"op missing", [](Schedule& s, CompilerOptions&) { s.phases.pop_back(); }, "schedule: op 14 is never computed"},
      {"read before computed", [](Schedule& s, CompilerOptions&) { std::swap(s.phases[0], s.phases[1]); },
       "schedule: phase 0 reads tensor 7 before it is computed"},
      {"command removed",
       [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands.erase(compute_at(s, 5).commands.begin() + 1); },
       "schedule: phase 5 has no command on tile 1"},
      {"command past count", [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands[1].tile = 64; },
       "schedule: phase 5 has a command on tile 64 past tile count 64"},
      {"command outside layout", [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands[1].tile = 4; },
       "schedule: phase 5 has a command on tile 4 outside the layout of tensor 12"},
      {"command twice", [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands[1].tile = 0; },
       "schedule: phase 5 has two commands on tile 0"},
      {"wrong output", [](Schedule& s, CompilerOptions&) { compute_at(s, 0).commands[2].output = TensorId{8}; },
       "schedule: command on tile 2 at phase 0 writes tensor 8, not tensor 7"},
      {"wrong inputs", [](Schedule& s, CompilerOptions&) { compute_at(s, 0).commands[0].inputs.clear(); },
       "schedule: command on tile 0 at phase 0 does not read the inputs of op 0"},
      {"second tail", [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands[0].specialization.role = "tail"; },
       "schedule: phase 5 has 2 tail commands"},
      {"no tail", [](Schedule& s, CompilerOptions&) { compute_at(s, 5).commands[3].specialization.role = "body"; },
       "schedule: phase 5 has 0 tail commands"},
      {"tail moved",
       [](Schedule& s, CompilerOptions&) {
         compute_at(s, 5).commands[3].specialization.role = "body";
         compute_at(s, 5).commands[2].specialization.role = "tail";
       },
       "schedule: tail command of phase 5 is on tile 2, not the last tile 3"},
      {"transfer twice",
       [](Schedule& s, CompilerOptions&) {
         std::vector<Transfer>& transfers = exchange_at(s, 7).transfers;
         transfers.push_back(transfers[0]);
       },
       "schedule: exchange at phase 7 sends tensor 13 to tile 4 twice"},
      {"self-send", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[1].destination_tile = 1; },
       "schedule: transfer at phase 7 sends tensor 13 from tile 1 to itself"},
      {"empty transfer", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[2].bytes = 0; },
       "schedule: transfer at phase 7 of tensor 13 to tile 6 carries no bytes"},
      {"transfer past count",
       [](Schedule& s, CompilerOptions&) { exchange_at(s, 12).transfers[0].destination_tile = 64; },
       "schedule: transfer at phase 12 names tile 64 past tile count 64"},
      {"transfer tensor", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[0].tensor = TensorId{22}; },
       "schedule: transfer at phase 7 names tensor 22, out of range"},
      {"transfer bytes", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[0].bytes = 512; },
       "schedule: transfer at phase 7 of tensor 13 carries 512 bytes, not its share of 1024"},
      {"sent early", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[0].tensor = TensorId{14}; },
       "schedule: exchange at phase 7 sends tensor 14 before it is computed"},
      {"allocation dropped", [](Schedule& s, CompilerOptions&) { s.allocations.erase(s.allocations.begin() + 9); },
       "schedule: tensor 1 has no allocation on tile 1"},
      {"allocation twice", [](Schedule& s, CompilerOptions&) { s.allocations.push_back(s.allocations[0]); },
       "schedule: tensor 0 has two allocations on tile 0"},
      {"allocation off layout", [](Schedule& s, CompilerOptions&) { piece(s, 0, 0).tile = 8; },
       "schedule: allocation of tensor 0 on tile 8 is outside its layout"},
      {"past the limit", [](Schedule& s, CompilerOptions&) { piece(s, 0, 0).address = 916992; },
       "schedule: allocation of tensor 0 on tile 0 at 916992..918016 lies outside the data window 335872..917504"},
      {"misaligned", [](Schedule& s, CompilerOptions&) { piece(s, 0, 0).address = 335873; },
       "schedule: allocation of tensor 0 on tile 0 at 335873 is not aligned to 16"},
      {"wrong size", [](Schedule& s, CompilerOptions&) { piece(s, 0, 0).size = 1008; },
       "schedule: allocation of tensor 0 on tile 0 has size 1008, not 1024"},
      {"backwards", [](Schedule& s, CompilerOptions&) { piece(s, 0, 0).live_from = 11; },
       "schedule: allocation of tensor 0 on tile 0 is live from phase 11 until phase 10"},
      {"past the end", [](Schedule& s, CompilerOptions&) { piece(s, 1, 0).live_until = 17; },
       "schedule: allocation of tensor 1 on tile 0 is live until phase 17, past phase 16"},
      {"overlap by 1",
       [](Schedule& s, CompilerOptions&) {
         s.layouts[7].alignment = 1;
         piece(s, 7, 0).address = 343041;
       },
       "schedule: allocations of tensor 7 and tensor 8 overlap on tile 0 at phase 1"},
      // Lifetimes are inclusive: sharing the one phase where one piece ends
      // and the other starts is sharing.
      {"same bytes, phases 0..3 and 3..5",
       [](Schedule& s, CompilerOptions&) {
         piece(s, 11, 0).address = 343040;
         piece(s, 11, 0).live_from = 3;
       },
       "schedule: allocations of tensor 7 and tensor 11 overlap on tile 0 at phase 3"},
      {"same bytes, phases 4..5 and 5..5",
       [](Schedule& s, CompilerOptions&) {
         piece(s, 11, 0).address = 343040;
         piece(s, 7, 0).live_from = 5;
         piece(s, 7, 0).live_until = 5;
       },
       "schedule: allocations of tensor 11 and tensor 7 overlap on tile 0 at phase 5"},
      {"not live when written", [](Schedule& s, CompilerOptions&) { piece(s, 8, 0).live_from = 2; },
       "schedule: allocation of tensor 8 on tile 0 is not live at phase 1, which writes it"},
      {"not live when read", [](Schedule& s, CompilerOptions&) { piece(s, 7, 0).live_until = 2; },
       "schedule: allocation of tensor 7 on tile 0 is not live at phase 3, which reads it"},
      {"not live when sent", [](Schedule& s, CompilerOptions&) { piece(s, 13, 0).live_until = 6; },
       "schedule: allocation of tensor 13 on tile 0 is not live at phase 7, which sends it"},
      {"sender without piece", [](Schedule& s, CompilerOptions&) { exchange_at(s, 7).transfers[0].source_tile = 5; },
       "schedule: tile 5 sends tensor 13 at phase 7 without holding it"},
      {"output dies", [](Schedule& s, CompilerOptions&) { piece(s, 21, 0).live_until = 16; },
       "schedule: allocation of output tensor 21 on tile 0 is not live at the end, phase 17"},
      {"wrong peak", [](Schedule& s, CompilerOptions&) { s.peak_sram[0] = 9200; },
       "schedule: peak of tile 0 is 9200, not 9216"},
      {"peak for no tile", [](Schedule& s, CompilerOptions&) { s.peak_sram[64] = 0; },
       "schedule: peak given for tile 64, which holds no allocation"},
      {"peak missing", [](Schedule& s, CompilerOptions&) { s.peak_sram.erase(5); }, "schedule: no peak for tile 5"},
  };
  const Compiled compiled;
  ASSERT_TRUE(verify_schedule(compiled.graph, compiled.schedule, compiled.options).has_value());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Schedule schedule = compiled.schedule;
    CompilerOptions options = compiled.options;
    c.corrupt(schedule, options);
    EXPECT_EQ(verify_schedule(compiled.graph, schedule, options), std::unexpected(CompileError::graph(c.message)));
  }
}

TEST(VerifySchedule, PassesTheGraphsOwnErrorOn) {
  const Compiled compiled;
  Graph graph = compiled.graph;
  graph.outputs.clear();
  EXPECT_EQ(verify_schedule(graph, compiled.schedule, compiled.options),
            std::unexpected(CompileError::graph("graph has no outputs")));
}

// Pieces that touch at a byte boundary, or use the same bytes at phases that
// do not meet, share nothing.
TEST(VerifySchedule, AcceptsTouchingAndTimeSharedPieces) {
  const std::vector<Case> cases{
      {"touching unaligned",
       [](Schedule& s, CompilerOptions&) {
         s.layouts[7].alignment = 1;
         s.layouts[8].alignment = 1;
         piece(s, 7, 0).address = 343041;  // 343041..344065, live 0..3
         piece(s, 8, 0).address = 344065;  // 344065..345089, live 1..5
         s.peak_sram[0] = 9217;
       },
       ""},
      {"same bytes, phases 0..3 and 4..5", [](Schedule& s, CompilerOptions&) { piece(s, 11, 0).address = 343040; },
       ""},
  };
  const Compiled compiled;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Schedule schedule = compiled.schedule;
    CompilerOptions options = compiled.options;
    c.corrupt(schedule, options);
    const Result<void> checked = verify_schedule(compiled.graph, schedule, options);
    EXPECT_TRUE(checked.has_value()) << checked.error();
  }
}

}  // namespace
}  // namespace orvo_compiler
