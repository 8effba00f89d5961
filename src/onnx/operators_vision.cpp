// The image operators: Conv, MaxPool, AveragePool, their global forms and
// BatchNormalization at inference. Each becomes the graph kind of the same
// name; the window attributes (kernel_shape, strides, dilations, pads and
// auto_pad) are resolved here to explicit values per spatial axis.
// ConvTranspose becomes conv_transpose, its output_shape and auto_pad resolved
// to pads; DepthToSpace, SpaceToDepth and LRN become a few existing
// operations each. Upsample and Resize become resize, their scales or sizes
// known at import.
#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

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

// The operation's inputs x and w, then the node's optional bias (input 2).
Result<std::vector<TensorId>> with_bias(const MapContext& context, TensorId x, TensorId w) {
  std::vector<TensorId> inputs{x, w};
  if (context.node.inputs.size() > 2 && !context.node.inputs[2].empty()) {
    Result<TensorId> bias = input(context, 2);
    if (!bias) {
      return std::unexpected(bias.error());
    }
    inputs.push_back(*bias);
  }
  return inputs;
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
  Result<std::vector<TensorId>> inputs = with_bias(context, *x, *w);
  if (!inputs) {
    return std::unexpected(inputs.error());
  }
  const Conv kind{static_cast<std::uint64_t>(*group), form->strides, form->dilations, form->pads};
  return define(context, context.graph().apply(context.output, kind, std::move(*inputs)));
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

// DepthToSpace and SpaceToDepth move blocks of blocksize x blocksize between
// the channels and the two spatial axes of [N, C, H, W]. Each becomes a
// Reshape to six axes, a Transpose and a Reshape to the output.
enum class BlockMove : std::uint8_t { DepthToSpaceDcr, DepthToSpaceCrd, SpaceToDepth };

// The move `node` asks for: DepthToSpace's mode attribute (from opset 11;
// "DCR" before and when absent) picks its order.
template <bool space_to_depth, bool has_mode>
Result<BlockMove> block_move(const Node& node) {
  if constexpr (space_to_depth) {
    return BlockMove::SpaceToDepth;
  } else {
    const auto found = has_mode ? node.attributes.find("mode") : node.attributes.end();
    if (found == node.attributes.end()) {
      return BlockMove::DepthToSpaceDcr;
    }
    const auto* mode = std::get_if<std::string>(&found->second);
    if (mode == nullptr || (*mode != "DCR" && *mode != "CRD")) {
      return fail(node, "mode must be DCR or CRD");
    }
    return *mode == "DCR" ? BlockMove::DepthToSpaceDcr : BlockMove::DepthToSpaceCrd;
  }
}

// The block move's intermediate shape (six axes), permutation and output.
struct BlockForm {
  Dims split;
  std::vector<std::uint64_t> permutation;
  Dims output;
};

Result<BlockForm> block_form(const Node& node, const Dims& x, BlockMove move) {
  Result<std::int64_t> blocksize = int_attribute(node, "blocksize", 0);
  if (!blocksize) {
    return std::unexpected(blocksize.error());
  }
  const std::int64_t block = *blocksize;
  if (block < 1 || block > largest_window_parameter) {
    return fail(node, fmt::format("blocksize {} must be from 1 to 2^32 - 1", block));
  }
  if (x.size() != 4) {
    return fail(node, fmt::format("input {} must have rank 4 ([batch, channels, height, width])", dims_text(x)));
  }
  const std::int64_t n = x[0];
  const std::int64_t c = x[1];
  const std::int64_t h = x[2];
  const std::int64_t w = x[3];
  if (move == BlockMove::SpaceToDepth) {
    if (h % block != 0 || w % block != 0) {
      return fail(node, fmt::format("input {} needs height and width divisible by blocksize {}", dims_text(x),
                                    block));
    }
    return BlockForm{{n, c, h / block, block, w / block, block},
                     {0, 3, 5, 1, 2, 4},
                     {n, c * block * block, h / block, w / block}};
  }
  if (c % (block * block) != 0) {
    return fail(node, fmt::format("input {} needs channels divisible by blocksize {} squared", dims_text(x), block));
  }
  const std::int64_t depth = c / (block * block);
  const Dims output{n, depth, h * block, w * block};
  if (move == BlockMove::DepthToSpaceDcr) {
    return BlockForm{{n, block, block, depth, h, w}, {0, 3, 4, 1, 5, 2}, output};
  }
  return BlockForm{{n, depth, block, block, h, w}, {0, 1, 4, 2, 5, 3}, output};
}

template <bool space_to_depth, bool has_mode>
Result<Dims> block_move_output(const Node& node, std::span<const Operand> operands) {
  Result<BlockMove> move = block_move<space_to_depth, has_mode>(node);
  Result<BlockForm> form = move ? block_form(node, operand_at(operands, 0).dims, *move)
                                : std::unexpected(move.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  return form->output;
}

template <bool space_to_depth, bool has_mode>
Result<void> map_block_move(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<BlockMove> move = x ? block_move<space_to_depth, has_mode>(context.node) : std::unexpected(x.error());
  Result<BlockForm> form = move ? block_form(context.node, to_dims(context.shape_of(*x)), *move)
                                : std::unexpected(move.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  Graph& graph = context.graph();
  Result<TensorId> split = graph.reshape(context.derived("blocks"), *x, to_shape(form->split));
  Result<TensorId> moved = split ? graph.transpose(context.derived("moved"), *split, std::move(form->permutation))
                                 : split;
  return define(context, moved ? graph.reshape(context.output, *moved, context.output_shape()) : moved);
}

// LRN: each element divided by (bias + alpha / size * s)^beta, where s sums
// the squares of the `size` channels around it (floor((size - 1) / 2) before,
// the rest after, those past either end left out). The squares are pooled
// over the channels as one spatial axis: a Reshape of [N, C, ...] to
// [N, 1, C, rest], an AveragePool of window [size, 1] that counts the padding
// (the sum over size), and a Reshape back; then Mul by alpha, Add of bias,
// Pow to beta and the Div.
struct LrnForm {
  std::uint64_t size = 0;
  float alpha = 0.0F;
  float beta = 0.0F;
  float bias = 0.0F;
};

Result<LrnForm> lrn_form(const Node& node, const Dims& x) {
  Result<std::int64_t> size = int_attribute(node, "size", 0);
  Result<float> alpha = size ? float_attribute(node, "alpha", 1e-4F) : std::unexpected(size.error());
  Result<float> beta = alpha ? float_attribute(node, "beta", 0.75F) : std::unexpected(alpha.error());
  Result<float> bias = beta ? float_attribute(node, "bias", 1.0F) : std::unexpected(beta.error());
  if (!bias) {
    return std::unexpected(bias.error());
  }
  if (*size < 1 || *size > largest_window_parameter) {
    return fail(node, fmt::format("size {} must be from 1 to 2^32 - 1", *size));
  }
  if (x.size() < 2) {
    return fail(node, fmt::format("input {} must have rank 2 or more ([batch, channels, ...])", dims_text(x)));
  }
  return LrnForm{static_cast<std::uint64_t>(*size), *alpha, *beta, *bias};
}

Result<Dims> lrn_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  Result<LrnForm> form = lrn_form(node, x);
  if (!form) {
    return std::unexpected(form.error());
  }
  return x;
}

Result<void> map_lrn(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<LrnForm> form = x ? lrn_form(context.node, to_dims(context.shape_of(*x))) : std::unexpected(x.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  Graph& graph = context.graph();
  const Shape shape = context.shape_of(*x);
  std::uint64_t rest = 1;
  for (std::size_t axis = 2; axis < shape.size(); ++axis) {
    rest *= shape[axis];
  }
  const std::uint64_t before = (form->size - 1) / 2;
  const AveragePool window{{form->size, 1}, {1, 1}, {before, 0, form->size - 1 - before, 0}, false, true};
  Result<TensorId> squares = graph.apply(context.derived("squares"), Mul{}, {*x, *x});
  Result<TensorId> rows = squares ? graph.reshape(context.derived("channels"), *squares, {shape[0], 1, shape[1], rest})
                                  : squares;
  Result<TensorId> mean = rows ? graph.apply(context.derived("window"), window, {*rows}) : rows;
  Result<TensorId> back = mean ? graph.reshape(context.derived("window_sum"), *mean, shape) : mean;
  Result<TensorId> scaled_sum = back ? scaled(context, context.derived("scaled"), "alpha", *back, form->alpha) : back;
  Result<TensorId> bias = scaled_sum ? derived_weight(context, "bias", context.derived("bias"),
                                                      Constant{float_type, {}, {form->bias}, {}})
                                     : scaled_sum;
  Result<TensorId> base = bias ? binary(context, context.derived("base"), Add{}, *scaled_sum, *bias, shape) : bias;
  Result<TensorId> beta = base ? derived_weight(context, "beta", context.derived("beta"),
                                                Constant{float_type, {}, {form->beta}, {}})
                               : base;
  Result<TensorId> divisor = beta ? binary(context, context.derived("divisor"), Pow{}, *base, *beta, shape) : beta;
  return define(context, divisor ? binary(context, context.output, Div{}, *x, *divisor, shape) : divisor);
}

// ConvTranspose's attributes resolved for one input and filter set: the
// graph kind's parameters and the output's spatial dims. The pads come from
// `pads` (auto_pad NOTSET), are 0 (VALID), or split the total padding that
// output_shape (or, with SAME_UPPER and SAME_LOWER, input size times stride)
// asks for: half (rounded down) before for SAME_UPPER, the other half before
// otherwise. A negative total adds positions at the end, as output_padding.
struct TransposedForm {
  std::int64_t group = 1;
  Shape strides;
  Shape dilations;
  Shape pads;
  Shape output_padding;
  Dims output;
};

// a / 2 rounded towards minus infinity.
std::int64_t half_down(std::int64_t value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

Result<TransposedForm> transposed_form(const Node& node, const Dims& x, const Dims& w) {
  Result<std::int64_t> group = int_attribute(node, "group", 1);
  if (!group) {
    return std::unexpected(group.error());
  }
  if (x.size() < 3 || x.size() > 5) {
    return fail(node, fmt::format("input {} must have rank 3 to 5 ([batch, channels, spatial axes...])",
                                  dims_text(x)));
  }
  if (w.size() != x.size() || *group < 1 || x[1] % *group != 0 || w[0] != x[1]) {
    return fail(node, fmt::format("filters {} do not suit input {} in {} groups", dims_text(w), dims_text(x),
                                  *group));
  }
  const std::size_t axes = x.size() - 2;
  const Dims kernel(w.begin() + 2, w.end());
  Result<std::optional<std::vector<std::int64_t>>> kernel_shape = ints_attribute(node, "kernel_shape");
  if (!kernel_shape) {
    return std::unexpected(kernel_shape.error());
  }
  if (*kernel_shape && **kernel_shape != kernel) {
    return fail(node, fmt::format("kernel_shape {} differs from the filters' spatial dims {}",
                                  dims_text(**kernel_shape), dims_text(kernel)));
  }
  Result<Shape> strides = window_attribute(node, "strides", axes, 1, 1, true);
  Result<Shape> dilations = strides ? window_attribute(node, "dilations", axes, 1, 1, true) : strides;
  Result<Shape> pads = dilations ? window_attribute(node, "pads", axes, 2, 0, false) : dilations;
  Result<Shape> extra = pads ? window_attribute(node, "output_padding", axes, 1, 0, false) : pads;
  Result<std::optional<std::vector<std::int64_t>>> output_shape =
      extra ? ints_attribute(node, "output_shape") : std::unexpected(extra.error());
  Result<std::string> padding = output_shape ? auto_pad(node) : std::unexpected(output_shape.error());
  if (!padding) {
    return std::unexpected(padding.error());
  }
  std::optional<Dims> target;
  if (*output_shape) {
    // The spatial dims, or the whole output's (the last ones are spatial).
    const Dims& values = **output_shape;
    if (values.size() != axes && values.size() != axes + 2) {
      return fail(node, fmt::format("output_shape {} needs {} values for {} spatial axes", dims_text(values), axes,
                                    axes));
    }
    target = Dims(values.end() - static_cast<std::ptrdiff_t>(axes), values.end());
  }
  TransposedForm form{*group, std::move(*strides), std::move(*dilations), Shape(2 * axes, 0), std::move(*extra), {}};
  for (std::size_t axis = 0; axis < axes; ++axis) {
    const std::int64_t size = x[axis + 2];
    const std::int64_t k = kernel[axis];
    if (size < 1 || size > largest_window_parameter || k < 1 || k > largest_window_parameter) {
      return fail(node, fmt::format("input {} and filters {} need spatial dims from 1 to 2^32 - 1", dims_text(x),
                                    dims_text(w)));
    }
    const auto stride = static_cast<std::int64_t>(form.strides[axis]);
    const std::int64_t full = stride * (size - 1) + static_cast<std::int64_t>(form.output_padding[axis]) +
                              static_cast<std::int64_t>(form.dilations[axis]) * (k - 1) + 1;
    std::int64_t before = static_cast<std::int64_t>((*pads)[axis]);
    std::int64_t after = static_cast<std::int64_t>((*pads)[axes + axis]);
    if (target || *padding == "SAME_UPPER" || *padding == "SAME_LOWER") {
      const std::int64_t wanted = target ? (*target)[axis] : size * stride;
      if (wanted < 1 || wanted > largest_window_parameter) {
        return fail(node, fmt::format("output_shape {} must be from 1 to 2^32 - 1", dims_text(*target)));
      }
      const std::int64_t total = full - wanted;
      before = *padding == "SAME_UPPER" ? half_down(total) : total - half_down(total);
      after = total - before;
    } else if (*padding == "VALID") {
      before = 0;
      after = 0;
    }
    if (before < 0) {
      return fail(node, fmt::format("output of {} positions on spatial axis {} needs padding before it; only "
                                    "positions after the end can be added",
                                    full - before - after, axis));
    }
    if (before + after >= full) {
      return fail(node, fmt::format("pads {} and {} leave no output of the {} positions on spatial axis {}", before,
                                    after, full, axis));
    }
    form.pads[axis] = static_cast<std::uint64_t>(before);
    form.pads[axes + axis] = static_cast<std::uint64_t>(std::max<std::int64_t>(after, 0));
    form.output_padding[axis] += static_cast<std::uint64_t>(std::max<std::int64_t>(-after, 0));
    form.output.push_back(full - before - after);
  }
  return form;
}

Result<Dims> conv_transpose_output(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  const Dims& w = operand_at(operands, 1).dims;
  Result<TransposedForm> form = transposed_form(node, x, w);
  if (!form) {
    return std::unexpected(form.error());
  }
  const std::int64_t filters = w[1] * form->group;
  if (const Operand& bias = operand_at(operands, 2); bias.present && bias.dims != Dims{filters}) {
    return fail(node, fmt::format("bias {} {} must be [{}], one value per output channel", input_name(node, 2),
                                  dims_text(bias.dims), filters));
  }
  Dims dims{x[0], filters};
  dims.insert(dims.end(), form->output.begin(), form->output.end());
  return dims;
}

Result<void> map_conv_transpose(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  Result<TensorId> w = x ? input(context, 1) : x;
  Result<TransposedForm> form = w ? transposed_form(context.node, to_dims(context.shape_of(*x)),
                                                    to_dims(context.shape_of(*w)))
                                  : std::unexpected(w.error());
  if (!form) {
    return std::unexpected(form.error());
  }
  Result<std::vector<TensorId>> inputs = with_bias(context, *x, *w);
  if (!inputs) {
    return std::unexpected(inputs.error());
  }
  const ConvTranspose kind{static_cast<std::uint64_t>(form->group), form->strides, form->dilations, form->pads,
                           form->output_padding};
  return define(context, context.graph().apply(context.output, kind, std::move(*inputs)));
}


// Where a resizing operator takes its scales: the attribute (Upsample before
// opset 9), input 1 (Upsample from opset 9, Resize at opset 10; both with
// asymmetric coordinates and nearest rounding down), or input 2 beside roi
// and sizes (Resize from opset 11, with its coordinate attributes).
enum class ResizeForm { ScalesAttribute, ScalesInput, Full };

// The string attribute `name`, `fallback` when absent.
Result<std::string> string_attribute(const Node& node, std::string_view name, std::string_view fallback) {
  const auto found = node.attributes.find(std::string(name));
  if (found == node.attributes.end()) {
    return std::string(fallback);
  }
  const auto* value = std::get_if<std::string>(&found->second);
  if (value == nullptr) {
    return fail(node, fmt::format("{} must be a string", name));
  }
  return *value;
}

// The scales input `index` when given and not empty; it must be known at
// import.
Result<std::optional<std::vector<float>>> scales_input(const Node& node, std::span<const Operand> operands,
                                                       std::size_t index) {
  const Operand& operand = operand_at(operands, index);
  if (!operand.present) {
    return std::nullopt;
  }
  if (operand.constant == nullptr) {
    if (element_count(operand.dims) == std::optional<std::uint64_t>(0)) {
      return std::nullopt;
    }
    return fail(node, fmt::format("scales input {} is computed at run time, but {} is accepted only when its scales "
                                  "input is known at import",
                                  input_name(node, index), node.op_type));
  }
  if (!operand.constant->is_float()) {
    return fail(node, fmt::format("scales input {} has element type {} where floats are needed",
                                  input_name(node, index), data_type_name(operand.constant->data_type)));
  }
  if (operand.constant->floats.empty()) {
    return std::nullopt;
  }
  return operand.constant->floats;
}

// The sizes input (3) when given and not empty; it must be known at import.
Result<std::optional<Dims>> sizes_input(const Node& node, std::span<const Operand> operands) {
  const Operand& operand = operand_at(operands, 3);
  if (!operand.present ||
      (operand.constant == nullptr && element_count(operand.dims) == std::optional<std::uint64_t>(0))) {
    return std::nullopt;
  }
  Result<Dims> sizes = integer_input(node, operands, 3, "sizes");
  if (!sizes) {
    return std::unexpected(sizes.error());
  }
  if (sizes->empty()) {
    return std::nullopt;
  }
  return *sizes;
}

// The resize of input 0 (`x`) that `node` asks for: its output shape, the
// scales when given, and its modes.
template <ResizeForm form>
Result<Resize> resize_form(const Node& node, std::span<const Operand> operands) {
  const Dims& x = operand_at(operands, 0).dims;
  if (x.empty()) {
    return fail(node, "input must have rank 1 or more");
  }
  std::optional<std::vector<float>> scales;
  std::optional<Dims> sizes;
  if constexpr (form == ResizeForm::ScalesAttribute) {
    const auto found = node.attributes.find("scales");
    const auto* values = found == node.attributes.end() ? nullptr : std::get_if<std::vector<float>>(&found->second);
    if (values == nullptr) {
      return fail(node, "scales (a list of floats) is required");
    }
    scales = *values;
  } else {
    Result<std::optional<std::vector<float>>> given = scales_input(node, operands, form == ResizeForm::Full ? 2 : 1);
    if (!given) {
      return std::unexpected(given.error());
    }
    scales = std::move(*given);
    if constexpr (form == ResizeForm::Full) {
      Result<std::optional<Dims>> wanted = sizes_input(node, operands);
      if (!wanted) {
        return std::unexpected(wanted.error());
      }
      sizes = std::move(*wanted);
    }
  }
  if (scales && sizes) {
    return fail(node, "takes scales or sizes, not both");
  }
  if (!scales && !sizes) {
    return fail(node, "needs scales or sizes");
  }
  const std::size_t rank = x.size();
  if ((scales && scales->size() != rank) || (sizes && sizes->size() != rank)) {
    return fail(node, fmt::format("{} [{}] need one value per axis of input {} ({})", scales ? "scales" : "sizes",
                                  scales ? fmt::format("{}", fmt::join(*scales, ", "))
                                         : fmt::format("{}", fmt::join(*sizes, ", ")),
                                  dims_text(x), rank));
  }
  Resize kind;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    if (x[axis] < 1 || x[axis] > largest_window_parameter) {
      return fail(node, fmt::format("input {} needs dims from 1 to 2^32 - 1", dims_text(x)));
    }
    std::int64_t size = 0;
    if (scales) {
      const float scale = (*scales)[axis];
      if (!std::isfinite(scale) || scale <= 0.0F) {
        return fail(node, fmt::format("scales [{}] must be positive and finite", fmt::join(*scales, ", ")));
      }
      // The output keeps floor(input * scale) positions, worked in double.
      const double product = std::floor(static_cast<double>(x[axis]) * static_cast<double>(scale));
      size = product > static_cast<double>(largest_window_parameter) ? largest_window_parameter + 1
                                                                     : static_cast<std::int64_t>(product);
    } else {
      size = (*sizes)[axis];
    }
    if (size < 1 || size > largest_window_parameter) {
      return fail(node, fmt::format("output of {} positions on axis {} must be from 1 to 2^32 - 1", size, axis));
    }
    kind.shape.push_back(static_cast<std::uint64_t>(size));
  }
  if (scales) {
    kind.scales = std::move(*scales);
  }
  Result<std::string> mode = string_attribute(node, "mode", "nearest");
  if (!mode) {
    return std::unexpected(mode.error());
  }
  if (*mode == "cubic") {
    return fail(node, "mode cubic is not supported (only nearest and linear)");
  }
  if (*mode != "nearest" && *mode != "linear") {
    return fail(node, fmt::format("mode {} is not nearest or linear", *mode));
  }
  kind.mode = *mode;
  if constexpr (form != ResizeForm::Full) {
    kind.coordinate_transformation_mode = "asymmetric";
    kind.nearest_mode = "floor";
  } else {
    Result<std::string> coordinates = string_attribute(node, "coordinate_transformation_mode", "half_pixel");
    Result<std::string> rounding =
        coordinates ? string_attribute(node, "nearest_mode", "round_prefer_floor") : coordinates;
    if (!rounding) {
      return std::unexpected(rounding.error());
    }
    if (*coordinates == "tf_crop_and_resize") {
      return fail(node, "coordinate_transformation_mode tf_crop_and_resize is not supported");
    }
    if (*coordinates != "half_pixel" && *coordinates != "pytorch_half_pixel" && *coordinates != "align_corners" &&
        *coordinates != "asymmetric" && *coordinates != "tf_half_pixel_for_nn") {
      return fail(node, fmt::format("coordinate_transformation_mode {} is not half_pixel, pytorch_half_pixel, "
                                    "align_corners, asymmetric, tf_half_pixel_for_nn or tf_crop_and_resize",
                                    *coordinates));
    }
    if (*rounding != "round_prefer_floor" && *rounding != "round_prefer_ceil" && *rounding != "floor" &&
        *rounding != "ceil") {
      return fail(node, fmt::format("nearest_mode {} is not round_prefer_floor, round_prefer_ceil, floor or ceil",
                                    *rounding));
    }
    kind.coordinate_transformation_mode = *coordinates;
    kind.nearest_mode = *rounding;
    // cubic_coeff_a only shapes cubic weights; exclude_outside and
    // extrapolation_value only touch positions outside the input, which
    // nearest and linear never read (their coordinates are clamped to it).
    Result<float> cubic = float_attribute(node, "cubic_coeff_a", -0.75F);
    Result<std::int64_t> exclude = cubic ? int_attribute(node, "exclude_outside", 0) : std::unexpected(cubic.error());
    Result<float> extrapolation =
        exclude ? float_attribute(node, "extrapolation_value", 0.0F) : std::unexpected(exclude.error());
    if (!extrapolation) {
      return std::unexpected(extrapolation.error());
    }
  }
  return kind;
}

template <ResizeForm form>
Result<Dims> resize_output(const Node& node, std::span<const Operand> operands) {
  Result<Resize> kind = resize_form<form>(node, operands);
  if (!kind) {
    return std::unexpected(kind.error());
  }
  return to_dims(kind->shape);
}

template <ResizeForm form>
Result<void> map_resize(const MapContext& context) {
  Result<TensorId> x = input(context, 0);
  if (!x) {
    return std::unexpected(x.error());
  }
  // The inputs as the shape rule saw them: the scales and sizes known, any
  // other input by its dims.
  std::vector<Operand> operands;
  for (std::size_t index = 0; index < context.node.inputs.size(); ++index) {
    Operand operand;
    operand.present = !context.node.inputs[index].empty();
    if (index == 0) {
      operand.dims = to_dims(context.shape_of(*x));
    } else if (operand.present) {
      operand.constant = context.constant(index);
      if (operand.constant != nullptr) {
        operand.dims = operand.constant->dims;
      } else if (const auto found = context.mapping.tensors.find(context.node.inputs[index]);
                 found != context.mapping.tensors.end()) {
        operand.dims = to_dims(context.shape_of(found->second));
      } else if (const auto shape = context.folded.shapes.find(context.node.inputs[index]);
                 shape != context.folded.shapes.end()) {
        operand.dims = to_dims(shape->second);
      }
    }
    operands.push_back(std::move(operand));
  }
  Result<Resize> kind = resize_form<form>(context.node, operands);
  if (!kind) {
    return std::unexpected(kind.error());
  }
  return define(context, context.graph().apply(context.output, std::move(*kind), {*x}));
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

// DepthToSpace: mode (DCR or CRD) from opset 11; DCR before.
constexpr OperatorForm depth_to_space_forms[] = {
    {.opsets = {7, 10},
     .arity = {1, 1, 1},
     .shape = single_output<block_move_output<false, false>>,
     .map = map_block_move<false, false>},
    {.opsets = {11, 17},
     .arity = {1, 1, 1},
     .shape = single_output<block_move_output<false, true>>,
     .map = map_block_move<false, true>},
};
constexpr OperatorForm space_to_depth_forms[] = {
    {.opsets = {7, 17},
     .arity = {1, 1, 1},
     .shape = single_output<block_move_output<true, false>>,
     .map = map_block_move<true, false>},
};
constexpr OperatorForm lrn_forms[] = {
    {.opsets = {7, 17}, .arity = {1, 1, 1}, .shape = single_output<lrn_output>, .map = map_lrn},
};
// ConvTranspose: X, W and an optional bias B, one form from opset 7 to 17.
constexpr OperatorForm conv_transpose_forms[] = {
    {.opsets = {7, 17}, .arity = {2, 3, 1}, .shape = single_output<conv_transpose_output>, .map = map_conv_transpose},
};

// Upsample: scales an attribute at opsets 7 and 8, input 1 at 9.
constexpr OperatorForm upsample_forms[] = {
    {.opsets = {7, 8},
     .arity = {1, 1, 1},
     .shape = single_output<resize_output<ResizeForm::ScalesAttribute>>,
     .map = map_resize<ResizeForm::ScalesAttribute>},
    {.opsets = {9, 9},
     .arity = {2, 2, 1},
     .shape = single_output<resize_output<ResizeForm::ScalesInput>>,
     .map = map_resize<ResizeForm::ScalesInput>},
};
// Resize: X and scales at opset 10; X, roi, scales and optional sizes at 11
// and 12; roi and scales optional from 13.
constexpr OperatorForm resize_forms[] = {
    {.opsets = {10, 10},
     .arity = {2, 2, 1},
     .shape = single_output<resize_output<ResizeForm::ScalesInput>>,
     .map = map_resize<ResizeForm::ScalesInput>},
    {.opsets = {11, 12},
     .arity = {3, 4, 1},
     .shape = single_output<resize_output<ResizeForm::Full>>,
     .map = map_resize<ResizeForm::Full>},
    {.opsets = {13, 17},
     .arity = {1, 4, 1},
     .shape = single_output<resize_output<ResizeForm::Full>>,
     .map = map_resize<ResizeForm::Full>},
};

constexpr Registration vision_registrations[] = {
    {"Conv", conv_forms},
    {"MaxPool", max_pool_forms},
    {"AveragePool", average_pool_forms},
    {"GlobalAveragePool", global_pool_forms<GlobalAveragePool>},
    {"GlobalMaxPool", global_pool_forms<GlobalMaxPool>},
    {"BatchNormalization", batch_norm_forms},
    {"DepthToSpace", depth_to_space_forms},
    {"SpaceToDepth", space_to_depth_forms},
    {"LRN", lrn_forms},
    {"ConvTranspose", conv_transpose_forms},
    {"Upsample", upsample_forms},
    {"Resize", resize_forms},
};

}  // namespace

std::span<const Registration> vision_operators() { return vision_registrations; }

}  // namespace orvo_compiler::onnx_import
