// Structural validation of a graph: tensors, then operations, then outputs;
// the first fault found is the one reported.
#include <limits>

#include <fmt/format.h>

#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

// Non-empty, free of 0, and small enough that elements x 4 fits in 64 bits.
bool shape_is_valid(const Shape& shape) {
  if (shape.empty()) {
    return false;
  }
  constexpr std::uint64_t max_elements = std::numeric_limits<std::uint64_t>::max() / size(DType::F32);
  std::uint64_t elements = 1;
  for (const std::uint64_t dimension : shape) {
    if (dimension == 0 || elements > max_elements / dimension) {
      return false;
    }
    elements *= dimension;
  }
  return true;
}

bool op_is_valid(const Graph& graph, const Op& op, std::size_t position) {
  const std::size_t tensor_count = graph.tensors.size();
  if (op.id.index != position) {
    return false;
  }
  for (const TensorId input : op.inputs) {
    if (input.index >= tensor_count) {
      return false;
    }
  }
  if (op.output.index >= tensor_count) {
    return false;
  }
  const std::optional<OpId>& producer = graph.tensors[op.output.index].producer;
  return producer.has_value() && *producer == op.id;
}

}  // namespace

Result<void> Graph::validate() const {
  for (std::size_t position = 0; position < tensors.size(); ++position) {
    const Tensor& tensor = tensors[position];
    if (tensor.id.index != position || !shape_is_valid(tensor.shape)) {
      return std::unexpected(CompileError::graph(fmt::format("invalid tensor {}", tensor.name)));
    }
  }
  for (std::size_t position = 0; position < ops.size(); ++position) {
    const Op& op = ops[position];
    if (!op_is_valid(*this, op, position)) {
      return std::unexpected(CompileError::graph(fmt::format("invalid op {}", op.name)));
    }
  }
  if (outputs.empty()) {
    return std::unexpected(CompileError::graph("graph has no outputs"));
  }
  for (const TensorId output : outputs) {
    if (output.index >= tensors.size()) {
      return std::unexpected(CompileError::graph(fmt::format("invalid output {}", output.index)));
    }
  }
  return {};
}

}  // namespace orvo_compiler
