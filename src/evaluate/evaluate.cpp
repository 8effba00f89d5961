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

#include "evaluate/evaluate_checks.hpp"
#include "graph/op_definitions.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler {
namespace {

using Values = TensorData;

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
  const std::vector<std::optional<OpId>> producer = detail::producers(graph);
  if (const Result<void> valid = detail::check_ops(graph, producer); !valid) {
    return std::unexpected(valid.error());
  }
  if (const Result<void> valid = detail::check_values(graph, values, producer); !valid) {
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
