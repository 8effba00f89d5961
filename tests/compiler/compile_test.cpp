// The compile pipeline end to end: phases, commands, allocations and peaks of
// worked examples, the error paths and the log events.
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint32_t base = 0x52000;

// X [32, 64] (tiles 0-7) times W [64, 256] (tiles 0-63) gives Y [32, 256]
// (tiles 0-31), the graph output.
Graph matmul_graph() {
  Graph graph;
  const TensorId x = graph.input("X", {32, 64});
  const TensorId w = graph.weight("W", {64, 256});
  graph.mark_output(graph.matmul("Y", x, w).value());
  return graph;
}

// The encoder layer with sequence 32, hidden 64 and feed-forward width 256.
Graph encoder_layer() {
  Graph graph;
  const TensorId input = graph.input("input", {32, 64});
  const TensorId wq = graph.weight("wq", {64, 64});
  const TensorId wk = graph.weight("wk", {64, 64});
  const TensorId wv = graph.weight("wv", {64, 64});
  const TensorId wo = graph.weight("wo", {64, 64});
  const TensorId w1 = graph.weight("w1", {64, 256});
  const TensorId w2 = graph.weight("w2", {256, 64});
  const TensorId norm1 = graph.layer_norm("norm1", input, 1e-5F).value();
  const TensorId q = graph.matmul("q", norm1, wq).value();
  const TensorId k = graph.matmul("k", norm1, wk).value();
  const TensorId v = graph.matmul("v", norm1, wv).value();
  const TensorId k_transpose = graph.transpose("k_transpose", k, {1, 0}).value();
  const TensorId scores = graph.matmul("attention_scores", q, k_transpose).value();
  const TensorId softmax = graph.softmax("attention_softmax", scores, 1).value();
  const TensorId context = graph.matmul("attention_context", softmax, v).value();
  const TensorId projection = graph.matmul("attention_projection", context, wo).value();
  const TensorId residual = graph.add("attention_residual", input, projection).value();
  const TensorId norm2 = graph.layer_norm("norm2", residual, 1e-5F).value();
  const TensorId up = graph.matmul("ffn_up", norm2, w1).value();
  const TensorId gelu = graph.gelu("ffn_gelu", up).value();
  const TensorId down = graph.matmul("ffn_down", gelu, w2).value();
  graph.mark_output(graph.add("ffn_residual", residual, down).value());
  return graph;
}

std::vector<std::uint16_t> tiles_below(std::uint16_t count) {
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t tile = 0; tile < count; ++tile) {
    tiles.push_back(tile);
  }
  return tiles;
}

// Transfers of `tensor`'s 1,024-byte shares from tiles 0-7, repeating, to
// tiles 8-31.
std::vector<Transfer> spread_from_eight_tiles(TensorId tensor) {
  const std::uint16_t sources[] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};
  std::vector<Transfer> transfers;
  std::uint16_t destination = 8;
  for (const std::uint16_t source : sources) {
    transfers.push_back(Transfer{source, destination++, tensor, 1024});
  }
  return transfers;
}

void expect_no_live_overlap(const std::vector<Allocation>& allocations) {
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& left = allocations[i];
      const Allocation& right = allocations[j];
      if (left.tile == right.tile &&
          lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        EXPECT_TRUE(left.address + left.size <= right.address || right.address + right.size <= left.address)
            << left << " overlaps " << right;
      }
    }
  }
}

TEST(Compile, MatmulMovesTheNarrowInputOntoTheOutputTiles) {
  const Result<Schedule> schedule = compile(matmul_graph(), CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();

  const std::vector<Layout> expected_layouts{{TensorId{0}, tiles_below(8), Sharding::Rows, 16},
                                             {TensorId{1}, tiles_below(64), Sharding::Columns, 16},
                                             {TensorId{2}, tiles_below(32), Sharding::Rows, 16}};
  EXPECT_EQ(schedule->layouts, expected_layouts);
  ASSERT_EQ(schedule->phases.size(), 2U);
  EXPECT_EQ(schedule->phases[0], Phase{Exchange{spread_from_eight_tiles(TensorId{0})}});

  const auto& compute = std::get<Compute>(schedule->phases[1]);
  EXPECT_EQ(compute.op, OpId{0});
  ASSERT_EQ(compute.commands.size(), 32U);
  for (std::uint16_t tile = 0; tile < 32; ++tile) {
    SCOPED_TRACE(tile);
    const KernelCommand expected{tile,
                                 TensorId{2},
                                 {TensorId{0}, TensorId{1}},
                                 {"matmul", {32, 256}, 6, tile == 31 ? "tail" : "body", 16}};
    EXPECT_EQ(compute.commands[tile], expected);
  }

  // X is live at phases 0-1, W at 0-1, Y at 1-2: all three stack up on tiles 0-7.
  EXPECT_EQ(schedule->allocations.size(), 104U);
  EXPECT_EQ(schedule->tile_count, 64);
  EXPECT_EQ(schedule->peak_sram.size(), 64U);
  EXPECT_EQ(schedule->peak_sram.at(0), 3072U);
  EXPECT_EQ(schedule->peak_sram.at(7), 3072U);
  EXPECT_EQ(schedule->peak_sram.at(8), 2048U);
  EXPECT_EQ(schedule->peak_sram.at(31), 2048U);
  EXPECT_EQ(schedule->peak_sram.at(32), 1024U);
  EXPECT_EQ(schedule->peak_sram.at(63), 1024U);
}

TEST(Compile, EncoderLayerWithDefaultOptions) {
  const Graph graph = encoder_layer();
  ASSERT_EQ(graph.ops.size(), 15U);
  ASSERT_EQ(graph.tensors.size(), 22U);
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_EQ(compile(graph, CompilerOptions{}), schedule);

  ASSERT_EQ(schedule->phases.size(), 17U);
  // Phase index -> the operation its compute phase runs (-1: an exchange).
  const int op_at_phase[] = {0, 1, 2, 3, 4, 5, 6, -1, 7, 8, 9, 10, -1, 11, 12, 13, 14};
  std::size_t commands = 0;
  for (std::size_t index = 0; index < 17; ++index) {
    SCOPED_TRACE(index);
    const Phase& phase = schedule->phases[index];
    if (op_at_phase[index] < 0) {
      EXPECT_TRUE(std::holds_alternative<Exchange>(phase));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<Compute>(phase));
    EXPECT_EQ(std::get<Compute>(phase).op, OpId{static_cast<std::uint64_t>(op_at_phase[index])});
    commands += std::get<Compute>(phase).commands.size();
  }
  EXPECT_EQ(commands, 160U);

  // attention_softmax (tensor 13, tiles 0-3) to attention_context's tiles 4-7.
  const std::vector<Transfer> softmax_to_context{{0, 4, TensorId{13}, 1024},
                                                 {1, 5, TensorId{13}, 1024},
                                                 {2, 6, TensorId{13}, 1024},
                                                 {3, 7, TensorId{13}, 1024}};
  EXPECT_EQ(schedule->phases[7], Phase{Exchange{softmax_to_context}});
  // norm2 (tensor 17, tiles 0-7) to ffn_up's tiles 8-31.
  EXPECT_EQ(schedule->phases[12], Phase{Exchange{spread_from_eight_tiles(TensorId{17})}});

  EXPECT_EQ(schedule->allocations.size(), 360U);
  ASSERT_EQ(schedule->peak_sram.size(), 64U);
  for (const auto& [tile, bytes] : schedule->peak_sram) {
    SCOPED_TRACE(tile);
    const std::uint32_t expected = tile < 8 ? 9216 : tile < 16 ? 6144 : tile < 32 ? 3072 : 2048;
    EXPECT_EQ(bytes, expected);
  }

  for (const Allocation& allocation : schedule->allocations) {
    EXPECT_EQ(allocation.size, 1024U) << allocation;
    EXPECT_GE(allocation.address, base) << allocation;
    EXPECT_LE(allocation.address + allocation.size, 0xE0000U) << allocation;
    EXPECT_LE(allocation.live_from, allocation.live_until) << allocation;
  }
  expect_no_live_overlap(schedule->allocations);
}

TEST(Compile, OneTileMeansNoExchanges) {
  const Result<Schedule> schedule = compile(encoder_layer(), CompilerOptions{1, base, 0xE0000});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_EQ(schedule->phases.size(), 15U);
  for (const Phase& phase : schedule->phases) {
    EXPECT_TRUE(std::holds_alternative<Compute>(phase));
  }
  EXPECT_EQ(schedule->allocations.size(), 22U);
  expect_no_live_overlap(schedule->allocations);
}

TEST(Compile, SmallCases) {
  {
    SCOPED_TRACE("no operations");
    Graph graph;
    graph.mark_output(graph.input("x", {4}));
    const Result<Schedule> schedule = compile(graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    const Schedule expected{{Layout{TensorId{0}, {0}, Sharding::Replicated, 16}},
                            {},
                            {Allocation{TensorId{0}, 0, base, 16, 0, 0}},
                            64,
                            {{0, 16}}};
    EXPECT_EQ(*schedule, expected);
  }
  {
    SCOPED_TRACE("element-wise add of a Columns weight and a Rows input");
    Graph graph;
    const TensorId w = graph.weight("w", {32, 64});
    const TensorId x = graph.input("x", {32, 64});
    graph.mark_output(graph.add("sum", w, x).value());
    const Result<Schedule> schedule = compile(graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    ASSERT_EQ(schedule->phases.size(), 1U);
    EXPECT_EQ(std::get<Compute>(schedule->phases[0]).commands.size(), 8U);
  }
  {
    SCOPED_TRACE("output on one tile");
    Graph graph;
    const TensorId x = graph.input("x", {4, 4});
    graph.mark_output(graph.softmax("s", x, 1).value());
    const Result<Schedule> schedule = compile(graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    ASSERT_EQ(schedule->phases.size(), 1U);
    const std::vector<KernelCommand> expected{{0, TensorId{1}, {TensorId{0}}, {"softmax", {4, 4}, 1, "tail", 16}}};
    EXPECT_EQ(std::get<Compute>(schedule->phases[0]).commands, expected);
  }
}

// A compilation that must fail, with its exact error.
struct Refusal {
  std::string name;
  Graph graph;
  CompilerOptions options;
  CompileError expected;
};

void expect_refused(const Refusal& refusal) {
  SCOPED_TRACE(refusal.name);
  const Result<Schedule> schedule = compile(refusal.graph, refusal.options);
  ASSERT_FALSE(schedule.has_value());
  EXPECT_EQ(schedule.error(), refusal.expected);
}

TEST(Compile, ErrorsArePassedOnUnchanged) {
  const auto empty_shape = [] {
    Graph graph;
    graph.mark_output(graph.input("x", {}));
    return graph;
  };
  // Reading one 16-byte tensor twice onto two tiles sends it twice to tile 1.
  const auto repeated_input = [] {
    Graph graph;
    const TensorId a = graph.input("a", {4});
    graph.mark_output(graph.op("pair", Mul{}, {a, a}, {512}).value());
    return graph;
  };
  // 2^32 bytes on a single tile: the share's low 32 bits are 0.
  const auto four_gib = [] {
    Graph graph;
    graph.mark_output(graph.input("big", {std::uint64_t{1} << 30}));
    return graph;
  };
  const Refusal cases[] = {
      {"empty graph", Graph{}, CompilerOptions{}, CompileError::graph("graph has no outputs")},
      {"invalid tensor", empty_shape(), CompilerOptions{}, CompileError::graph("invalid tensor x")},
      {"no tiles", matmul_graph(), CompilerOptions{0, base, 0xE0000},
       CompileError::graph("invalid compiler options")},
      {"empty window", matmul_graph(), CompilerOptions{64, base, base},
       CompileError::graph("invalid compiler options")},
      {"window ends below its start", matmul_graph(), CompilerOptions{64, 0xE0000, base},
       CompileError::graph("invalid compiler options")},
      {"graph error wins over options", Graph{}, CompilerOptions{0, 1, 0},
       CompileError::graph("graph has no outputs")},
      {"exchange", repeated_input(), CompilerOptions{},
       CompileError::graph("multiple sends target one tensor region in an epoch")},
      // Tile 0 holds X, W and Y (1 KiB each), live together at phase 1.
      {"tight window", matmul_graph(), CompilerOptions{64, base, base + 3071},
       CompileError::memory("tile 0 exceeds data limit allocating Y")},
      {"window at the top of the address space", matmul_graph(), CompilerOptions{64, 0xFFFFFFF0, 0xFFFFFFFF},
       CompileError::memory("address overflow")},
      {"share past 32 bits", four_gib(), CompilerOptions{1, base, 0xE0000},
       CompileError::memory("tile 0 exceeds data limit allocating big")},
  };
  for (const Refusal& c : cases) {
    expect_refused(c);
  }
  EXPECT_TRUE(compile(matmul_graph(), CompilerOptions{64, base, base + 3072}).has_value());
}

// x -> a -> b -> c, each the gelu of the one before; c is the output.
Graph gelu_chain() {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId a = graph.gelu("a", x).value();
  const TensorId b = graph.gelu("b", a).value();
  graph.mark_output(graph.gelu("c", b).value());
  return graph;
}

// Moves operation `from` to position `to` as a hand edit would: ids and the
// producers of the outputs follow the new positions, so validation still
// holds.
Graph with_op_moved(Graph graph, std::size_t from, std::size_t to) {
  Op moved = graph.ops[from];
  graph.ops.erase(graph.ops.begin() + static_cast<std::ptrdiff_t>(from));
  graph.ops.insert(graph.ops.begin() + static_cast<std::ptrdiff_t>(to), std::move(moved));
  for (std::size_t position = 0; position < graph.ops.size(); ++position) {
    graph.ops[position].id = OpId{position};
    graph.tensors[graph.ops[position].output.index].producer = OpId{position};
  }
  return graph;
}

Graph with_inputs(Graph graph, std::size_t op, std::vector<TensorId> inputs) {
  graph.ops[op].inputs = std::move(inputs);
  return graph;
}

TEST(Compile, RefusesOperationsThatReadTheirOwnOrALaterOutput) {
  Graph cycle_with_bad_tensor = with_inputs(gelu_chain(), 0, {TensorId{2}});
  cycle_with_bad_tensor.tensors[0].shape = {};
  // Tensors: x 0, a 1, b 2, c 3; operations a 0, b 1, c 2.
  const Refusal cases[] = {
      {"first operation reads the last", with_op_moved(gelu_chain(), 2, 0), CompilerOptions{},
       CompileError::graph("invalid op c")},
      {"middle operation reads the last", with_op_moved(gelu_chain(), 2, 1), CompilerOptions{},
       CompileError::graph("invalid op c")},
      {"first operation moved last is fine, its reader is not", with_op_moved(gelu_chain(), 0, 2),
       CompilerOptions{}, CompileError::graph("invalid op b")},
      {"operation reads its own output", with_inputs(gelu_chain(), 1, {TensorId{1}, TensorId{2}}),
       CompilerOptions{}, CompileError::graph("invalid op b")},
      {"two-operation cycle", with_inputs(gelu_chain(), 0, {TensorId{2}}), CompilerOptions{},
       CompileError::graph("invalid op a")},
      {"order is checked before the options", with_inputs(gelu_chain(), 0, {TensorId{2}}),
       CompilerOptions{0, base, base}, CompileError::graph("invalid op a")},
  };
  for (const Refusal& c : cases) {
    EXPECT_TRUE(c.graph.validate()) << c.name;
    expect_refused(c);
  }
  expect_refused({"validation comes first", cycle_with_bad_tensor, CompilerOptions{},
                  CompileError::graph("invalid tensor x")});
}

// Only the operation that writes a tensor orders its readers: a source that
// claims a later producer, which validation lets through, is still a source.
TEST(Compile, ASourceClaimingALaterProducerStaysASource) {
  Graph graph = gelu_chain();
  graph.tensors[0].producer = OpId{2};
  ASSERT_TRUE(graph.validate());
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_TRUE(verify_schedule(graph, *schedule, CompilerOptions{}));
}

// Registers a logger named "orvo_compiler" writing "level|message" lines into
// a string for the lifetime of one test, and drops it afterwards.
class CapturedLog {
 public:
  explicit CapturedLog(spdlog::level::level_enum level)
      : logger_(std::make_shared<spdlog::logger>("orvo_compiler",
                                                 std::make_shared<spdlog::sinks::ostream_sink_mt>(lines_))) {
    logger_->set_pattern("%l|%v");
    logger_->set_level(level);
    spdlog::register_logger(logger_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  ~CapturedLog() { spdlog::drop("orvo_compiler"); }

  std::string text() const {
    logger_->flush();
    return lines_.str();
  }

 private:
  std::ostringstream lines_;
  std::shared_ptr<spdlog::logger> logger_;
};

TEST(CompileLogging, EmitsThreeEventsWithTheirFields) {
  const CapturedLog log(spdlog::level::debug);
  ASSERT_TRUE(compile(matmul_graph(), CompilerOptions{}).has_value());
  EXPECT_EQ(log.text(),
            "info|compiling graph operations=1 tensors=3 tiles=64\n"
            "debug|planned tile SRAM peak_bytes=3072\n"
            "info|graph compilation completed phases=2 allocations=104 peak_bytes=3072\n");
}

TEST(CompileLogging, EncoderLayerReportsItsTotals) {
  const CapturedLog log(spdlog::level::info);
  ASSERT_TRUE(compile(encoder_layer(), CompilerOptions{}).has_value());
  EXPECT_EQ(log.text(),
            "info|compiling graph operations=15 tensors=22 tiles=64\n"
            "info|graph compilation completed phases=17 allocations=360 peak_bytes=9216\n");
}

TEST(CompileLogging, AFailedCompileOnlyAnnouncesItself) {
  const CapturedLog log(spdlog::level::trace);
  ASSERT_FALSE(compile(matmul_graph(), CompilerOptions{0, base, 0xE0000}).has_value());
  EXPECT_EQ(log.text(), "info|compiling graph operations=1 tensors=3 tiles=0\n");
}

TEST(CompileLogging, NothingReachesASinkUnlessTheLoggerIsRegisteredAndEnabled) {
  {
    const CapturedLog log(spdlog::level::off);
    ASSERT_TRUE(compile(matmul_graph(), CompilerOptions{}).has_value());
    EXPECT_EQ(log.text(), "");
  }
  // With no "orvo_compiler" logger, not even the default logger hears of it.
  ASSERT_EQ(spdlog::get("orvo_compiler"), nullptr);
  std::ostringstream lines;
  const std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
  spdlog::set_default_logger(
      std::make_shared<spdlog::logger>("capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(lines)));
  spdlog::set_level(spdlog::level::trace);
  const bool compiled = compile(matmul_graph(), CompilerOptions{}).has_value();
  spdlog::set_default_logger(previous);
  EXPECT_TRUE(compiled);
  EXPECT_EQ(lines.str(), "");
}

}  // namespace
}  // namespace orvo_compiler
