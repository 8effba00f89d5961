// Stacked encoder graphs: one layer equals the single-layer graph, later
// layers are prefixed and chained through "ffn_residual", only the last layer
// is an output, and the dimension checks.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

TensorId t(std::uint64_t index) { return TensorId{index}; }

TEST(EncoderStackGraph, OneLayerIsTheSingleLayerGraph) {
  for (const EncoderConfig config : {EncoderConfig{}, EncoderConfig{8, 16, 2, 32}, EncoderConfig{4, 8, 8, 0}}) {
    SCOPED_TRACE(::testing::Message() << config.sequence << " " << config.hidden << " " << config.feed_forward);
    const Result<Graph> stack = encoder_stack_graph(config, 1);
    ASSERT_TRUE(stack.has_value()) << stack.error();
    EXPECT_EQ(stack, encoder_graph(config));
  }
}

TEST(EncoderStackGraph, RefusesZeroLayersAndBadDimensions) {
  struct Case {
    const char* name;
    EncoderConfig config;
    std::uint64_t layers;
  };
  const Case cases[] = {
      {"zero layers", EncoderConfig{}, 0},
      {"hidden 0", {32, 0, 4, 256}, 3},
      {"sequence 0", {0, 64, 4, 256}, 2},
      {"heads 0", {32, 64, 0, 256}, 2},
      {"heads not dividing hidden", {32, 64, 3, 256}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoder_stack_graph(c.config, c.layers),
              std::unexpected(CompileError::graph("invalid encoder dimensions")));
  }
}

TEST(EncoderStackGraph, LaterLayersArePrefixedAndReadThePreviousOutput) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{}, 3);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  ASSERT_EQ(graph->tensors.size(), 64U);
  ASSERT_EQ(graph->ops.size(), 45U);
  ASSERT_TRUE(graph->validate().has_value());

  // Layer 1 occupies tensors 22 to 42 and operations 15 to 29; it reads
  // layer 0's output, tensor 21, in both places the single layer reads "input".
  const std::vector<Op> layer_one{
      {OpId{15}, "l1.norm1", LayerNorm{1e-5F}, {t(21)}, t(28)},
      {OpId{16}, "l1.q", MatMul{}, {t(28), t(22)}, t(29)},
      {OpId{17}, "l1.k", MatMul{}, {t(28), t(23)}, t(30)},
      {OpId{18}, "l1.v", MatMul{}, {t(28), t(24)}, t(31)},
      {OpId{19}, "l1.k_transpose", Transpose{{1, 0}}, {t(30)}, t(32)},
      {OpId{20}, "l1.attention_scores", MatMul{}, {t(29), t(32)}, t(33)},
      {OpId{21}, "l1.attention_softmax", Softmax{1}, {t(33)}, t(34)},
      {OpId{22}, "l1.attention_context", MatMul{}, {t(34), t(31)}, t(35)},
      {OpId{23}, "l1.attention_projection", MatMul{}, {t(35), t(25)}, t(36)},
      {OpId{24}, "l1.attention_residual", Add{}, {t(21), t(36)}, t(37)},
      {OpId{25}, "l1.norm2", LayerNorm{1e-5F}, {t(37)}, t(38)},
      {OpId{26}, "l1.ffn_up", MatMul{}, {t(38), t(26)}, t(39)},
      {OpId{27}, "l1.ffn_gelu", Gelu{}, {t(39)}, t(40)},
      {OpId{28}, "l1.ffn_down", MatMul{}, {t(40), t(27)}, t(41)},
      {OpId{29}, "l1.ffn_residual", Add{}, {t(37), t(41)}, t(42)},
  };
  for (const Op& expected : layer_one) {
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(graph->ops[expected.id.index], expected) << graph->ops[expected.id.index].kind;
  }
  EXPECT_EQ(graph->ops[30], (Op{OpId{30}, "l2.norm1", LayerNorm{1e-5F}, {t(42)}, t(49)}));
  EXPECT_EQ(graph->ops[39], (Op{OpId{39}, "l2.attention_residual", Add{}, {t(42), t(57)}, t(58)}));
  EXPECT_EQ(graph->ops[44], (Op{OpId{44}, "l2.ffn_residual", Add{}, {t(58), t(62)}, t(63)}));

  struct Expected {
    std::uint64_t index;
    std::string name;
    Shape shape;
    TensorKind kind;
  };
  const Expected tensors[] = {
      {0, "input", {32, 64}, TensorKind::Input},
      {1, "wq", {64, 64}, TensorKind::Weight},
      {21, "ffn_residual", {32, 64}, TensorKind::Intermediate},
      {22, "l1.wq", {64, 64}, TensorKind::Weight},
      {26, "l1.w1", {64, 256}, TensorKind::Weight},
      {27, "l1.w2", {256, 64}, TensorKind::Weight},
      {34, "l1.attention_softmax", {32, 32}, TensorKind::Intermediate},
      {42, "l1.ffn_residual", {32, 64}, TensorKind::Intermediate},
      {43, "l2.wq", {64, 64}, TensorKind::Weight},
      {63, "l2.ffn_residual", {32, 64}, TensorKind::Output},
  };
  for (const Expected& expected : tensors) {
    SCOPED_TRACE(expected.name);
    const Tensor& tensor = graph->tensors[expected.index];
    EXPECT_EQ(tensor.name, expected.name);
    EXPECT_EQ(tensor.shape, expected.shape);
    EXPECT_EQ(tensor.kind, expected.kind);
  }
  EXPECT_EQ(graph->outputs, std::vector<TensorId>{t(63)});
}

TEST(EncoderStackGraph, PrefixesCountInDecimal) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{4, 8, 2, 16}, 11);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  ASSERT_EQ(graph->tensors.size(), 232U);
  EXPECT_EQ(graph->tensors[190].name, "l9.wq");
  EXPECT_EQ(graph->tensors[211].name, "l10.wq");
  EXPECT_EQ(graph->tensors[231].name, "l10.ffn_residual");
  EXPECT_EQ(graph->outputs, std::vector<TensorId>{t(231)});
}

TEST(EncoderStackGraph, AStackCompilesWithOneOutputOnTheLastLayer) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{}, 4);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  // 17 phases per layer, as for the single layer.
  EXPECT_EQ(schedule->phases.size(), 68U);
}

}  // namespace
}  // namespace orvo_compiler
