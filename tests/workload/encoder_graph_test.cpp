// The encoder graph: exact tensor and operation lists of the default layer,
// the dimension checks, a zero feed-forward width and repeatability.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

TEST(EncoderGraph, DefaultLayerTensors) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  struct Expected {
    std::string name;
    Shape shape;
    TensorKind kind;
  };
  constexpr TensorKind in = TensorKind::Input;
  constexpr TensorKind weight = TensorKind::Weight;
  constexpr TensorKind mid = TensorKind::Intermediate;
  const std::vector<Expected> expected{
      {"input", {32, 64}, in},
      {"wq", {64, 64}, weight},
      {"wk", {64, 64}, weight},
      {"wv", {64, 64}, weight},
      {"wo", {64, 64}, weight},
      {"w1", {64, 256}, weight},
      {"w2", {256, 64}, weight},
      {"norm1", {32, 64}, mid},
      {"q", {32, 64}, mid},
      {"k", {32, 64}, mid},
      {"v", {32, 64}, mid},
      {"k_transpose", {64, 32}, mid},
      {"attention_scores", {32, 32}, mid},
      {"attention_softmax", {32, 32}, mid},
      {"attention_context", {32, 64}, mid},
      {"attention_projection", {32, 64}, mid},
      {"attention_residual", {32, 64}, mid},
      {"norm2", {32, 64}, mid},
      {"ffn_up", {32, 256}, mid},
      {"ffn_gelu", {32, 256}, mid},
      {"ffn_down", {32, 64}, mid},
      {"ffn_residual", {32, 64}, TensorKind::Output},
  };
  ASSERT_EQ(graph->tensors.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Tensor& tensor = graph->tensors[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(tensor.id, TensorId{i});
    EXPECT_EQ(tensor.name, expected[i].name);
    EXPECT_EQ(tensor.dtype, DType::F32);
    EXPECT_EQ(tensor.shape, expected[i].shape);
    EXPECT_EQ(tensor.kind, expected[i].kind);
    // Source tensors have no producer; operation n's output is tensor 6 + n.
    const std::optional<OpId> producer = i < 7 ? std::nullopt : std::optional<OpId>(OpId{i - 7});
    EXPECT_EQ(tensor.producer, producer);
  }
  EXPECT_EQ(graph->outputs, (std::vector<TensorId>{TensorId{21}}));
}

TEST(EncoderGraph, DefaultLayerOperations) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const auto t = [](std::uint64_t index) { return TensorId{index}; };
  const std::vector<Op> expected{
      {OpId{0}, "norm1", LayerNorm{1e-5F}, {t(0)}, t(7)},
      {OpId{1}, "q", MatMul{}, {t(7), t(1)}, t(8)},
      {OpId{2}, "k", MatMul{}, {t(7), t(2)}, t(9)},
      {OpId{3}, "v", MatMul{}, {t(7), t(3)}, t(10)},
      {OpId{4}, "k_transpose", Transpose{{1, 0}}, {t(9)}, t(11)},
      {OpId{5}, "attention_scores", MatMul{}, {t(8), t(11)}, t(12)},
      {OpId{6}, "attention_softmax", Softmax{1}, {t(12)}, t(13)},
      {OpId{7}, "attention_context", MatMul{}, {t(13), t(10)}, t(14)},
      {OpId{8}, "attention_projection", MatMul{}, {t(14), t(4)}, t(15)},
      {OpId{9}, "attention_residual", Add{}, {t(0), t(15)}, t(16)},
      {OpId{10}, "norm2", LayerNorm{1e-5F}, {t(16)}, t(17)},
      {OpId{11}, "ffn_up", MatMul{}, {t(17), t(5)}, t(18)},
      {OpId{12}, "ffn_gelu", Gelu{}, {t(18)}, t(19)},
      {OpId{13}, "ffn_down", MatMul{}, {t(19), t(6)}, t(20)},
      {OpId{14}, "ffn_residual", Add{}, {t(16), t(20)}, t(21)},
  };
  ASSERT_EQ(graph->ops.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(graph->ops[i], expected[i]) << graph->ops[i].kind;
  }
  // The epsilon is the float nearest 1e-5.
  EXPECT_EQ(std::bit_cast<std::uint32_t>(std::get<LayerNorm>(graph->ops[0].kind).epsilon), 0x3727C5ACU);
}

TEST(EncoderGraph, DimensionChecks) {
  struct Case {
    const char* name;
    EncoderConfig config;
    bool accepted;
  };
  const Case cases[] = {
      {"hidden 0", {32, 0, 4, 256}, false},
      {"hidden 0 and heads 0", {32, 0, 0, 256}, false},
      {"sequence 0", {0, 64, 4, 256}, false},
      {"heads 0", {32, 64, 0, 256}, false},
      {"heads not dividing hidden", {32, 64, 3, 256}, false},
      {"heads larger than hidden", {32, 4, 8, 256}, false},
      {"one head per column", {32, 64, 64, 256}, true},
      {"feed_forward 0", {32, 64, 4, 0}, true},
      {"all ones", {1, 1, 1, 1}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Graph> graph = encoder_graph(c.config);
    EXPECT_EQ(graph.has_value(), c.accepted);
    if (!graph) {
      EXPECT_EQ(graph.error(), CompileError::graph("invalid encoder dimensions"));
    }
  }
}

TEST(EncoderGraph, ZeroFeedForwardShapes) {
  const Result<Graph> graph = encoder_graph({32, 64, 4, 0});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  ASSERT_EQ(graph->tensors.size(), 22U);
  EXPECT_EQ(graph->tensors[5].shape, (Shape{64, 0}));   // w1
  EXPECT_EQ(graph->tensors[6].shape, (Shape{0, 64}));   // w2
  EXPECT_EQ(graph->tensors[18].shape, (Shape{32, 0}));  // ffn_up
  EXPECT_EQ(graph->tensors[19].shape, (Shape{32, 0}));  // ffn_gelu
  EXPECT_EQ(graph->tensors[20].shape, (Shape{32, 64}));  // ffn_down
}

TEST(EncoderGraph, BuildingTwiceGivesEqualGraphs) {
  const EncoderConfig config{8, 16, 2, 32};
  const Result<Graph> first = encoder_graph(config);
  const Result<Graph> second = encoder_graph(config);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first, second);
  EXPECT_TRUE(first->validate().has_value());
}

}  // namespace
}  // namespace orvo_compiler
