// A BERT-base-size encoder as PyTorch exports it to ONNX (MatMul against
// [in, out] initializers plus Add(bias, product), reshape/transpose heads,
// LayerNormalization, erf GELU, weights in raw_data), written with the tests'
// model builder; shared by the importer and evaluation benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include "onnx/model_builder.hpp"

namespace orvo_compiler::bench_support {

using test_support::add_float_constant;
using test_support::add_initializer;
using test_support::add_int64_constant;
using test_support::add_node;
using test_support::set_attribute;
using Ints = std::vector<std::int64_t>;

struct Bert {
  std::int64_t layers = 12;
  std::int64_t sequence = 128;
  std::int64_t width = 768;
  std::int64_t heads = 12;
  std::int64_t feed_forward = 3072;
};

// Values of a fixed linear congruential sequence, small enough to stay finite.
inline std::vector<float> filled(std::int64_t count, std::uint32_t seed) {
  std::vector<float> values(static_cast<std::size_t>(count));
  std::uint32_t state = seed;
  for (float& value : values) {
    state = state * 1664525U + 1013904223U;
    value = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / 1e9F;
  }
  return values;
}

// Builds model nodes for one layer; names follow PyTorch's module scopes.
class LayerWriter {
 public:
  LayerWriter(onnx::ModelProto& model, const Bert& bert, std::int64_t layer)
      : model_(model), bert_(bert), scope_(fmt::format("/layers.{}", layer)), seed_(static_cast<std::uint32_t>(layer)) {}

  // MatMul against a fresh [in, out] weight, then Add(bias, product).
  std::string linear(const std::string& input, const std::string& module, std::int64_t in, std::int64_t out) {
    const std::string weight = fmt::format("onnx::MatMul_{}{}", scope_, module);
    const std::string bias = fmt::format("layers{}.{}.bias", scope_, module);
    add_initializer(model_, weight, {in, out}, filled(in * out, ++seed_));
    add_initializer(model_, bias, {out}, filled(out, ++seed_));
    const std::string product = value(module + "/MatMul");
    add_node(model_, "MatMul", {input, weight}, {product}, scope_ + "/" + module + "/MatMul");
    const std::string sum = value(module + "/Add");
    add_node(model_, "Add", {bias, product}, {sum}, scope_ + "/" + module + "/Add");
    return sum;
  }

  std::string node(const std::string& op_type, const std::vector<std::string>& inputs, const std::string& name) {
    const std::string output = value(name);
    add_node(model_, op_type, inputs, {output}, scope_ + "/" + name);
    return output;
  }

  std::string constant(const std::string& name, const Ints& values) {
    const std::string output = value(name);
    add_int64_constant(model_, output, {static_cast<std::int64_t>(values.size())}, values);
    return output;
  }

  std::string scalar(const std::string& name, float value_of) {
    const std::string output = value(name);
    add_float_constant(model_, output, {}, {value_of});
    return output;
  }

  std::string transpose(const std::string& input, const Ints& permutation, const std::string& name) {
    const std::string output = node("Transpose", {input}, name);
    set_attribute(*model_.mutable_graph()->mutable_node(model_.graph().node_size() - 1), "perm", permutation);
    return output;
  }

  std::string layer_norm(const std::string& input, const std::string& module) {
    const std::string scale = fmt::format("layers{}.{}.weight", scope_, module);
    const std::string bias = fmt::format("layers{}.{}.bias", scope_, module);
    add_initializer(model_, scale, {bert_.width}, filled(bert_.width, ++seed_));
    add_initializer(model_, bias, {bert_.width}, filled(bert_.width, ++seed_));
    const std::string output = node("LayerNormalization", {input, scale, bias}, module + "/LayerNormalization");
    onnx::NodeProto& norm = *model_.mutable_graph()->mutable_node(model_.graph().node_size() - 1);
    set_attribute(norm, "axis", std::int64_t{-1});
    set_attribute(norm, "epsilon", 1e-5F);
    return output;
  }

 private:
  std::string value(const std::string& name) const { return fmt::format("{}/{}_output_0", scope_, name); }

  onnx::ModelProto& model_;
  const Bert& bert_;
  std::string scope_;
  std::uint32_t seed_;
};

inline std::string attention(LayerWriter& w, const Bert& bert, const std::string& x) {
  const std::int64_t head = bert.width / bert.heads;
  const std::string heads_shape = w.constant("Constant", {1, bert.sequence, bert.heads, head});
  const auto split = [&](const std::string& module, const Ints& permutation) {
    const std::string projected = w.linear(x, module, bert.width, bert.width);
    return w.transpose(w.node("Reshape", {projected, heads_shape}, module + "/Reshape"), permutation,
                       module + "/Transpose");
  };
  const std::string q = split("query", {0, 2, 1, 3});
  const std::string k = split("key", {0, 2, 3, 1});
  const std::string v = split("value", {0, 2, 1, 3});
  const std::string scores = w.node("MatMul", {q, k}, "MatMul");
  const std::string scaled = w.node("Div", {scores, w.scalar("Constant_1", 8.0F)}, "Div");
  const std::string probabilities = w.node("Softmax", {scaled}, "Softmax");
  const std::string context = w.node("MatMul", {probabilities, v}, "MatMul_1");
  const std::string merged = w.node(
      "Reshape",
      {w.transpose(context, {0, 2, 1, 3}, "Transpose"), w.constant("Constant_2", {1, bert.sequence, bert.width})},
      "Reshape");
  return w.linear(merged, "output", bert.width, bert.width);
}

inline std::string feed_forward(LayerWriter& w, const Bert& bert, const std::string& x) {
  const std::string hidden = w.linear(x, "intermediate", bert.width, bert.feed_forward);
  const std::string erf = w.node("Erf", {w.node("Div", {hidden, w.scalar("Constant_3", 1.4142135F)}, "Div_1")}, "Erf");
  const std::string gate = w.node("Add", {erf, w.scalar("Constant_4", 1.0F)}, "Add_1");
  const std::string gelu =
      w.node("Mul", {w.node("Mul", {hidden, gate}, "Mul"), w.scalar("Constant_5", 0.5F)}, "Mul_1");
  return w.linear(gelu, "ffn_output", bert.feed_forward, bert.width);
}

inline std::vector<std::uint8_t> bert_bytes(const Bert& bert) {
  onnx::ModelProto model = test_support::make_model();
  test_support::add_input(model, "input", {1, bert.sequence, bert.width});
  std::string x = "input";
  for (std::int64_t layer = 0; layer < bert.layers; ++layer) {
    LayerWriter w(model, bert, layer);
    const std::string attended = w.layer_norm(w.node("Add", {x, attention(w, bert, x)}, "Add"), "norm1");
    x = w.layer_norm(w.node("Add", {attended, feed_forward(w, bert, attended)}, "Add_2"), "norm2");
  }
  model.mutable_graph()->mutable_node(model.graph().node_size() - 1)->set_output(0, "output");
  test_support::add_output(model, "output", std::vector<test_support::Dim>{1, bert.sequence, bert.width});
  return test_support::serialize(model);
}

}  // namespace orvo_compiler::bench_support
