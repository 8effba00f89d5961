// The checks `evaluate` and a prepared evaluation share: the structure of
// each operation against its kind's rules, and the given values against the
// tensors they are for.
#include "evaluate/evaluate_checks.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "graph/op_definitions.hpp"

namespace orvo_compiler::detail {
namespace {

std::unexpected<CompileError> graph_error(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

std::unexpected<CompileError> invalid_op(const Op& op) { return graph_error(fmt::format("invalid op {}", op.name)); }

}  // namespace

std::vector<std::optional<OpId>> producers(const Graph& graph) {
  std::vector<std::optional<OpId>> producer(graph.tensors.size());
  for (const Op& op : graph.ops) {
    producer[op.output.index] = op.id;
  }
  return producer;
}

namespace {

// The operation reads sources and earlier outputs only, has its kind's number
// of inputs, and its shapes are those its kind's rule (its builder's) gives.
Result<void> check_op(const Graph& graph, const Op& op, const std::vector<std::optional<OpId>>& producer) {
  const bool reads_later = std::ranges::any_of(op.inputs, [&](TensorId input) {
    return producer[input.index].has_value() && producer[input.index]->index >= op.id.index;
  });
  if (reads_later || !takes_inputs(op.kind, op.inputs.size())) {
    return invalid_op(op);
  }
  const Result<Shape> output = output_shape(op.kind, InputShapes(graph.tensors, op.inputs), op.name);
  if (!output) {
    return std::unexpected(output.error());
  }
  const Result<DType> dtype = output_dtype(op.kind, InputTypes(graph.tensors, op.inputs), op.name);
  if (!dtype) {
    return std::unexpected(dtype.error());
  }
  const Tensor& result = graph.tensors[op.output.index];
  if (*output != result.shape || *dtype != result.dtype) {
    return invalid_op(op);
  }
  return {};
}

}  // namespace

Result<void> check_given(const Graph& graph, const TensorValues& values,
                         const std::vector<std::optional<OpId>>& producer) {
  for (const auto& [id, given] : values) {
    if (id.index >= graph.tensors.size()) {
      return graph_error(fmt::format("evaluate: {} is not an input or weight", id));
    }
    const Tensor& tensor = graph.tensors[id.index];
    if (producer[id.index].has_value()) {
      return graph_error(fmt::format("evaluate: {} is not an input or weight", tensor.name));
    }
    if (dtype_of(given) != tensor.dtype) {
      return graph_error(
          fmt::format("evaluate: value for {} is {}, expected {}", tensor.name, dtype_of(given), tensor.dtype));
    }
    if (element_count(given) != tensor.elements()) {
      return graph_error(fmt::format("evaluate: value for {} has {} elements, expected {}", tensor.name,
                                     element_count(given), tensor.elements()));
    }
  }
  return {};
}

Result<void> check_values(const Graph& graph, const TensorValues& values,
                          const std::vector<std::optional<OpId>>& producer, const TensorValues& bound) {
  if (const Result<void> given = check_given(graph, values, producer); !given) {
    return given;
  }
  for (const Tensor& tensor : graph.tensors) {
    if (!producer[tensor.id.index].has_value() && !values.contains(tensor.id) && !bound.contains(tensor.id)) {
      return graph_error(fmt::format("evaluate: no value for input {}", tensor.name));
    }
  }
  return {};
}

Result<void> check_ops(const Graph& graph, const std::vector<std::optional<OpId>>& producer) {
  for (const Op& op : graph.ops) {
    if (const Result<void> valid = check_op(graph, op, producer); !valid) {
      return valid;
    }
  }
  return {};
}

}  // namespace orvo_compiler::detail
