// The reductions (ReduceSum, ReduceMean, ReduceMax, ... over any axes),
// ArgMax, ArgMin and CumSum: each becomes the graph kind of its own name;
// ReduceMean of the last axis alone keeps the last-axis kind.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "onnx/fold_constants.hpp"
#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// Where a reduction's axes come from: the "axes" attribute, or (ReduceSum
// from opset 13) an optional input read together with noop_with_empty_axes.
enum class AxesFrom : std::uint8_t { Attribute, Input };

// What a reduction node does: the axes it reduces (ascending), whether the
// output keeps them, and whether it is a copy of its input (no axes given
// with noop_with_empty_axes set).
struct ReductionPlan {
  std::vector<std::uint64_t> axes;
  bool keepdims = true;
  bool copies = false;
};

Result<std::optional<std::vector<std::int64_t>>> listed_axes(const Node& node, std::span<const Operand> operands,
                                                            AxesFrom from) {
  switch (from) {
    case AxesFrom::Attribute:
      return ints_attribute(node, "axes");
    case AxesFrom::Input: {
      if (!operand_at(operands, 1).present) {
        return std::optional<std::vector<std::int64_t>>{};
      }
      Result<std::vector<std::int64_t>> axes = integer_input(node, operands, 1, "axes");
      if (!axes) {
        return std::unexpected(axes.error());
      }
      return std::optional<std::vector<std::int64_t>>{std::move(*axes)};
    }
  }
  return std::optional<std::vector<std::int64_t>>{};
}

// The node's reduction of an input of `dims`; no axes (or an empty list)
// means every axis, unless noop_with_empty_axes makes it a copy. Fails for an
// axis out of range or listed twice, and for a reduced axis of size 0.
Result<ReductionPlan> reduction_plan(const Node& node, std::span<const Operand> operands, AxesFrom from) {
  const Dims& dims = operand_at(operands, 0).dims;
  Result<std::optional<std::vector<std::int64_t>>> listed = listed_axes(node, operands, from);
  Result<std::int64_t> keepdims = listed ? int_attribute(node, "keepdims", 1) : std::unexpected(listed.error());
  Result<std::int64_t> noop =
      keepdims ? int_attribute(node, "noop_with_empty_axes", 0) : std::unexpected(keepdims.error());
  if (!noop) {
    return std::unexpected(noop.error());
  }
  ReductionPlan plan;
  plan.keepdims = *keepdims != 0;
  if (!*listed || (*listed)->empty()) {
    if (from == AxesFrom::Input && *noop != 0) {
      plan.copies = true;
      return plan;
    }
    for (std::uint64_t axis = 0; axis < dims.size(); ++axis) {
      plan.axes.push_back(axis);
    }
  }
  for (const std::int64_t axis : listed->value_or(std::vector<std::int64_t>{})) {
    Result<std::size_t> normalized = normalize_axis(node, axis, dims.size());
    if (!normalized) {
      return std::unexpected(normalized.error());
    }
    if (std::ranges::find(plan.axes, *normalized) != plan.axes.end()) {
      return fail(node, fmt::format("axis {} is listed twice", axis));
    }
    plan.axes.push_back(*normalized);
  }
  std::ranges::sort(plan.axes);
  for (const std::uint64_t axis : plan.axes) {
    if (dims[axis] == 0) {
      return fail(node, fmt::format("reduces axis {} of size 0; reductions of no elements are not supported", axis));
    }
  }
  return plan;
}

template <AxesFrom from>
Result<Dims> reduction_output(const Node& node, std::span<const Operand> operands) {
  Result<ReductionPlan> plan = reduction_plan(node, operands, from);
  if (!plan) {
    return std::unexpected(plan.error());
  }
  const Dims& input = operand_at(operands, 0).dims;
  if (plan->copies) {
    return input;
  }
  Dims output;
  for (std::uint64_t axis = 0; axis < input.size(); ++axis) {
    if (std::ranges::find(plan->axes, axis) == plan->axes.end()) {
      output.push_back(input[axis]);
    } else if (plan->keepdims) {
      output.push_back(1);
    }
  }
  return output;
}

template <class Kind, AxesFrom from>
Result<void> map_reduction(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<ReductionPlan> plan = x ? reduction_plan(context.node, operands_of(context.folded, context.node), from)
                                 : std::unexpected(x.error());
  if (!plan) {
    return std::unexpected(plan.error());
  }
  if (plan->copies) {
    return define(context, *x);
  }
  return define(context, context.graph().apply(context.output, Kind{plan->axes, plan->keepdims}, {*x}));
}

// ReduceMean of the last axis alone is the last-axis kind (the same bits),
// with a Reshape when the axis is dropped; any other set of axes is
// ReduceMeanAxes.
Result<void> map_reduce_mean(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<ReductionPlan> plan =
      x ? reduction_plan(context.node, operands_of(context.folded, context.node), AxesFrom::Attribute)
        : std::unexpected(x.error());
  if (!plan) {
    return std::unexpected(plan.error());
  }
  const std::size_t rank = context.shape_of(*x).size();
  if (plan->axes != std::vector<std::uint64_t>{rank - 1}) {
    return define(context,
                  context.graph().apply(context.output, ReduceMeanAxes{plan->axes, plan->keepdims}, {*x}));
  }
  Result<TensorId> mean = context.graph().reduce_mean(plan->keepdims ? context.output : context.derived("mean"), *x);
  if (mean && !plan->keepdims) {
    mean = context.graph().reshape(context.output, *mean, context.output_shape());
  }
  return define(context, mean);
}

// CumSum's axis input: one known integer, normalised.
Result<std::size_t> cum_sum_axis(const Node& node, std::span<const Operand> operands) {
  Result<std::vector<std::int64_t>> axis = integer_input(node, operands, 1, "axis");
  if (!axis) {
    return std::unexpected(axis.error());
  }
  if (axis->size() != 1) {
    return fail(node, fmt::format("axis input {} holds {} values; it must hold one", input_name(node, 1),
                                  axis->size()));
  }
  return normalize_axis(node, axis->front(), operand_at(operands, 0).dims.size());
}

Result<Dims> cum_sum_output(const Node& node, std::span<const Operand> operands) {
  Result<std::size_t> axis = cum_sum_axis(node, operands);
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return operand_at(operands, 0).dims;
}

Result<void> map_cum_sum(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<std::size_t> axis =
      x ? cum_sum_axis(context.node, operands_of(context.folded, context.node)) : std::unexpected(x.error());
  Result<std::int64_t> exclusive = axis ? int_attribute(context.node, "exclusive", 0) : std::unexpected(axis.error());
  Result<std::int64_t> reverse =
      exclusive ? int_attribute(context.node, "reverse", 0) : std::unexpected(exclusive.error());
  if (!reverse) {
    return std::unexpected(reverse.error());
  }
  return define(context, context.graph().apply(context.output, CumSum{*axis, *exclusive != 0, *reverse != 0}, {*x}));
}

// ArgMax's and ArgMin's attributes: the axis (0 when absent) normalised,
// keepdims (1) and select_last_index (0).
template <class Kind>
Result<Kind> arg_kind(const Node& node, std::size_t rank) {
  Result<std::size_t> axis = axis_attribute(node, 0, rank);
  Result<std::int64_t> keepdims = axis ? int_attribute(node, "keepdims", 1) : std::unexpected(axis.error());
  Result<std::int64_t> last =
      keepdims ? int_attribute(node, "select_last_index", 0) : std::unexpected(keepdims.error());
  if (!last) {
    return std::unexpected(last.error());
  }
  return Kind{*axis, *keepdims != 0, *last != 0};
}

template <class Kind>
Result<Dims> arg_output(const Node& node, std::span<const Operand> operands) {
  Dims dims = operand_at(operands, 0).dims;
  Result<Kind> kind = arg_kind<Kind>(node, dims.size());
  if (!kind) {
    return std::unexpected(kind.error());
  }
  if (kind->keepdims) {
    dims[kind->axis] = 1;
  } else {
    dims.erase(dims.begin() + static_cast<std::ptrdiff_t>(kind->axis));
  }
  return dims;
}

template <class Kind>
Result<void> map_arg(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<Kind> kind = x ? arg_kind<Kind>(context.node, context.shape_of(*x).size()) : std::unexpected(x.error());
  if (!kind) {
    return std::unexpected(kind.error());
  }
  return define(context, context.graph().apply(context.output, *kind, {*x}));
}

// The reductions other than ReduceSum take their axes as an attribute up to
// opset 17 (an input from 18); negative axes count from the end.
template <class Kind>
constexpr OperatorForm attribute_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<reduction_output<AxesFrom::Attribute>>,
     .map = map_reduction<Kind, AxesFrom::Attribute>},
};
// ReduceSum takes them as an input from opset 13, with noop_with_empty_axes.
constexpr OperatorForm reduce_sum_forms[] = {
    {.opsets = {7, 12},
     .arity = {1, 1, 1},
     .shape = single_output<reduction_output<AxesFrom::Attribute>>,
     .map = map_reduction<ReduceSum, AxesFrom::Attribute>},
    {.opsets = {13, 17},
     .arity = {1, 2, 1},
     .shape = single_output<reduction_output<AxesFrom::Input>>,
     .map = map_reduction<ReduceSum, AxesFrom::Input>},
};
constexpr OperatorForm reduce_mean_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<reduction_output<AxesFrom::Attribute>>,
     .map = map_reduce_mean},
};
// CumSum (from opset 11): the axis a known input, exclusive and reverse
// attributes.
constexpr OperatorForm cum_sum_forms[] = {
    {.opsets = {11, 17}, .arity = {2, 2, 1}, .shape = single_output<cum_sum_output>, .map = map_cum_sum},
};

// ArgMax and ArgMin: one meaning from opset 7 (negative axes and
// select_last_index only add choices).
template <class Kind>
constexpr OperatorForm arg_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<arg_output<Kind>>,
     .map = map_arg<Kind>,
     .dtype = outputs_of_type<DType::I64>},
};

constexpr Registration reduction_registrations[] = {
    {"ReduceSum", reduce_sum_forms},
    {"ReduceMean", reduce_mean_forms},
    {"ReduceMax", attribute_forms<ReduceMax>},
    {"ReduceMin", attribute_forms<ReduceMin>},
    {"ReduceProd", attribute_forms<ReduceProd>},
    {"ReduceL1", attribute_forms<ReduceL1>},
    {"ReduceL2", attribute_forms<ReduceL2>},
    {"ReduceSumSquare", attribute_forms<ReduceSumSquare>},
    {"ReduceLogSum", attribute_forms<ReduceLogSum>},
    {"ReduceLogSumExp", attribute_forms<ReduceLogSumExp>},
    {"CumSum", cum_sum_forms},
    {"ArgMax", arg_forms<ArgMax>},
    {"ArgMin", arg_forms<ArgMin>},
};

}  // namespace

std::span<const Registration> reduction_operators() { return reduction_registrations; }

}  // namespace orvo_compiler::onnx_import
