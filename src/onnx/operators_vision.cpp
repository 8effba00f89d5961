// The image operators: Conv, MaxPool, AveragePool, their global forms and
// BatchNormalization at inference. Each becomes the graph kind of the same
// name; the window attributes (kernel_shape, strides, dilations, pads and
// auto_pad) are resolved here to explicit values per spatial axis.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "onnx/map_operators.hpp"
#include "onnx/operator_registry.hpp"
#include "onnx/shape_rules.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// A window's attributes resolved for one input: one kernel size, stride and
// dilation per spatial axis, the pads before each axis then after each, and
// the output's spatial dims.
struct WindowForm {
  Shape kernel;
  Shape strides;
  Shape dilations;
  Shape pads;
  bool ceil_mode = false;
  Dims output;
};

// Largest kernel, stride, dilation or pad the importer takes (the graph
// kinds' own bound).
constexpr std::int64_t largest_window_parameter = (std::int64_t{1} << 32) - 1;

// The integer list attribute `name` with one value per spatial axis (`per`
// values each), each from 0 (or 1 when `positive`) up to the bound; `fallback`
// each when absent.
Result<Shape> window_attribute(const Node& node, std::string_view name, std::size_t axes, std::size_t per,
                               std::int64_t fallback, bool positive) {
  Result<std::optional<std::vector<std::int64_t>>> values = ints_attribute(node, name);
  if (!values) {
    return std::unexpected(values.error());
  }
  if (!*values) {
    return Shape(axes * per, static_cast<std::uint64_t>(fallback));
  }
  if ((*values)->size() != axes * per) {
    return fail(node, fmt::format("{} {} need {} values for {} spatial axes", name, dims_text(**values), axes * per,
                                  axes));
  }
  for (const std::int64_t value : **values) {
    if (value < (positive ? 1 : 0) || value > largest_window_parameter) {
      return fail(node, fmt::format("{} {} must be from {} to 2^32 - 1", name, dims_text(**values),
                                    positive ? 1 : 0));
    }
  }
  return to_shape(**values);
}

// The auto_pad attribute: "NOTSET" when absent.
Result<std::string> auto_pad(const Node& node) {
  const auto found = node.attributes.find("auto_pad");
  if (found == node.attributes.end()) {
    return std::string("NOTSET");
  }
  const auto* mode = std::get_if<std::string>(&found->second);
  if (mode == nullptr || (*mode != "NOTSET" && *mode != "SAME_UPPER" && *mode != "SAME_LOWER" && *mode != "VALID")) {
    return fail(node, "auto_pad must be NOTSET, SAME_UPPER, SAME_LOWER or VALID");
  }
  return *mode;
}

// The window of `node` over `input` ([N, C, spatial...]). `kernel` is the
// filter's spatial dims for Conv (kernel_shape, when given, must agree), else
// nothing (kernel_shape is required). `dilated`: whether the operator takes
// dilations at this opset; `ceil`: whether it takes ceil_mode.
Result<WindowForm> window_form(const Node& node, const Dims& input, std::optional<Dims> kernel, bool dilated,
                               bool ceil) {
  if (input.size() < 3 || input.size() > 5) {
    return fail(node, fmt::format("input {} must have rank 3 to 5 ([batch, channels, spatial axes...])",
                                  dims_text(input)));
  }
  const std::size_t axes = input.size() - 2;
  Result<std::optional<std::vector<std::int64_t>>> kernel_shape = ints_attribute(node, "kernel_shape");
  if (!kernel_shape) {
    return std::unexpected(kernel_shape.error());
  }
  if (!*kernel_shape && !kernel) {
    return fail(node, "kernel_shape is required");
  }
  const Dims sizes = *kernel_shape ? **kernel_shape : *kernel;
  if (kernel && sizes != *kernel) {
    return fail(node, fmt::format("kernel_shape {} differs from the filters' spatial dims {}", dims_text(sizes),
                                  dims_text(*kernel)));
  }
  if (sizes.size() != axes) {
    return fail(node, fmt::format("kernel_shape {} needs {} values for {} spatial axes", dims_text(sizes), axes,
                                  axes));
  }
  WindowForm form;
  for (const std::int64_t size : sizes) {
    if (size < 1 || size > largest_window_parameter) {
      return fail(node, fmt::format("kernel_shape {} must be from 1 to 2^32 - 1", dims_text(sizes)));
    }
    form.kernel.push_back(static_cast<std::uint64_t>(size));
  }
  Result<Shape> strides = window_attribute(node, "strides", axes, 1, 1, true);
  Result<Shape> dilations =
      !strides ? strides : dilated ? window_attribute(node, "dilations", axes, 1, 1, true) : Shape(axes, 1);
  Result<Shape> pads = !dilations ? dilations : window_attribute(node, "pads", axes, 2, 0, false);
  Result<std::int64_t> ceil_mode = !pads ? std::unexpected(pads.error()) : ceil ? int_attribute(node, "ceil_mode", 0)
                                                                                : Result<std::int64_t>(0);
  Result<std::string> padding = ceil_mode ? auto_pad(node) : std::unexpected(ceil_mode.error());
  if (!padding) {
    return std::unexpected(padding.error());
  }
  form.strides = std::move(*strides);
  form.dilations = std::move(*dilations);
  form.pads = std::move(*pads);
  form.ceil_mode = *ceil_mode != 0;
  for (std::size_t axis = 0; axis < axes; ++axis) {
    if (input[axis + 2] < 1 || input[axis + 2] > largest_window_parameter) {
      return fail(node, fmt::format("input {} needs spatial dims from 1 to 2^32 - 1", dims_text(input)));
    }
    const auto size = static_cast<std::uint64_t>(input[axis + 2]);
    const std::uint64_t stride = form.strides[axis];
    const std::uint64_t extent = form.dilations[axis] * (form.kernel[axis] - 1) + 1;
    if (*padding == "VALID") {
      form.pads[axis] = 0;
      form.pads[axes + axis] = 0;
    } else if (*padding != "NOTSET") {
      // The output keeps ceil(size / stride) positions; the padding that
      // needs is split evenly, the odd one after (SAME_UPPER) or before.
      const std::uint64_t count = (size + stride - 1) / stride;
      const std::uint64_t needed = (count - 1) * stride + extent;
      const std::uint64_t total = needed > size ? needed - size : 0;
      const std::uint64_t smaller = total / 2;
      form.pads[axis] = *padding == "SAME_UPPER" ? smaller : total - smaller;
      form.pads[axes + axis] = total - form.pads[axis];
    }
    const std::uint64_t padded = size + form.pads[axis] + form.pads[axes + axis];
    if (extent > padded) {
      return fail(node, fmt::format("its window of extent {} is larger than the padded input ({}) on spatial axis {}",
                                    extent, padded, axis));
    }
    const std::uint64_t span = padded - extent;
    std::uint64_t count = (form.ceil_mode ? (span + stride - 1) / stride : span / stride) + 1;
    if (form.ceil_mode && (count - 1) * stride >= size + form.pads[axis]) {
      --count;
    }
    form.output.push_back(static_cast<std::int64_t>(count));
  }
  return form;
}

// [N, C or the filter count, output spatial dims...].
Dims windowed_dims(std::int64_t batch, std::int64_t channels, const WindowForm& form) {
  Dims dims{batch, channels};
  dims.insert(dims.end(), form.output.begin(), form.output.end());
  return dims;
}

// Conv's group, which must split the input's channels and the filters
// evenly; the input must have spatial axes.
Result<std::int64_t> conv_group(const Node& node, const Dims& x, const Dims& w) {
  Result<std::int64_t> group = int_attribute(node, "group", 1);
  if (!group) {
    return group;
  }
  if (x.size() < 3 || x.size() > 5) {
    return fail(node, fmt::format("input {} must have rank 3 to 5 ([batch, channels, spatial axes...])",
                                  dims_text(x)));
  }
  if (w.size() != x.size() || *group < 1 || x[1] % *group != 0 || w[0] % *group != 0 ||
      w[1] != x[1] / *group) {
    return fail(node, fmt::format("filters {} do not suit input {} in {} groups", dims_text(w), dims_text(x),
                                  *group));
  }
  return group;
}

Result<Dims> conv_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  const Dims& w = operand_at(operands, 1).dims;
  Result<std::int64_t> group = conv_group(node, x, w);
  Result<WindowForm> form = group ? window_form(node, x, Dims(w.begin() + 2, w.end()), true, false)
                                  : std::unexpected(group.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  if (const Operand& bias = operand_at(operands, 2); bias.present && bias.dims != Dims{w[0]}) {
    return fail(node, fmt::format("bias {} {} must be [{}], one value per filter", input_name(node, 2),
                                  dims_text(bias.dims), w[0]));
  }
  return windowed_dims(x[0], w[0], *form);
}

Result<void> map_conv(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<TensorId> w = x ? input(context, 1) : x;
  if (!w) {
    return std::unexpected(w.error());
  }
  const Dims x_dims = to_dims(context.shape_of(*x));
  const Dims w_dims = to_dims(context.shape_of(*w));
  Result<std::int64_t> group = conv_group(context.node, x_dims, w_dims);
  Result<WindowForm> form = group ? window_form(context.node, x_dims, Dims(w_dims.begin() + 2, w_dims.end()), true,
                                                false)
                                  : std::unexpected(group.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  std::vector<TensorId> inputs{*x, *w};
  if (context.node.inputs.size() > 2 && !context.node.inputs[2].empty()) {
    Result<TensorId> bias = input(context, 2);
    if (!bias) {
      return std::unexpected(bias.error());
    }
    inputs.push_back(*bias);
  }
  const Conv kind{static_cast<std::uint64_t>(*group), form->strides, form->dilations, form->pads};
  return define(context, context.graph().apply(context.output, kind, std::move(inputs)));
}

// The pools' window: dilations and ceil_mode where the opset has them.
template <bool dilated>
Result<WindowForm> pool_form(const Node& node, const Dims& x) {
  return window_form(node, x, std::nullopt, dilated, dilated);
}

// The pools' output; MaxPool's Indices output is left uncomputed, so a node
// that reads it is refused.
template <bool dilated>
Result<Dims> pool_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  Result<WindowForm> form = pool_form<dilated>(node, x);
  if (!form) {
    return std::unexpected(form.error());
  }
  return windowed_dims(x[0], x[1], *form);
}

// ONNX's pools take no pad as large as the window; the graph kinds refuse
// those (a window of padding alone has no element to pool).
template <bool dilated>
Result<void> map_max_pool(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<WindowForm> form =
      x ? pool_form<dilated>(context.node, to_dims(context.shape_of(*x))) : std::unexpected(x.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  const MaxPool kind{form->kernel, form->strides, form->dilations, form->pads, form->ceil_mode};
  return define(context, context.graph().apply(context.output, kind, {*x}));
}

template <bool ceil>
Result<void> map_average_pool(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<WindowForm> form =
      x ? window_form(context.node, to_dims(context.shape_of(*x)), std::nullopt, false, ceil)
        : std::unexpected(x.error());
  Result<std::int64_t> include_pad =
      form ? int_attribute(context.node, "count_include_pad", 0) : std::unexpected(form.error());
  if (!include_pad) {
    return std::unexpected(include_pad.error());
  }
  const AveragePool kind{form->kernel, form->strides, form->pads, form->ceil_mode, *include_pad != 0};
  return define(context, context.graph().apply(context.output, kind, {*x}));
}

template <bool ceil>
Result<Dims> average_pool_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  Result<WindowForm> form = window_form(node, x, std::nullopt, false, ceil);
  if (!form) {
    return std::unexpected(form.error());
  }
  return windowed_dims(x[0], x[1], *form);
}

Result<Dims> global_pool_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  if (x.size() < 3) {
    return fail(node, fmt::format("input {} needs spatial axes ([batch, channels, spatial axes...])", dims_text(x)));
  }
  Dims dims(x.size(), 1);
  dims[0] = x[0];
  dims[1] = x[1];
  return dims;
}

template <class Kind>
Result<void> map_global_pool(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  return define(context, context.graph().apply(context.output, Kind{}, {*x}));
}

// BatchNormalization at inference: before opset 14 a node in training mode
// names more than one output (and `spatial` 0 normalises each activation on
// its own, which the graph kind does not); from 14 training_mode says so.
template <bool training_attribute>
Result<Dims> batch_norm_output(const Node& node, std::span<const Operand> operands) {
  const bool extra_outputs =
      std::ranges::any_of(node.outputs.begin() + 1, node.outputs.end(), [](const std::string& output) {
        return !output.empty();
      });
  Result<std::int64_t> training = training_attribute ? int_attribute(node, "training_mode", 0)
                                                     : Result<std::int64_t>(0);
  Result<std::int64_t> spatial = training ? int_attribute(node, "spatial", 1) : training;
  if (!spatial) {
    return std::unexpected(spatial.error());
  }
  if (*training != 0 || extra_outputs) {
    return fail(node, "training mode (batch statistics, running mean and variance outputs) is not supported; only "
                      "inference is");
  }
  if (*spatial != 1) {
    return fail(node, "spatial 0 (statistics per activation) is not supported");
  }
  const Dims& x = operand_at(operands, 0).dims;
  if (x.size() < 2) {
    return fail(node, fmt::format("input {} must have rank 2 or more ([batch, channels, ...])", dims_text(x)));
  }
  for (std::size_t index = 1; index < 5; ++index) {
    if (operand_at(operands, index).dims != Dims{x[1]}) {
      return fail(node, fmt::format("{} {} must be [{}], one value per channel", input_name(node, index),
                                    dims_text(operand_at(operands, index).dims), x[1]));
    }
  }
  return x;
}

Result<void> map_batch_norm(const MapContext& context) {
  Result<float> epsilon = float_attribute(context.node, "epsilon", 1e-5F);
  if (!epsilon) {
    return std::unexpected(epsilon.error());
  }
  std::vector<TensorId> inputs;
  for (std::size_t index = 0; index < 5; ++index) {
    Result<TensorId> value = input(context, index);
    if (!value) {
      return std::unexpected(value.error());
    }
    inputs.push_back(*value);
  }
  return define(context, context.graph().apply(context.output, BatchNormalization{*epsilon}, std::move(inputs)));
}

// Conv: X, W and an optional bias B; kernel_shape, when given, must match W.
constexpr OperatorForm conv_forms[] = {
    {.opsets = {7, 17}, .arity = {2, 3, 1}, .shape = single_output<conv_output>, .map = map_conv},
};
// MaxPool: opset 8 adds the Indices output (never computed: a node reading it
// is refused), opset 10 dilations and ceil_mode.
constexpr OperatorForm max_pool_forms[] = {
    {.opsets = {7, 7}, .arity = {1, 1, 1}, .shape = single_output<pool_output<false>>, .map = map_max_pool<false>},
    {.opsets = {8, 9}, .arity = {1, 1, 2}, .shape = single_output<pool_output<false>>, .map = map_max_pool<false>},
    {.opsets = {10, 17}, .arity = {1, 1, 2}, .shape = single_output<pool_output<true>>, .map = map_max_pool<true>},
};
// AveragePool: count_include_pad from opset 7, ceil_mode from 10.
constexpr OperatorForm average_pool_forms[] = {
    {.opsets = {7, 9},
     .arity = {1, 1, 1},
     .shape = single_output<average_pool_output<false>>,
     .map = map_average_pool<false>},
    {.opsets = {10, 17},
     .arity = {1, 1, 1},
     .shape = single_output<average_pool_output<true>>,
     .map = map_average_pool<true>},
};
template <class Kind>
constexpr OperatorForm global_pool_forms[] = {
    {.opsets = {7, 17}, .arity = {1, 1, 1}, .shape = single_output<global_pool_output>, .map = map_global_pool<Kind>},
};
// BatchNormalization: five outputs before opset 14 (training mode), three from
// 14 with the training_mode attribute; only inference is taken.
constexpr OperatorForm batch_norm_forms[] = {
    {.opsets = {7, 13}, .arity = {5, 5, 5}, .shape = single_output<batch_norm_output<false>>, .map = map_batch_norm},
    {.opsets = {14, 17}, .arity = {5, 5, 3}, .shape = single_output<batch_norm_output<true>>, .map = map_batch_norm},
};

constexpr Registration registrations[] = {
    {"Conv", conv_forms},
    {"MaxPool", max_pool_forms},
    {"AveragePool", average_pool_forms},
    {"GlobalAveragePool", global_pool_forms<GlobalAveragePool>},
    {"GlobalMaxPool", global_pool_forms<GlobalMaxPool>},
    {"BatchNormalization", batch_norm_forms},
};

}  // namespace

std::span<const Registration> vision_operators() { return registrations; }

}  // namespace orvo_compiler::onnx_import
