// Pattern fusion by matching backwards from each candidate's last node.
// Products are flattened into a coefficient (the product of their constant
// factors) and a list of run-time factors, which makes the GELU match blind
// to grouping and operand order. Matching never changes a node it rejects.
#include "onnx/fuse_patterns.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <optional>

#include <fmt/format.h>

#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

constexpr double tolerance = 1e-4;

bool near(double value, double expected) { return std::abs(value - expected) <= tolerance * std::abs(expected); }

// A product: the constant coefficient, the run-time factors and the nodes
// that form it.
struct Factors {
  double coefficient = 1.0;
  std::vector<std::string> values;
  std::vector<std::size_t> nodes;
};

class Matcher {
 public:
  Matcher(const Folded& folded, const std::set<std::string>& outputs) : folded_(folded) {
    for (std::size_t index = 0; index < folded.nodes.size(); ++index) {
      for (const std::string& input : folded.nodes[index].inputs) {
        ++uses_[input];
      }
      for (const std::string& output : folded.nodes[index].outputs) {
        producers_.emplace(output, index);
      }
    }
    for (const std::string& output : outputs) {
      ++uses_[output];
    }
    removed_.assign(folded.nodes.size(), false);
  }

  [[nodiscard]] std::size_t uses(const std::string& value) const {
    const auto found = uses_.find(value);
    return found == uses_.end() ? 0 : found->second;
  }

  // The node of type `op_type` computing `value`, used `uses` times in all.
  [[nodiscard]] std::optional<std::size_t> producer(const std::string& value, std::string_view op_type,
                                                    std::size_t expected_uses = 1) const {
    const auto found = producers_.find(value);
    if (found == producers_.end() || removed_[found->second] || uses(value) != expected_uses) {
      return std::nullopt;
    }
    const Node& node = folded_.nodes[found->second];
    if (node.op_type != op_type || !node.domain.empty() || node.inputs.empty()) {
      return std::nullopt;
    }
    return found->second;
  }

  // The value of a one-element float constant.
  [[nodiscard]] std::optional<double> scalar(const std::string& value) const {
    const auto found = folded_.constants.find(value);
    if (found == folded_.constants.end() || !found->second.is_float() || found->second.floats.size() != 1) {
      return std::nullopt;
    }
    return static_cast<double>(found->second.floats[0]);
  }

  [[nodiscard]] const Node& node(std::size_t index) const { return folded_.nodes[index]; }
  [[nodiscard]] const Shape* shape(const std::string& value) const {
    const auto found = folded_.shapes.find(value);
    return found == folded_.shapes.end() ? nullptr : &found->second;
  }

  // Flattens the product computing `value`; `expand` is false for a value
  // used elsewhere, which then counts as one factor.
  void collect(const std::string& value, bool expand, Factors& factors) const {
    if (const std::optional<double> constant = scalar(value)) {
      factors.coefficient *= *constant;
      return;
    }
    const auto found = producers_.find(value);
    if (expand && found != producers_.end() && !removed_[found->second] && node(found->second).domain.empty()) {
      const Node& producer = node(found->second);
      const auto single = [this](const std::string& input) { return uses(input) == 1; };
      if (producer.op_type == "Mul" && producer.inputs.size() == 2) {
        factors.nodes.push_back(found->second);
        collect(producer.inputs[0], single(producer.inputs[0]), factors);
        collect(producer.inputs[1], single(producer.inputs[1]), factors);
        return;
      }
      if (producer.op_type == "Div" && producer.inputs.size() == 2 && scalar(producer.inputs[1])) {
        factors.nodes.push_back(found->second);
        factors.coefficient /= *scalar(producer.inputs[1]);
        collect(producer.inputs[0], single(producer.inputs[0]), factors);
        return;
      }
      const std::optional<double> exponent =
          producer.op_type == "Pow" && producer.inputs.size() == 2 ? scalar(producer.inputs[1]) : std::nullopt;
      if (exponent && (*exponent == 2.0 || *exponent == 3.0)) {
        factors.nodes.push_back(found->second);
        factors.values.insert(factors.values.end(), static_cast<std::size_t>(*exponent), producer.inputs[0]);
        return;
      }
    }
    factors.values.push_back(value);
  }

  // For a two-input node with a constant near `expected` on one side, the
  // other input.
  [[nodiscard]] std::optional<std::string> other_than_constant(const Node& binary, double expected) const {
    for (std::size_t side = 0; side < 2 && binary.inputs.size() == 2; ++side) {
      const std::optional<double> constant = scalar(binary.inputs[side]);
      if (constant && near(*constant, expected)) {
        return binary.inputs[1 - side];
      }
    }
    return std::nullopt;
  }

  void remove(std::size_t index) { removed_[index] = true; }
  [[nodiscard]] bool removed(std::size_t index) const { return removed_[index]; }

 private:
  const Folded& folded_;
  std::map<std::string, std::size_t> uses_;
  std::map<std::string, std::size_t> producers_;
  std::vector<bool> removed_;
};

struct Match {
  std::string input;
  std::vector<std::size_t> nodes;  // without the root
  float epsilon = 0.0F;
};

// sqrt(2/pi) * (x + 0.044715 * x^3), given the tanh's input; the nodes go to `nodes`.
bool match_tanh_argument(const Matcher& matcher, const std::string& argument, const std::string& x,
                         std::vector<std::size_t>& nodes) {
  Factors outer;
  matcher.collect(argument, matcher.uses(argument) == 1, outer);
  if (outer.values.size() != 1 || !near(outer.coefficient, std::numbers::sqrt2 / std::sqrt(std::numbers::pi))) {
    return false;
  }
  const std::optional<std::size_t> sum = matcher.producer(outer.values[0], "Add");
  if (!sum) {
    return false;
  }
  const Node& add = matcher.node(*sum);
  if (add.inputs.size() != 2 || (add.inputs[0] != x && add.inputs[1] != x)) {
    return false;
  }
  const std::string& cubic = add.inputs[0] == x ? add.inputs[1] : add.inputs[0];
  Factors cube;
  matcher.collect(cubic, matcher.uses(cubic) == 1, cube);
  if (cube.values != std::vector<std::string>(3, x) || !near(cube.coefficient, 0.044715)) {
    return false;
  }
  nodes.insert(nodes.end(), outer.nodes.begin(), outer.nodes.end());
  nodes.push_back(*sum);
  nodes.insert(nodes.end(), cube.nodes.begin(), cube.nodes.end());
  return true;
}

// 0.5 * x * (1 + tanh(argument)) ending at the Mul node `root`.
std::optional<Match> match_gelu(const Matcher& matcher, std::size_t root) {
  const std::string& result = matcher.node(root).outputs.front();
  Factors product;
  matcher.collect(result, true, product);
  if (product.values.size() != 2 || !near(product.coefficient, 0.5)) {
    return std::nullopt;
  }
  for (std::size_t side = 0; side < 2; ++side) {
    const std::string& x = product.values[side];
    const std::optional<std::size_t> plus_one = matcher.producer(product.values[1 - side], "Add");
    const std::optional<std::string> hyperbolic =
        plus_one ? matcher.other_than_constant(matcher.node(*plus_one), 1.0) : std::nullopt;
    const std::optional<std::size_t> tanh = hyperbolic ? matcher.producer(*hyperbolic, "Tanh") : std::nullopt;
    if (!tanh) {
      continue;
    }
    std::vector<std::size_t> nodes = product.nodes;
    nodes.push_back(*plus_one);
    nodes.push_back(*tanh);
    const Shape* input_shape = matcher.shape(x);
    const Shape* output_shape = matcher.shape(result);
    if (match_tanh_argument(matcher, matcher.node(*tanh).inputs[0], x, nodes) && input_shape != nullptr &&
        output_shape != nullptr && *input_shape == *output_shape) {
      std::erase(nodes, root);
      return Match{x, std::move(nodes), 0.0F};
    }
  }
  return std::nullopt;
}

// Whether the ReduceMean node `index` averages the last axis of `input`, keeping it.
bool is_last_axis_mean(const Matcher& matcher, std::size_t index, const std::string& input) {
  const Node& mean = matcher.node(index);
  const Shape* shape = matcher.shape(input);
  if (mean.inputs[0] != input || shape == nullptr) {
    return false;
  }
  const Result<bool> keeps = reduce_mean_keeps_axis(mean, shape->size());
  return keeps && *keeps;
}

// (x - mean(x)) / sqrt(mean((x - mean(x))^2) + epsilon) ending at the Div node `root`.
std::optional<Match> match_layer_norm(const Matcher& matcher, std::size_t root) {
  const Node& divide = matcher.node(root);
  if (divide.inputs.size() != 2) {
    return std::nullopt;
  }
  const std::string& centred = divide.inputs[0];
  const std::optional<std::size_t> root_node = matcher.producer(divide.inputs[1], "Sqrt");
  const std::optional<std::size_t> shifted = root_node ? matcher.producer(matcher.node(*root_node).inputs[0], "Add")
                                                       : std::nullopt;
  if (!shifted || matcher.node(*shifted).inputs.size() != 2) {
    return std::nullopt;
  }
  const Node& add = matcher.node(*shifted);
  const bool epsilon_first = matcher.scalar(add.inputs[0]).has_value();
  const std::optional<double> epsilon = matcher.scalar(add.inputs[epsilon_first ? 0 : 1]);
  const std::optional<std::size_t> variance =
      epsilon ? matcher.producer(add.inputs[epsilon_first ? 1 : 0], "ReduceMean") : std::nullopt;
  if (!variance) {
    return std::nullopt;
  }
  const std::string& squares = matcher.node(*variance).inputs[0];
  std::optional<std::size_t> square = matcher.producer(squares, "Pow");
  std::size_t centred_uses = 2;
  if (!square || matcher.scalar(matcher.node(*square).inputs[1]) != 2.0) {
    square = matcher.producer(squares, "Mul");
    centred_uses = 3;
    if (!square || matcher.node(*square).inputs[1] != centred) {
      return std::nullopt;
    }
  }
  const std::optional<std::size_t> difference = matcher.producer(centred, "Sub", centred_uses);
  if (matcher.node(*square).inputs[0] != centred || !difference || matcher.node(*difference).inputs.size() != 2) {
    return std::nullopt;
  }
  const std::string& input = matcher.node(*difference).inputs[0];
  const std::optional<std::size_t> mean = matcher.producer(matcher.node(*difference).inputs[1], "ReduceMean");
  if (!mean || !is_last_axis_mean(matcher, *mean, input) || !is_last_axis_mean(matcher, *variance, squares)) {
    return std::nullopt;
  }
  return Match{input, {*mean, *difference, *square, *variance, *shifted, *root_node}, static_cast<float>(*epsilon)};
}

// The float constant `name` with `count` values, if there is one.
const Constant* float_constant(const Folded& folded, const std::string& name, std::size_t count) {
  const auto found = folded.constants.find(name);
  if (found == folded.constants.end() || !found->second.is_float() || found->second.floats.size() != count) {
    return nullptr;
  }
  return &found->second;
}

// BatchNormalization (at inference, which the fold pass has checked) of a
// Conv whose output nothing else reads and whose filters and bias are known:
// the Conv with filters w * s and bias (b - mean) * s + shift per output
// channel, s = scale / sqrt(variance + epsilon), each value worked in double
// and rounded to float once. The new constants are "<output>/filters" and
// "<output>/bias"; the Conv takes the BatchNormalization's output and place.
std::optional<Node> fold_batch_norm(Folded& folded, const Matcher& matcher, std::size_t index,
                                    std::size_t& conv_index) {
  const Node& norm = folded.nodes[index];
  if (norm.inputs.size() != 5 || norm.outputs.empty() || norm.outputs.front().empty() ||
      std::ranges::any_of(norm.outputs.begin() + 1, norm.outputs.end(),
                          [](const std::string& output) { return !output.empty(); })) {
    return std::nullopt;
  }
  const std::optional<std::size_t> conv = matcher.producer(norm.inputs[0], "Conv");
  const Result<float> epsilon = float_attribute(norm, "epsilon", 1e-5F);
  if (!conv || !epsilon) {
    return std::nullopt;
  }
  const Node& producer = matcher.node(*conv);
  const auto filters = folded.constants.find(producer.inputs.size() > 1 ? producer.inputs[1] : std::string());
  if (filters == folded.constants.end() || !filters->second.is_float() || filters->second.dims.empty() ||
      filters->second.dims.front() < 1) {
    return std::nullopt;
  }
  const auto channels = static_cast<std::size_t>(filters->second.dims.front());
  const bool has_bias = producer.inputs.size() > 2 && !producer.inputs[2].empty();
  const Constant* bias = has_bias ? float_constant(folded, producer.inputs[2], channels) : nullptr;
  const Constant* scale = float_constant(folded, norm.inputs[1], channels);
  const Constant* shift = float_constant(folded, norm.inputs[2], channels);
  const Constant* mean = float_constant(folded, norm.inputs[3], channels);
  const Constant* variance = float_constant(folded, norm.inputs[4], channels);
  const std::string filters_name = norm.outputs.front() + "/filters";
  const std::string bias_name = norm.outputs.front() + "/bias";
  const auto taken = [&](const std::string& name) {
    return folded.constants.contains(name) || folded.shapes.contains(name);
  };
  if ((has_bias && bias == nullptr) || scale == nullptr || shift == nullptr || mean == nullptr ||
      variance == nullptr || taken(filters_name) || taken(bias_name)) {
    return std::nullopt;
  }
  Constant folded_filters = filters->second;
  Constant folded_bias{float_type, {static_cast<std::int64_t>(channels)}, std::vector<float>(channels), {}};
  const std::size_t per_channel = folded_filters.floats.size() / channels;
  for (std::size_t channel = 0; channel < channels; ++channel) {
    const double factor = static_cast<double>(scale->floats[channel]) /
                          std::sqrt(static_cast<double>(variance->floats[channel]) + static_cast<double>(*epsilon));
    for (std::size_t at = channel * per_channel; at < (channel + 1) * per_channel; ++at) {
      folded_filters.floats[at] = static_cast<float>(static_cast<double>(folded_filters.floats[at]) * factor);
    }
    const double offset = has_bias ? static_cast<double>(bias->floats[channel]) : 0.0;
    folded_bias.floats[channel] = static_cast<float>((offset - static_cast<double>(mean->floats[channel])) * factor +
                                                     static_cast<double>(shift->floats[channel]));
  }
  Node replaced = producer;
  replaced.inputs = {producer.inputs[0], filters_name, bias_name};
  replaced.outputs = {norm.outputs.front()};
  folded.constants.emplace(filters_name, std::move(folded_filters));
  folded.constants.emplace(bias_name, std::move(folded_bias));
  conv_index = *conv;
  return replaced;
}

Node fused_node(const Node& root, std::string_view op_type, const Match& match) {
  Node node{root.name, std::string(op_type), std::string(fused_domain), {match.input}, {root.outputs.front()}, {}};
  if (op_type == "LayerNorm") {
    node.attributes.emplace("epsilon", match.epsilon);
  }
  return node;
}

}  // namespace

std::vector<std::string> fuse_patterns(Folded& folded, const std::set<std::string>& outputs) {
  Matcher matcher(folded, outputs);
  std::vector<std::string> lines;
  for (std::size_t index = 0; index < folded.nodes.size(); ++index) {
    const Node& node = folded.nodes[index];
    if (!node.domain.empty() || node.outputs.empty()) {
      continue;
    }
    if (node.op_type == "BatchNormalization") {
      std::size_t conv = 0;
      if (std::optional<Node> replaced = fold_batch_norm(folded, matcher, index, conv)) {
        lines.push_back(fmt::format("batch normalization into conv at {}", node_label(folded.nodes[conv])));
        matcher.remove(conv);
        folded.nodes[index] = std::move(*replaced);
      }
      continue;
    }
    const bool is_gelu = node.op_type == "Mul";
    std::optional<Match> match = is_gelu                   ? match_gelu(matcher, index)
                                 : node.op_type == "Div" ? match_layer_norm(matcher, index)
                                                         : std::nullopt;
    if (!match) {
      continue;
    }
    const std::size_t first = std::min(index, *std::ranges::min_element(match->nodes));
    lines.push_back(fmt::format("{} at {}", is_gelu ? "gelu (tanh)" : "layer norm", node_label(folded.nodes[first])));
    for (const std::size_t removed : match->nodes) {
      matcher.remove(removed);
    }
    folded.nodes[index] = fused_node(node, is_gelu ? "Gelu" : "LayerNorm", *match);
  }
  std::vector<Node> kept;
  kept.reserve(folded.nodes.size());
  for (std::size_t index = 0; index < folded.nodes.size(); ++index) {
    if (!matcher.removed(index)) {
      kept.push_back(std::move(folded.nodes[index]));
    }
  }
  folded.nodes = std::move(kept);
  return lines;
}

}  // namespace orvo_compiler::onnx_import
