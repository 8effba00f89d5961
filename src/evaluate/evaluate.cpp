// The host evaluator of any graph. Steps: validate the graph, check that each
// operation reads only sources and earlier outputs and that its shapes obey
// its kind's builder rule, check the given values, then run the operations in
// index order, each by its kind's kernel (graph/ops_*.hpp), and hand back the
// outputs.
//
// Values of inputs and weights are read where the caller keeps them, never
// copied. Each computed value lives from its operation to its last reader:
// the evaluator frees it then, or hands its buffer on to that reader when the
// reader writes a result of the same length element by element (in place).
// Matrix products run on the blocked kernel path, which gives the same bits as
// the plain loop; every other float step is the reference kernels' own, and
// this file is built without FMA contraction.
#include "orvo_compiler/evaluate.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "graph/op_definitions.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler {
namespace {

using Values = TensorData;

std::unexpected<CompileError> graph_error(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

std::unexpected<CompileError> invalid_op(const Op& op) { return graph_error(fmt::format("invalid op {}", op.name)); }

// ---- Structure and value checks ----------------------------------------

// The operation that produces each tensor, if any.
std::vector<std::optional<OpId>> producers(const Graph& graph) {
  std::vector<std::optional<OpId>> producer(graph.tensors.size());
  for (const Op& op : graph.ops) {
    producer[op.output.index] = op.id;
  }
  return producer;
}

// The operation reads sources and earlier outputs only, has its kind's number
// of inputs, and its shapes are those its kind's rule (its builder's) gives.
Result<void> check_op(const Graph& graph, const Op& op, const std::vector<std::optional<OpId>>& producer) {
  const bool reads_later = std::ranges::any_of(op.inputs, [&](TensorId input) {
    return producer[input.index].has_value() && producer[input.index]->index >= op.id.index;
  });
  if (reads_later || !detail::takes_inputs(op.kind, op.inputs.size())) {
    return invalid_op(op);
  }
  const Result<Shape> output = detail::output_shape(op.kind, detail::InputShapes(graph.tensors, op.inputs), op.name);
  if (!output) {
    return std::unexpected(output.error());
  }
  const Result<DType> dtype = detail::output_dtype(op.kind, detail::InputTypes(graph.tensors, op.inputs), op.name);
  if (!dtype) {
    return std::unexpected(dtype.error());
  }
  const Tensor& result = graph.tensors[op.output.index];
  if (*output != result.shape || *dtype != result.dtype) {
    return invalid_op(op);
  }
  return {};
}

// Values are given for exactly the tensors no operation produces, each with
// its tensor's element count.
Result<void> check_values(const Graph& graph, const TensorValues& values,
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
  for (const Tensor& tensor : graph.tensors) {
    if (!producer[tensor.id.index].has_value() && !values.contains(tensor.id)) {
      return graph_error(fmt::format("evaluate: no value for input {}", tensor.name));
    }
  }
  return {};
}

Result<void> check(const Graph& graph, const TensorValues& values, const std::vector<std::optional<OpId>>& producer) {
  for (const Op& op : graph.ops) {
    if (const Result<void> valid = check_op(graph, op, producer); !valid) {
      return valid;
    }
  }
  return check_values(graph, values, producer);
}

// ---- Values in flight ----------------------------------------------------

// The values of every live tensor: sources read where the caller keeps them,
// computed tensors in buffers of their own until their last reader is done.
class Workspace {
 public:
  Workspace(const Graph& graph, const TensorValues& values)
      : views_(graph.tensors.size()), owned_(graph.tensors.size()), computed_(graph.tensors.size(), false),
        last_reader_(graph.tensors.size()), kept_(graph.tensors.size(), false) {
    for (const auto& [id, given] : values) {
      views_[id.index] = &given;
    }
    for (const Op& op : graph.ops) {
      for (const TensorId input : op.inputs) {
        last_reader_[input.index] = op.id;
      }
    }
    for (const TensorId output : graph.outputs) {
      kept_[output.index] = true;
    }
  }

  [[nodiscard]] const Values& operator[](TensorId id) const { return *views_[id.index]; }

  // The values of `id` in a buffer the caller may change: the tensor's own
  // when `reader` is its last reader, reads it once, and the tensor is
  // computed and no graph output; a copy otherwise. The tensor stays readable until `release`.
  [[nodiscard]] Values take(const Op& reader, TensorId id) {
    if (dies_at(reader, id) && std::ranges::count(reader.inputs, id) == 1) {
      return std::move(owned_[id.index]);
    }
    return *views_[id.index];
  }

  void store(TensorId id, Values values) {
    owned_[id.index] = std::move(values);
    views_[id.index] = &owned_[id.index];
    computed_[id.index] = true;
  }

  // Frees the computed inputs of `reader` that nothing reads afterwards.
  void release(const Op& reader) {
    for (const TensorId input : reader.inputs) {
      if (dies_at(reader, input)) {
        Values().swap(owned_[input.index]);
        views_[input.index] = nullptr;
      }
    }
  }

  // The value of a graph output: the computed buffer, or a copy of a source.
  [[nodiscard]] Values hand_out(TensorId id) {
    if (computed_[id.index]) {
      return std::move(owned_[id.index]);
    }
    return *views_[id.index];
  }

 private:
  [[nodiscard]] bool dies_at(const Op& reader, TensorId id) const {
    return last_reader_[id.index] == reader.id && !kept_[id.index] && computed_[id.index];
  }

  std::vector<const Values*> views_;
  std::vector<Values> owned_;
  std::vector<bool> computed_;
  std::vector<std::optional<OpId>> last_reader_;
  std::vector<bool> kept_;
};

// ---- Operations ----------------------------------------------------------

// One operation's inputs as its kind's kernel reads them.
class OpInputs final : public detail::KernelInputs {
 public:
  OpInputs(const Graph& graph, const Op& op, Workspace& workspace, detail::KernelPath path)
      : graph_(graph), op_(op), workspace_(workspace), path_(path) {}

  [[nodiscard]] std::size_t size() const override { return op_.inputs.size(); }
  [[nodiscard]] const TensorData& data(std::size_t position) const override {
    return workspace_[op_.inputs[position]];
  }
  [[nodiscard]] std::string_view name() const override { return op_.name; }
  [[nodiscard]] const Shape& shape(std::size_t position) const override {
    return graph_.tensors[op_.inputs[position].index].shape;
  }
  [[nodiscard]] const Shape& output_shape() const override { return graph_.tensors[op_.output.index].shape; }
  [[nodiscard]] detail::KernelPath path() const override { return path_; }
  [[nodiscard]] Values take_data(std::size_t position) override {
    return workspace_.take(op_, op_.inputs[position]);
  }

 private:
  const Graph& graph_;
  const Op& op_;
  Workspace& workspace_;
  detail::KernelPath path_;
};

}  // namespace

Result<TensorValues> evaluate(const Graph& graph, const TensorValues& values) {
  if (const Result<void> valid = graph.validate(); !valid) {
    return std::unexpected(valid.error());
  }
  const std::vector<std::optional<OpId>> producer = producers(graph);
  if (const Result<void> valid = check(graph, values, producer); !valid) {
    return std::unexpected(valid.error());
  }

  Workspace workspace(graph, values);
  const detail::KernelPath path = detail::best_path();
  for (const Op& op : graph.ops) {
    OpInputs inputs(graph, op, workspace, path);
    Result<Values> output = detail::evaluate_kind(op.kind, inputs);
    if (!output) {
      return std::unexpected(std::move(output.error()));
    }
    workspace.release(op);
    workspace.store(op.output, std::move(*output));
  }

  TensorValues outputs;
  for (const TensorId id : graph.outputs) {
    if (!outputs.contains(id)) {
      outputs.emplace(id, workspace.hand_out(id));
    }
  }
  return outputs;
}

}  // namespace orvo_compiler
