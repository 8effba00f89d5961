// A prepared evaluation gives evaluate's outputs bit for bit, on any thread
// count, run after run; refuses what evaluate refuses with the same texts;
// fuses element-wise chains only where no one else sees the intermediates;
// and reuses output storage it is handed back.
#include "orvo_compiler/prepared.hpp"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "evaluate/multi_head_encoder.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/npy.hpp"
#ifdef ORVO_ONNX_FIXTURES
#include <fstream>

#include <nlohmann/json.hpp>

#include "orvo_compiler/onnx.hpp"
#endif

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer's runtime calls these hooks on every allocation.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace orvo_compiler {
namespace {

using test_support::encoder_values;
using test_support::multi_head_encoder_graph;

// Every output's values as bit patterns (integers and bytes as they are), by id.
std::map<TensorId, std::vector<std::uint64_t>> bit_patterns(const TensorValues& values) {
  std::map<TensorId, std::vector<std::uint64_t>> out;
  for (const auto& [id, data] : values) {
    std::vector<std::uint64_t>& target = out[id];
    std::visit(
        [&](const auto& list) {
          for (const auto value : list) {
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, float>) {
              target.push_back(std::bit_cast<std::uint32_t>(value));
            } else {
              target.push_back(static_cast<std::uint64_t>(value));
            }
          }
        },
        data);
    target.push_back(data.index());
  }
  return out;
}

// Builder results taken as they come; the first failure is kept for an assertion.
struct Made {
  std::string failed;
  TensorId operator()(const Result<TensorId>& id) {
    if (!id && failed.empty()) {
      failed = id.error().message;
    }
    return id.value_or(TensorId{});
  }
};

std::vector<float> ramp(std::size_t count, float scale, float shift) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = static_cast<float>(static_cast<int>((i * 37) % 101) - 50) * scale + shift;
  }
  return values;
}

// The prepared outputs on each thread count equal evaluate's, over two runs
// with different values (the second through the first's output storage).
void expect_same_as_evaluate(const Graph& graph, const TensorValues& first, const TensorValues& second) {
  const Result<TensorValues> expected_first = evaluate(graph, first);
  const Result<TensorValues> expected_second = evaluate(graph, second);
  ASSERT_TRUE(expected_first) << expected_first.error();
  ASSERT_TRUE(expected_second) << expected_second.error();
  for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
    SCOPED_TRACE(fmt::format("{} threads", threads));
    Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, threads);
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(prepared->threads(), threads);
    Result<TensorValues> outputs = prepared->run(first);
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(bit_patterns(*outputs), bit_patterns(*expected_first));
    ASSERT_TRUE(prepared->run(second, *outputs));
    EXPECT_EQ(bit_patterns(*outputs), bit_patterns(*expected_second));
    ASSERT_TRUE(prepared->run(first, *outputs));
    EXPECT_EQ(bit_patterns(*outputs), bit_patterns(*expected_first));
  }
}

TEST(PreparedEvaluation, EncoderGraphsEqualEvaluateOnEveryThreadCount) {
  struct Case {
    EncoderConfig config;
    std::uint64_t layers;
    bool multi_head;
  };
  const Case cases[] = {
      {EncoderConfig{}, 1, false},
      {{16, 48, 3, 96}, 2, false},
      {{32, 64, 4, 256}, 1, true},
      {{13, 24, 2, 40}, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(fmt::format("{} {} {} {} x{} {}", c.config.sequence, c.config.hidden, c.config.heads,
                             c.config.feed_forward, c.layers, c.multi_head ? "multi-head" : "encoder"));
    const Result<Graph> graph = c.multi_head    ? multi_head_encoder_graph(c.config, c.layers)
                                : c.layers == 1 ? encoder_graph(c.config)
                                                : encoder_stack_graph(c.config, c.layers);
    ASSERT_TRUE(graph) << graph.error();
    const EncoderWeights weights = EncoderWeights::deterministic(c.config);
    const std::size_t width = c.config.sequence * c.config.hidden;
    expect_same_as_evaluate(*graph, encoder_values(*graph, c.config, c.layers, ramp(width, 0.02F, 0.1F), weights),
                            encoder_values(*graph, c.config, c.layers, ramp(width, -0.5F, 0.0F), weights));
  }
}

// A small image model: a padded 3x3 conv with a bias and its ReLU, a second
// conv whose residual Add and ReLU join its pass, a strided 1x1 conv, a
// depthwise conv and (with `pool`) a max pool. Weights come first, the image
// last.
struct ConvModel {
  Graph graph;
  TensorValues weights;
  TensorId image;
};

std::optional<ConvModel> conv_model(bool pool = true, std::uint64_t side = 9) {
  ConvModel model;
  Graph& g = model.graph;
  Made made;
  const auto weight = [&](const std::string& name, const Shape& shape, float scale) {
    const TensorId id = g.weight(name, shape);
    std::uint64_t count = 1;
    for (const std::uint64_t dim : shape) {
      count *= dim;
    }
    model.weights.emplace(id, ramp(static_cast<std::size_t>(count), scale, 0.01F));
    return id;
  };
  const TensorId w1 = weight("w1", {4, 3, 3, 3}, 0.03F);
  const TensorId b1 = weight("b1", {4}, 0.1F);
  const TensorId w2 = weight("w2", {4, 4, 3, 3}, 0.02F);
  const TensorId w3 = weight("w3", {2, 4, 1, 1}, 0.05F);
  const TensorId w4 = weight("w4", {2, 1, 3, 3}, 0.04F);
  model.image = g.input("image", {1, 3, side, side});
  const TensorId c1 = made(g.apply("c1", Conv{1, {1, 1}, {1, 1}, {1, 1, 1, 1}}, {model.image, w1, b1}));
  const TensorId r1 = made(g.apply("r1", Relu{}, {c1}));
  const TensorId c2 = made(g.apply("c2", Conv{1, {1, 1}, {1, 1}, {1, 1, 1, 1}}, {r1, w2}));
  const TensorId sum = made(g.apply("sum", Add{}, {c2, r1}));
  const TensorId r2 = made(g.apply("r2", Relu{}, {sum}));
  const TensorId c3 = made(g.apply("c3", Conv{1, {2, 2}, {1, 1}, {0, 0, 0, 0}}, {r2, w3}));
  const TensorId c4 = made(g.apply("c4", Conv{2, {1, 1}, {1, 1}, {1, 1, 1, 1}}, {c3, w4}));
  g.mark_output(pool ? made(g.apply("pooled", MaxPool{{2, 2}, {2, 2}, {}, {}, true}, {c4})) : c4);
  if (!made.failed.empty()) {
    ADD_FAILURE() << made.failed;
    return std::nullopt;
  }
  return model;
}

TEST(PreparedEvaluation, ConvPassesAndTheirChainsEqualEvaluate) {
  const std::optional<ConvModel> model = conv_model();
  ASSERT_TRUE(model);
  TensorValues first = model->weights;
  TensorValues second = model->weights;
  first.emplace(model->image, ramp(3 * 9 * 9, 0.1F, -0.2F));
  second.emplace(model->image, ramp(3 * 9 * 9, -0.3F, 0.5F));
  expect_same_as_evaluate(model->graph, first, second);
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(model->graph, 1);
  ASSERT_TRUE(prepared) << prepared.error();
  // Both convs' ReLU and the residual Add ride in the conv passes.
  EXPECT_EQ(prepared->passes(), 5U);
}

// Large enough that the convs split by blocks of output positions over the
// threads, each block with its bias and chain: the bits stay evaluate's, and
// a run with an infinite weight (which takes the whole-conv route) too.
TEST(PreparedEvaluation, ConvsSplitOverThreadsEqualEvaluate) {
  const std::optional<ConvModel> model = conv_model(true, 31);
  ASSERT_TRUE(model);
  const std::size_t pixels = 3 * 31 * 31;
  TensorValues first = model->weights;
  TensorValues second = model->weights;
  first.emplace(model->image, ramp(pixels, 0.1F, -0.2F));
  second.emplace(model->image, ramp(pixels, -0.3F, 0.5F));
  expect_same_as_evaluate(model->graph, first, second);
  std::vector<float> infinite = std::get<std::vector<float>>(model->weights.at(TensorId{2}));
  infinite[7] = -std::numeric_limits<float>::infinity();
  second.insert_or_assign(TensorId{2}, infinite);
  expect_same_as_evaluate(model->graph, first, second);
}

// A conv with fewer blocks of output positions than threads splits by
// blocks of filters, the last one partial, each with its bias and its chain
// (a ReLU and a residual Add reading another tensor at the same elements).
// A residual block's tail over 7x7 positions: a 3x3 conv of `channels` to
// `filters` with bias and padding, ReLU, and a skip input added.
struct ConvTail {
  Graph graph;
  TensorId x;
  TensorId w;
  TensorId b;
  TensorId skip;
};

ConvTail conv_tail(std::uint64_t channels, std::uint64_t filters) {
  ConvTail tail;
  Graph& g = tail.graph;
  Made made;
  tail.x = g.input("x", {1, channels, 7, 7});
  tail.w = g.weight("w", {filters, channels, 3, 3});
  tail.b = g.weight("b", {filters});
  tail.skip = g.input("skip", {1, filters, 7, 7});
  const TensorId conv = made(g.apply("conv", Conv{1, {1, 1}, {1, 1}, {1, 1, 1, 1}}, {tail.x, tail.w, tail.b}));
  const TensorId relu = made(g.apply("relu", Relu{}, {conv}));
  g.mark_output(made(g.apply("sum", Add{}, {relu, tail.skip})));
  EXPECT_TRUE(made.failed.empty()) << made.failed;
  return tail;
}

TEST(PreparedEvaluation, ConvsWithFewPositionsSplitByFilters) {
  const auto [g, x, w, b, skip] = conv_tail(6, 21);
  TensorValues first{{w, ramp(21 * 6 * 9, 0.013F, -0.4F)},
                     {b, ramp(21, 0.1F, -1.0F)},
                     {x, ramp(6 * 49, 0.1F, -0.2F)},
                     {skip, ramp(21 * 49, -0.02F, 0.3F)}};
  TensorValues second = first;
  second.insert_or_assign(x, ramp(6 * 49, -0.3F, 0.5F));
  expect_same_as_evaluate(g, first, second);
}

// A conv over few positions and many filters runs with its positions as the
// product's rows when its filters are bound (packed at bind), split by
// blocks of filters; given at run time, the filters take the other route.
TEST(PreparedEvaluation, ConvsOverFewPositionsWithBoundFilters) {
  const auto [g, x, w, b, skip] = conv_tail(12, 100);
  const TensorValues weights{{w, ramp(100 * 12 * 9, 0.007F, -3.0F)}, {b, ramp(100, 0.1F, -5.0F)}};
  const TensorValues inputs[] = {{{x, ramp(12 * 49, 0.1F, -0.2F)}, {skip, ramp(100 * 49, -0.02F, 0.3F)}},
                                 {{x, ramp(12 * 49, -0.3F, 0.5F)}, {skip, ramp(100 * 49, 0.01F, -1.0F)}}};
  for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
    SCOPED_TRACE(fmt::format("{} threads", threads));
    Result<PreparedEvaluation> prepared = PreparedEvaluation::make(g, threads);
    ASSERT_TRUE(prepared) << prepared.error();
    ASSERT_TRUE(prepared->bind(weights));
    for (const TensorValues& given : inputs) {
      TensorValues all = given;
      all.insert(weights.begin(), weights.end());
      const Result<TensorValues> expected = evaluate(g, all);
      ASSERT_TRUE(expected) << expected.error();
      const Result<TensorValues> bound = prepared->run(given);
      ASSERT_TRUE(bound) << bound.error();
      EXPECT_EQ(bit_patterns(*bound), bit_patterns(*expected));
    }
  }
  TensorValues first = inputs[0];
  first.insert(weights.begin(), weights.end());
  TensorValues second = inputs[1];
  second.insert(weights.begin(), weights.end());
  expect_same_as_evaluate(g, first, second);
}

// Pools split over the threads by planes, the max pool (which loops over its
// taps and keeps no list of them) included.
TEST(PreparedEvaluation, PoolsSplitByPlanes) {
  Graph g;
  Made made;
  const TensorId x = g.input("x", {1, 8, 40, 40});
  const TensorId most = made(g.apply("most", MaxPool{{3, 3}, {2, 2}, {}, {1, 1, 1, 1}, false}, {x}));
  g.mark_output(made(g.apply("mean", AveragePool{{3, 3}, {1, 1}, {1, 1, 1, 1}, false, false}, {most})));
  ASSERT_TRUE(made.failed.empty()) << made.failed;
  expect_same_as_evaluate(g, {{x, ramp(8 * 40 * 40, 0.01F, -3.0F)}}, {{x, ramp(8 * 40 * 40, -0.02F, 5.0F)}});
}

// Bound values serve every run, a run's own values override them, and a
// bound value is checked as a run's is.
TEST(PreparedEvaluation, BoundValuesServeEveryRun) {
  const std::optional<ConvModel> model = conv_model();
  ASSERT_TRUE(model);
  TensorValues all = model->weights;
  all.emplace(model->image, ramp(3 * 9 * 9, 0.1F, -0.2F));
  const Result<TensorValues> expected = evaluate(model->graph, all);
  ASSERT_TRUE(expected) << expected.error();
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(model->graph, 2);
  ASSERT_TRUE(prepared) << prepared.error();

  EXPECT_EQ(prepared->run({{model->image, ramp(3 * 9 * 9, 0.1F, -0.2F)}}).error(),
            CompileError::graph("evaluate: no value for input w1"));
  ASSERT_TRUE(prepared->bind(model->weights));
  const Result<TensorValues> bound = prepared->run({{model->image, ramp(3 * 9 * 9, 0.1F, -0.2F)}});
  ASSERT_TRUE(bound) << bound.error();
  EXPECT_EQ(bit_patterns(*bound), bit_patterns(*expected));
  // Every value given at run time takes the place of the bound one.
  const Result<TensorValues> overridden = prepared->run(all);
  ASSERT_TRUE(overridden) << overridden.error();
  EXPECT_EQ(bit_patterns(*overridden), bit_patterns(*expected));
  TensorValues other_w1 = {{TensorId{0}, ramp(4 * 3 * 3 * 3, -0.01F, 0.0F)}, {model->image, all.at(model->image)}};
  TensorValues other_all = all;
  other_all.insert_or_assign(TensorId{0}, other_w1.at(TensorId{0}));
  const Result<TensorValues> changed = prepared->run(other_w1);
  ASSERT_TRUE(changed) << changed.error();
  EXPECT_EQ(bit_patterns(*changed), bit_patterns(*evaluate(model->graph, other_all)));
  EXPECT_NE(bit_patterns(*changed), bit_patterns(*expected));

  EXPECT_EQ(prepared->bind({{TensorId{1}, {1.0F}}}).error(),
            CompileError::graph("evaluate: value for b1 has 1 elements, expected 4"));
  // A refused bind keeps what was bound.
  const Result<TensorValues> still = prepared->run({{model->image, all.at(model->image)}});
  ASSERT_TRUE(still) << still.error();
  EXPECT_EQ(bit_patterns(*still), bit_patterns(*expected));
  const TensorId output = model->graph.outputs.front();
  EXPECT_EQ(prepared->bind({{output, {1.0F}}}).error(), CompileError::graph("evaluate: pooled is not an input or weight"));
}

// A bound filter bank's scan for infinities and NaN, done once at bind, must
// not outlive the values it was made for: a run's own filters, finite or
// not, and a later bind are each scanned again. The padded 3x3 conv gives
// NaN where an infinite weight meets the padding, so a stale answer shows.
TEST(PreparedEvaluation, BoundFiltersAreScannedForEachValue) {
  const std::optional<ConvModel> model = conv_model();
  ASSERT_TRUE(model);
  const TensorId w2{2};
  ASSERT_EQ(model->graph.tensors[w2.index].name, "w2");
  std::vector<float> infinite = std::get<std::vector<float>>(model->weights.at(w2));
  infinite[5] = std::numeric_limits<float>::infinity();
  TensorValues infinite_weights = model->weights;
  infinite_weights.insert_or_assign(w2, infinite);
  const TensorData image = ramp(3 * 9 * 9, 0.1F, -0.2F);
  const auto expected = [&](const TensorValues& weights) {
    TensorValues all = weights;
    all.emplace(model->image, image);
    const Result<TensorValues> outputs = evaluate(model->graph, all);
    EXPECT_TRUE(outputs) << outputs.error();
    return outputs ? bit_patterns(*outputs) : std::map<TensorId, std::vector<std::uint64_t>>{};
  };
  ASSERT_NE(expected(model->weights), expected(infinite_weights));

  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(model->graph, 1);
  ASSERT_TRUE(prepared) << prepared.error();
  ASSERT_TRUE(prepared->bind(model->weights));
  const Result<TensorValues> given = prepared->run({{model->image, image}, {w2, infinite}});
  ASSERT_TRUE(given) << given.error();
  EXPECT_EQ(bit_patterns(*given), expected(infinite_weights));

  ASSERT_TRUE(prepared->bind(infinite_weights));
  const Result<TensorValues> bound = prepared->run({{model->image, image}});
  ASSERT_TRUE(bound) << bound.error();
  EXPECT_EQ(bit_patterns(*bound), expected(infinite_weights));
  const Result<TensorValues> finite = prepared->run({{model->image, image}, {w2, model->weights.at(w2)}});
  ASSERT_TRUE(finite) << finite.error();
  EXPECT_EQ(bit_patterns(*finite), expected(model->weights));
}

// Max and average pools run planned, split by planes; every variant of
// window equals the one-shot kernel on every thread count.
TEST(PreparedEvaluation, PoolsEqualEvaluate) {
  struct Case {
    std::string label;
    OpKind kind;
  };
  const std::vector<Case> cases = {
      {"max 3x3 stride 2 padded", MaxPool{{3, 3}, {2, 2}, {}, {1, 1, 1, 1}, false}},
      {"max dilated, ceil mode", MaxPool{{2, 2}, {2, 2}, {2, 2}, {0, 0, 1, 1}, true}},
      {"average without padding counted", AveragePool{{3, 3}, {2, 2}, {1, 1, 1, 1}, true, false}},
      {"average with padding counted", AveragePool{{3, 3}, {1, 1}, {1, 1, 1, 1}, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Graph graph;
    const TensorId x = graph.input("x", {2, 8, 23, 23});
    Made made;
    const TensorId pooled = made(graph.apply("pooled", c.kind, {x}));
    graph.mark_output(made(graph.apply("relu", Relu{}, {pooled})));
    ASSERT_TRUE(made.failed.empty()) << made.failed;
    expect_same_as_evaluate(graph, {{x, ramp(2 * 8 * 23 * 23, 0.01F, -3.0F)}},
                            {{x, ramp(2 * 8 * 23 * 23, -0.02F, 1.0F)}});
    Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(prepared->passes(), 1U);
  }
}

TEST(PreparedEvaluation, IntegerAndBooleanTensorsEqualEvaluate) {
  // Integer arithmetic, comparisons, a select and casts between the types,
  // with an intermediate and a source among the outputs.
  Graph graph;
  const TensorId a = graph.input("a", {2, 3}, DType::I64);
  const TensorId b = graph.input("b", {3}, DType::I64);
  const TensorId x = graph.input("x", {2, 3});
  Made made;
  const TensorId sum = made(graph.apply("sum", Add{}, {a, b}));
  const TensorId product = made(graph.mul("product", sum, a));
  const TensorId less = made(graph.apply("less", Less{}, {product, sum}));
  const TensorId as_float = made(graph.apply("as_float", Cast{DType::F32}, {product}));
  const TensorId scaled = made(graph.apply("scaled", Mul{}, {as_float, x}));
  const TensorId chosen = made(graph.apply("chosen", Where{}, {less, scaled, x}));
  const TensorId back = made(graph.apply("back", Cast{DType::I64}, {chosen}));
  ASSERT_EQ(made.failed, "");
  graph.mark_output(back);
  graph.mark_output(less);
  graph.mark_output(chosen);
  graph.mark_output(b);
  const auto values = [&](std::vector<std::int64_t> first, std::vector<float> floats) {
    TensorValues v;
    v[a] = std::move(first);
    v[b] = std::vector<std::int64_t>{-3, 0, 7};
    v[x] = std::vector<float>(floats);
    return v;
  };
  expect_same_as_evaluate(graph, values({1, -2, 3, 40, -50, 6}, {0.5F, -1.25F, 3.0F, 1e-3F, -7.5F, 2.0F}),
                          values({-9, 8, 0, 1, 2, -3}, {4.0F, 0.25F, -2.0F, 9.5F, 1.0F, -0.125F}));
}

// Element-wise chains: how many passes a run makes, and the bits of each output.
TEST(PreparedEvaluation, FusesElementwiseChainsOnlyWhereIntermediatesAreUnseen) {
  struct Case {
    const char* name;
    bool erf_is_output;     // an intermediate of the chain is a graph output
    bool erf_read_twice;    // an intermediate of the chain has a second reader
    std::size_t passes;
  };
  const Case cases[] = {
      {"whole chain", false, false, 2},
      {"intermediate is an output", true, false, 3},
      {"intermediate read twice", false, true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // x @ w + bias, then the erf GELU as exporters write it.
    Graph graph;
    Made made;
    const TensorId x = graph.input("x", {70, 40});
    const TensorId w = graph.weight("w", {40, 160});
    const TensorId bias = graph.weight("bias", {160});
    const TensorId root2 = graph.weight("root2", {1});
    const TensorId one = graph.weight("one", {1});
    const TensorId half = graph.weight("half", {1});
    const TensorId product = made(graph.matmul("product", x, w));
    const TensorId biased = made(graph.apply("biased", Add{}, {product, bias}));
    const TensorId divided = made(graph.apply("divided", Div{}, {biased, root2}));
    const TensorId erf = made(graph.erf("erf", divided));
    const TensorId plus = made(graph.apply("plus", Add{}, {erf, one}));
    const TensorId gated = made(graph.apply("gated", Mul{}, {biased, plus}));
    const TensorId out = made(graph.apply("out", Mul{}, {gated, half}));
    if (c.erf_read_twice) {
      graph.mark_output(made(graph.apply("also", Add{}, {erf, half})));
    }
    if (c.erf_is_output) {
      graph.mark_output(erf);
    }
    graph.mark_output(out);
    ASSERT_EQ(made.failed, "");
    TensorValues first;
    first[x] = ramp(70 * 40, 0.03F, 0.0F);
    first[w] = ramp(40 * 160, 0.01F, -0.02F);
    first[bias] = ramp(160, 0.1F, 0.0F);
    first[root2] = {1.41421354F};
    first[one] = {1.0F};
    first[half] = {0.5F};
    TensorValues second = first;
    second[x] = ramp(70 * 40, -0.07F, 0.5F);
    Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
    ASSERT_TRUE(prepared) << prepared.error();
    // Matrix product, bias and GELU in one pass unless the erf must be kept.
    EXPECT_EQ(prepared->passes(), c.passes);
    expect_same_as_evaluate(graph, first, second);
  }
}

// Single products big enough to be split over threads, by blocks of output
// columns (a last block short, one block only, fewer blocks than threads so
// the split goes by rows), each continued by a chain reading a broadcast
// bias and a same-shape operand.
TEST(PreparedEvaluation, SplitProductsAndTheirChainsEqualEvaluate) {
  struct Case {
    std::uint64_t rows;
    std::uint64_t inner;
    std::uint64_t columns;
  };
  const Case cases[] = {{20, 40, 100}, {7, 300, 48}, {33, 64, 7}, {128, 24, 200}, {1, 900, 130}, {50, 50, 96}};
  for (const Case& c : cases) {
    SCOPED_TRACE(fmt::format("{}x{}x{}", c.rows, c.inner, c.columns));
    Graph graph;
    Made made;
    const TensorId x = graph.input("x", {c.rows, c.inner});
    const TensorId w = graph.weight("w", {c.inner, c.columns});
    const TensorId bias = graph.weight("bias", {c.columns});
    const TensorId gate = graph.input("gate", {c.rows, c.columns});
    const TensorId product = made(graph.matmul("product", x, w));
    const TensorId biased = made(graph.apply("biased", Add{}, {product, bias}));
    const TensorId erf = made(graph.erf("erf", biased));
    const TensorId out = made(graph.apply("out", Mul{}, {erf, gate}));
    ASSERT_EQ(made.failed, "");
    graph.mark_output(out);
    TensorValues first;
    first[x] = ramp(c.rows * c.inner, 0.03F, 0.01F);
    first[w] = ramp(c.inner * c.columns, 0.01F, -0.02F);
    first[bias] = ramp(c.columns, 0.1F, 0.0F);
    first[gate] = ramp(c.rows * c.columns, 0.2F, 1.0F);
    TensorValues second = first;
    second[x] = ramp(c.rows * c.inner, -0.07F, 0.5F);
    second[w] = ramp(c.inner * c.columns, 0.02F, 0.03F);
    const Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(prepared->passes(), 1U);
    expect_same_as_evaluate(graph, first, second);

    // A bound right matrix is packed once at bind; a run that gives its own
    // uses that one instead.
    const Result<TensorValues> expected_first = evaluate(graph, first);
    const Result<TensorValues> expected_second = evaluate(graph, second);
    ASSERT_TRUE(expected_first && expected_second);
    for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
      SCOPED_TRACE(fmt::format("bound, {} threads", threads));
      Result<PreparedEvaluation> bound = PreparedEvaluation::make(graph, threads);
      ASSERT_TRUE(bound) << bound.error();
      ASSERT_TRUE(bound->bind({{w, first[w]}, {bias, first[bias]}}));
      const Result<TensorValues> from_bound = bound->run({{x, first[x]}, {gate, first[gate]}});
      ASSERT_TRUE(from_bound) << from_bound.error();
      EXPECT_EQ(bit_patterns(*from_bound), bit_patterns(*expected_first));
      const Result<TensorValues> given = bound->run({{x, second[x]}, {w, second[w]}, {gate, second[gate]}});
      ASSERT_TRUE(given) << given.error();
      EXPECT_EQ(bit_patterns(*given), bit_patterns(*expected_second));
    }
  }
}

// Slices of float tensors along the first, a middle and the last axis, read
// as planned copies: alone, continued by a chain, and feeding a product.
TEST(PreparedEvaluation, SlicesEqualEvaluate) {
  Graph graph;
  Made made;
  const TensorId x = graph.input("x", {6, 5, 40});
  const TensorId w = graph.weight("w", {16, 30});
  const TensorId head = made(graph.apply("head", Slice{.axis = 0, .start = 2, .end = 5}, {x}));
  const TensorId middle = made(graph.apply("middle", Slice{.axis = 1, .start = 1, .end = 4}, {x}));
  const TensorId last = made(graph.apply("last", Slice{.axis = 2, .start = 24, .end = 40}, {x}));
  const TensorId shifted = made(graph.apply("shifted", Add{}, {middle, middle}));
  const TensorId rows = made(graph.reshape("rows", last, {30, 16}));
  const TensorId product = made(graph.matmul("product", rows, w));
  ASSERT_EQ(made.failed, "");
  graph.mark_output(head);
  graph.mark_output(shifted);
  graph.mark_output(product);
  TensorValues first;
  first[x] = ramp(6 * 5 * 40, 0.05F, -0.3F);
  first[w] = ramp(16 * 30, 0.01F, 0.02F);
  TensorValues second = first;
  second[x] = ramp(6 * 5 * 40, -0.02F, 0.7F);
  expect_same_as_evaluate(graph, first, second);
}

// A product, then reshapes and transposes between element-wise steps: those
// that keep the element order continue the pass; a transpose that reorders
// elements, or a reshape of a value someone else also reads, starts a new one.
TEST(PreparedEvaluation, OrderKeepingReshapesContinueTheirPass) {
  struct Case {
    const char* name;
    bool reordering_transpose;  // the transpose swaps two axes longer than 1
    bool product_read_twice;    // the product also feeds a graph output
    std::size_t passes;
  };
  const Case cases[] = {
      {"order kept throughout", false, false, 1},
      {"elements reordered", true, false, 2},
      {"product read twice", false, true, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    Made made;
    const TensorId x = graph.input("x", {24, 30});
    const TensorId w = graph.weight("w", {30, 60});
    const TensorId bias = graph.weight("bias", {60});
    const TensorId scale = graph.weight("scale", {1});
    const TensorId product = made(graph.matmul("product", x, w));
    const TensorId unit = made(graph.reshape("unit", product, {24, 1, 60}));
    const TensorId biased = made(graph.apply("biased", Add{}, {unit, bias}));
    const std::vector<std::uint64_t> permutation =
        c.reordering_transpose ? std::vector<std::uint64_t>{2, 1, 0} : std::vector<std::uint64_t>{1, 0, 2};
    const TensorId moved = made(graph.apply("moved", Transpose{.permutation = permutation}, {biased}));
    const TensorId erf = made(graph.erf("erf", moved));
    const TensorId flat = made(graph.reshape("flat", erf, {1440}));
    const TensorId out = made(graph.apply("out", Mul{}, {flat, scale}));
    if (c.product_read_twice) {
      graph.mark_output(made(graph.apply("also", Add{}, {product, product})));
    }
    graph.mark_output(out);
    ASSERT_EQ(made.failed, "");
    TensorValues first;
    first[x] = ramp(24 * 30, 0.03F, 0.0F);
    first[w] = ramp(30 * 60, 0.01F, -0.02F);
    first[bias] = ramp(60, 0.1F, 0.0F);
    first[scale] = {0.5F};
    TensorValues second = first;
    second[x] = ramp(24 * 30, -0.07F, 0.5F);
    const Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(prepared->passes(), c.passes);
    expect_same_as_evaluate(graph, first, second);
  }
}

// Slices, reshapes and transposes in a row are one copy reading through the
// strides they make together, where strides can say it; a product whose
// right operand, or whose left one with its rows in order, is such a copy
// reads the copy's source instead, and the copy never runs; so does a
// transpose of a product that keeps the product's rows in order, the
// product writing where it would have copied. The attention case splits
// packed projections into heads and joins them again.
TEST(PreparedEvaluation, ViewsOfViewsAreOneCopyOrNoneBeforeAProduct) {
  const Transpose heads_first{.permutation = {1, 0, 2}};
  const Transpose keys_across{.permutation = {1, 2, 0}};
  struct Case {
    const char* name;
    std::size_t passes;
    std::function<void(Graph&, Made&, TensorId)> build;  // from x, a [6, 24] input
  };
  const Case cases[] = {
      {"attention heads from one projection", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const auto head = [&](const char* name, std::uint64_t start, const Transpose& order) {
           const TensorId part = made(g.apply(fmt::format("{}_part", name), Slice{.axis = 1, .start = start, .end = start + 8}, {x}));
           const TensorId split = made(g.reshape(fmt::format("{}_split", name), part, {6, 2, 4}));
           return made(g.apply(name, order, {split}));
         };
         const TensorId query = head("query", 0, heads_first);
         const TensorId keys = head("keys", 8, keys_across);
         const TensorId values = head("values", 16, heads_first);
         const TensorId scores = made(g.apply("scores", BatchMatMul{}, {query, keys}));
         const TensorId mixed = made(g.apply("mixed", BatchMatMul{}, {scores, values}));
         const TensorId joined = made(g.apply("joined", heads_first, {mixed}));
         g.mark_output(made(g.reshape("rows", joined, {6, 8})));
       }},
      {"product transposed into another product's operand", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId cube = made(g.reshape("cube", x, {2, 6, 12}));
         const TensorId first = made(g.apply("first", BatchMatMul{}, {cube, g.input("w", {2, 12, 5})}));
         const TensorId turned = made(g.apply("turned", heads_first, {first}));
         g.mark_output(made(g.apply("second", BatchMatMul{}, {g.input("v", {6, 3, 2}), turned})));
       }},
      {"product transposed with its rows moved", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId cube = made(g.reshape("cube", x, {2, 6, 12}));
         const TensorId product = made(g.apply("product", BatchMatMul{}, {cube, g.input("w", {2, 12, 5})}));
         g.mark_output(made(g.apply("turned", Transpose{.permutation = {0, 2, 1}}, {product})));
       }},
      {"transposed right matrix split by columns", 1,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId right = made(g.apply("right", Transpose{.permutation = {1, 0}}, {g.input("w", {100, 24})}));
         g.mark_output(made(g.matmul("product", x, right)));
       }},
      {"left matrix transposed within its rows", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId left = made(g.apply("left", Transpose{.permutation = {1, 0}}, {x}));
         g.mark_output(made(g.matmul("product", left, g.input("w", {6, 10}))));
       }},
      {"slice of a transpose of a slice", 1,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId part = made(g.apply("part", Slice{.axis = 1, .start = 3, .end = 21}, {x}));
         const TensorId cube = made(g.reshape("cube", part, {2, 3, 3, 6}));
         const TensorId turned = made(g.apply("turned", Transpose{.permutation = {3, 1, 0, 2}}, {cube}));
         g.mark_output(made(g.apply("corner", Slice{.axis = 0, .start = 1, .end = 5}, {turned})));
       }},
      {"reshape that strides cannot say", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId turned = made(g.apply("turned", Transpose{.permutation = {1, 0}}, {x}));
         const TensorId flat = made(g.reshape("flat", turned, {144}));
         g.mark_output(made(g.apply("tail", Slice{.axis = 0, .start = 5, .end = 140}, {flat})));
       }},
      {"copy also kept as an output", 2,
       [&](Graph& g, Made& made, TensorId x) {
         const TensorId right = made(g.apply("right", Transpose{.permutation = {1, 0}}, {x}));
         g.mark_output(right);
         g.mark_output(made(g.matmul("product", g.input("left", {40, 24}), right)));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    Made made;
    const TensorId x = graph.input("x", {6, 24});
    c.build(graph, made, x);
    ASSERT_EQ(made.failed, "");
    TensorValues first;
    TensorValues second;
    for (std::size_t index = 0; index < graph.tensors.size(); ++index) {
      const Tensor& tensor = graph.tensors[index];
      if (tensor.kind == TensorKind::Input) {
        first[tensor.id] = ramp(tensor.elements(), 0.03F, 0.1F * static_cast<float>(index));
        second[tensor.id] = ramp(tensor.elements(), -0.05F, 0.7F);
      }
    }
    const Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
    ASSERT_TRUE(prepared) << prepared.error();
    EXPECT_EQ(prepared->passes(), c.passes);
    expect_same_as_evaluate(graph, first, second);
  }
}

TEST(PreparedEvaluation, RefusesWhatEvaluateRefusesWithItsTexts) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId n = graph.input("n", {2}, DType::I64);
  const TensorId d = graph.input("d", {2}, DType::I64);
  const TensorId y = *graph.gelu("y", x);
  const TensorId q = *graph.div("q", n, d);
  graph.mark_output(y);
  graph.mark_output(q);
  const TensorValues good{{x, {1.0F, 2.0F, 3.0F, 4.0F}},
                          {n, std::vector<std::int64_t>{4, 9}},
                          {d, std::vector<std::int64_t>{2, 3}}};
  struct Case {
    const char* name;
    TensorValues values;
    std::string message;
  };
  const auto with = [&](TensorId id, TensorData data) {
    TensorValues values = good;
    values[id] = std::move(data);
    return values;
  };
  const auto without = [&](TensorId id) {
    TensorValues values = good;
    values.erase(id);
    return values;
  };
  const Case cases[] = {
      {"missing input", without(x), "evaluate: no value for input x"},
      {"wrong type", with(x, std::vector<std::int64_t>{1, 2, 3, 4}), "evaluate: value for x is I64, expected F32"},
      {"wrong count", with(x, {1.0F}), "evaluate: value for x has 1 elements, expected 4"},
      {"value for a computed tensor", with(y, {1.0F, 2.0F, 3.0F, 4.0F}), "evaluate: y is not an input or weight"},
      {"unknown id", with(TensorId{99}, {1.0F}), "evaluate: TensorId(99) is not an input or weight"},
      {"integer division by zero", with(d, std::vector<std::int64_t>{2, 0}),
       "evaluate: q: integer division by zero"},
  };
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(graph, 2);
  ASSERT_TRUE(prepared) << prepared.error();
  TensorValues kept;
  ASSERT_TRUE(prepared->run(good, kept));
  const auto kept_bits = bit_patterns(kept);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<TensorValues> one_shot = evaluate(graph, c.values);
    ASSERT_FALSE(one_shot);
    EXPECT_EQ(one_shot.error(), CompileError::graph(c.message));
    const Result<TensorValues> run = prepared->run(c.values);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error(), CompileError::graph(c.message));
    // A failed run leaves the caller's outputs as they were.
    EXPECT_FALSE(prepared->run(c.values, kept));
    EXPECT_EQ(bit_patterns(kept), kept_bits);
  }
  // And the next good run is right again.
  const Result<TensorValues> again = prepared->run(good);
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(bit_patterns(*again), kept_bits);
}

TEST(PreparedEvaluation, RefusesGraphsAndThreadCounts) {
  Graph no_outputs;
  static_cast<void>(no_outputs.input("x", {2}));
  Graph valid;
  valid.mark_output(*valid.gelu("y", valid.input("x", {2})));
  Graph wrong_shape = valid;
  wrong_shape.tensors[1].shape = {3};
  struct Case {
    const char* name;
    const Graph* graph;
    std::size_t threads;
    std::string message;
  };
  const Case cases[] = {
      {"no outputs", &no_outputs, 1, "graph has no outputs"},
      {"operation's output shape", &wrong_shape, 1, "invalid op y"},
      {"no threads", &valid, 0, "prepared evaluation: thread count 0 is not between 1 and 256"},
      {"too many threads", &valid, 257, "prepared evaluation: thread count 257 is not between 1 and 256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<PreparedEvaluation> prepared = PreparedEvaluation::make(*c.graph, c.threads);
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error(), CompileError::graph(c.message));
    if (c.threads == 1) {
      EXPECT_EQ(evaluate(*c.graph, {}).error(), prepared.error());
    }
  }
  EXPECT_GE(default_thread_count(), 1U);
}

TEST(PreparedEvaluation, OutputStorageHandedBackIsReused) {
  const EncoderConfig config{8, 16, 2, 32};
  const Result<Graph> graph = encoder_graph(config);
  ASSERT_TRUE(graph) << graph.error();
  const TensorValues values = encoder_values(*graph, config, 1, ramp(8 * 16, 0.1F, 0.0F),
                                             EncoderWeights::deterministic(config));
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(*graph, 2);
  ASSERT_TRUE(prepared) << prepared.error();
  const TensorId output = graph->outputs.front();
  // A stale entry goes; an entry of the wrong type is replaced.
  TensorValues outputs{{TensorId{0}, {1.0F}}, {output, std::vector<std::int64_t>{1}}};
  ASSERT_TRUE(prepared->run(values, outputs));
  ASSERT_EQ(outputs.size(), 1U);
  const float* const storage = std::get<std::vector<float>>(outputs.at(output)).data();
  ASSERT_TRUE(prepared->run(values, outputs));
  EXPECT_EQ(std::get<std::vector<float>>(outputs.at(output)).data(), storage);
  EXPECT_EQ(bit_patterns(outputs), bit_patterns(*evaluate(*graph, values)));
}

#if defined(__SANITIZE_ADDRESS__)
// Allocations on any thread while `counting` is set; the one test that reads
// them sets and clears it around the calls it checks.
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

void count_allocation(const volatile void* /*pointer*/, std::size_t /*size*/) {
  if (counting.load()) {
    allocations.fetch_add(1);
  }
}

void ignore_free(const volatile void* /*pointer*/) {}

std::optional<Graph> graph_of_one_gelu() {
  Graph graph;
  const Result<TensorId> y = graph.gelu("y", graph.input("x", {2}));
  if (!y) {
    return std::nullopt;
  }
  graph.mark_output(*y);
  return graph;
}
#endif

TEST(PreparedEvaluation, SteadyRunsAllocateNothing) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "allocations are counted through the address sanitizer's hooks";
#else
  static const int installed = __sanitizer_install_malloc_and_free_hooks(&count_allocation, &ignore_free);
  ASSERT_NE(installed, 0);
  // The hooks see what evaluate allocates.
  const std::optional<Graph> gelu = graph_of_one_gelu();
  ASSERT_TRUE(gelu);
  counting.store(true);
  const Result<TensorValues> one_shot = evaluate(*gelu, {{TensorId{0}, {1.0F, 2.0F}}});
  counting.store(false);
  ASSERT_TRUE(one_shot);
  ASSERT_GT(allocations.load(), 0U);
  const EncoderConfig config{16, 32, 2, 64};
  const Result<Graph> graph = encoder_stack_graph(config, 2);
  ASSERT_TRUE(graph) << graph.error();
  const TensorValues values = encoder_values(*graph, config, 2, ramp(16 * 32, 0.1F, 0.0F),
                                             EncoderWeights::deterministic(config));
  for (const std::size_t threads : {1U, 2U, 3U}) {
    SCOPED_TRACE(fmt::format("{} threads", threads));
    Result<PreparedEvaluation> prepared = PreparedEvaluation::make(*graph, threads);
    ASSERT_TRUE(prepared) << prepared.error();
    TensorValues outputs;
    ASSERT_TRUE(prepared->run(values, outputs));
    allocations.store(0);
    counting.store(true);
    const bool first = prepared->run(values, outputs).has_value();
    const bool second = prepared->run(values, outputs).has_value();
    counting.store(false);
    EXPECT_TRUE(first && second);
    EXPECT_EQ(allocations.load(), 0U);
  }
  // Convs keep their workspace between runs; bound weights are not copied.
  const std::optional<ConvModel> model = conv_model(false);
  ASSERT_TRUE(model);
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(model->graph, 2);
  ASSERT_TRUE(prepared) << prepared.error();
  ASSERT_TRUE(prepared->bind(model->weights));
  const TensorValues image{{model->image, ramp(3 * 9 * 9, 0.1F, -0.2F)}};
  TensorValues outputs;
  ASSERT_TRUE(prepared->run(image, outputs));
  allocations.store(0);
  counting.store(true);
  const bool ran = prepared->run(image, outputs).has_value();
  counting.store(false);
  EXPECT_TRUE(ran);
  EXPECT_EQ(allocations.load(), 0U);
#endif
}

TEST(PreparedEvaluation, ArenaSharesMemoryBetweenLifetimes) {
  // Two stacked layers: the second reuses the first's intermediates' memory,
  // so the arena holds less than every intermediate at once.
  const EncoderConfig config{16, 32, 2, 64};
  const Result<Graph> graph = encoder_stack_graph(config, 2);
  ASSERT_TRUE(graph) << graph.error();
  std::uint64_t all = 0;
  for (const Tensor& tensor : graph->tensors) {
    if (tensor.producer.has_value()) {
      all += tensor.elements() * 4;
    }
  }
  const Result<PreparedEvaluation> prepared = PreparedEvaluation::make(*graph, 1);
  ASSERT_TRUE(prepared) << prepared.error();
  EXPECT_GT(prepared->arena_bytes(), 0U);
  EXPECT_LT(prepared->arena_bytes(), all / 2);
}

#ifdef ORVO_ONNX_FIXTURES
TEST(PreparedEvaluation, ImportedFixturesEqualEvaluate) {
  const std::filesystem::path fixtures = ORVO_ONNX_FIXTURES;
  for (const char* folder : {"prenorm_manual", "torch_encoder_postnorm", "torch_encoder_opset14",
                             "torch_encoder_stack2", "torch_causal_decoder", "torch_relu_mlp",
                             "torch_token_embedding"}) {
    SCOPED_TRACE(folder);
    std::ifstream file(fixtures / folder / "meta.json");
    const nlohmann::json meta = nlohmann::json::parse(file);
    ImportOptions options;
    for (const auto& [symbol, value] : meta["symbols"].items()) {
      options.dimensions.emplace(symbol, value.get<std::uint64_t>());
    }
    const Result<ImportedModel> model = import_onnx(fixtures / folder / "model.onnx", options);
    ASSERT_TRUE(model) << model.error();
    const auto input = read_npy_data(fixtures / folder / meta["inputs"][0]["file"].get<std::string>());
    ASSERT_TRUE(input);
    TensorValues first = model->weights;
    first.emplace(model->graph.tensors.front().id, input->values);
    // The second run's weights differ: every float weight scaled by -0.75.
    TensorValues second = first;
    for (auto& [id, data] : second) {
      if (auto* floats = std::get_if<std::vector<float>>(&data); floats != nullptr && model->weights.contains(id)) {
        for (float& value : *floats) {
          value = value * -0.75F;
        }
      }
    }
    expect_same_as_evaluate(model->graph, first, second);
  }
}
#endif

}  // namespace
}  // namespace orvo_compiler
