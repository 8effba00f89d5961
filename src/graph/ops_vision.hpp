// Operation kinds of image models, over [batch, channels, spatial axes...]:
// conv, max_pool, average_pool, their global forms, batch_normalization,
// conv_transpose and resize (which takes any rank).
// The windowed kinds share one geometry: the output size of each spatial axis
// and, for each output position, its taps (the window's positions that fall
// inside the input) in row-major order of the window, padding left out.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "graph/op_definition.hpp"
#include "graph/ops_reductions.hpp"
#include "kernels/kernels_conv.hpp"
#include "support/render.hpp"

namespace orvo_compiler::detail {

// Strides, dilations and pads of a window over the spatial axes, each with one
// value per axis (pads split into those before and after).
struct WindowGeometry {
  Shape input;  // the spatial dimensions
  Shape kernel;
  Shape strides;
  Shape dilations;
  Shape pads_before;
  Shape pads_after;
  Shape output;
};

// One position of a window inside the input: its index in the window's
// row-major order and its offset in the input's spatial plane.
struct WindowTap {
  std::uint64_t kernel_index = 0;
  std::uint64_t input_offset = 0;
};

// Parameters beyond this bound are refused, so that every sum of dimensions,
// pads and window extents below stays far from overflow.
inline constexpr std::uint64_t window_parameter_limit = std::uint64_t{1} << 32U;

// `values` with one entry per spatial axis (`fallback` each when empty), or
// nothing when it has another length.
inline std::optional<Shape> per_axis(const Shape& values, std::size_t axes, std::size_t per, std::uint64_t fallback) {
  if (values.empty()) {
    return Shape(axes * per, fallback);
  }
  if (values.size() != axes * per) {
    return std::nullopt;
  }
  return values;
}

// The geometry of windows of `kernel` over `input` (rank 3 to 5: batch,
// channels and the spatial axes), or the rule's error. `pads_inside`: each pad
// must be smaller than the window's extent, so that every window holds at
// least one input element (the pools' rule). `ceil_mode` counts a last partial
// window when it starts inside the input or its leading padding.
inline Result<WindowGeometry> window_geometry(std::string_view operation, const Shape& input, const Shape& kernel,
                                              const Shape& strides, const Shape& dilations, const Shape& pads,
                                              bool ceil_mode, bool pads_inside, std::string_view name) {
  if (input.size() < 3 || input.size() > 5) {
    return rule_error(name, fmt::format("{} takes an input of rank 3 to 5 ([batch, channels, spatial axes...]), not "
                                        "{}",
                                        operation, shape_text(input)));
  }
  const std::size_t axes = input.size() - 2;
  if (kernel.size() != axes) {
    return rule_error(name, fmt::format("{} kernel {} does not fit {} spatial axes", operation, shape_text(kernel),
                                        axes));
  }
  const std::optional<Shape> step = per_axis(strides, axes, 1, 1);
  const std::optional<Shape> dilation = per_axis(dilations, axes, 1, 1);
  const std::optional<Shape> pad = per_axis(pads, axes, 2, 0);
  if (!step || !dilation) {
    return rule_error(name, fmt::format("{} strides {} and dilations {} need one value per spatial axis ({})",
                                        operation, shape_text(strides), shape_text(dilations), axes));
  }
  if (!pad) {
    return rule_error(name, fmt::format("{} pads {} need two values per spatial axis ({}: before each, then after "
                                        "each)",
                                        operation, shape_text(pads), 2 * axes));
  }
  WindowGeometry geometry{.input = Shape(input.begin() + 2, input.end()), .kernel = kernel};
  for (std::size_t axis = 0; axis < axes; ++axis) {
    const std::uint64_t before = (*pad)[axis];
    const std::uint64_t after = (*pad)[axes + axis];
    if ((*step)[axis] == 0 || (*dilation)[axis] == 0 || kernel[axis] == 0) {
      return rule_error(name, fmt::format("{} kernel, strides and dilations must be at least 1", operation));
    }
    if ((*step)[axis] >= window_parameter_limit || (*dilation)[axis] >= window_parameter_limit ||
        kernel[axis] >= window_parameter_limit || before >= window_parameter_limit ||
        after >= window_parameter_limit || geometry.input[axis] >= window_parameter_limit) {
      return rule_error(name, fmt::format("{} kernel, strides, dilations, pads and spatial dimensions must be below "
                                          "2^32",
                                          operation));
    }
    const std::uint64_t extent = (*dilation)[axis] * (kernel[axis] - 1) + 1;
    const std::uint64_t padded = geometry.input[axis] + before + after;
    if (extent > padded) {
      return rule_error(name, fmt::format("{} window of extent {} is larger than the padded input ({}) on spatial "
                                          "axis {}",
                                          operation, extent, padded, axis));
    }
    if (pads_inside && (before >= extent || after >= extent)) {
      return rule_error(name, fmt::format("{} pads must be smaller than the window's extent {} on spatial axis {}",
                                          operation, extent, axis));
    }
    const std::uint64_t span = padded - extent;
    std::uint64_t count = (ceil_mode ? (span + (*step)[axis] - 1) / (*step)[axis] : span / (*step)[axis]) + 1;
    if (ceil_mode && (count - 1) * (*step)[axis] >= geometry.input[axis] + before) {
      --count;
    }
    geometry.output.push_back(count);
  }
  geometry.strides = *step;
  geometry.dilations = *dilation;
  geometry.pads_before = Shape(pad->begin(), pad->begin() + static_cast<std::ptrdiff_t>(axes));
  geometry.pads_after = Shape(pad->begin() + static_cast<std::ptrdiff_t>(axes), pad->end());
  return geometry;
}

// Walks every output position of `geometry` in row-major order, calling
// visit(position, taps, padded_taps): the window's taps inside the input in
// row-major order of the window, and the number of its taps inside the
// padded input (without the overhang of a ceil_mode window).
template <class Visit>
void for_each_window(const WindowGeometry& geometry, Visit&& visit) {
  const std::size_t axes = geometry.input.size();
  std::vector<std::uint64_t> index(axes, 0);
  const std::uint64_t positions = elements_of(geometry.output);
  std::vector<WindowTap> taps;
  std::vector<WindowTap> next;
  for (std::uint64_t position = 0; position < positions; ++position) {
    taps.assign(1, WindowTap{});
    std::uint64_t padded_taps = 1;
    for (std::size_t axis = 0; axis < axes; ++axis) {
      next.clear();
      std::uint64_t inside_padding = 0;
      // Window coordinates are counted in the padded input, which starts
      // pads_before[axis] ahead of the input.
      const std::uint64_t start = index[axis] * geometry.strides[axis];
      const std::uint64_t padded_end = geometry.pads_before[axis] + geometry.input[axis] + geometry.pads_after[axis];
      for (const WindowTap& tap : taps) {
        for (std::uint64_t k = 0; k < geometry.kernel[axis]; ++k) {
          const std::uint64_t at = start + k * geometry.dilations[axis];
          if (at >= geometry.pads_before[axis] && at < geometry.pads_before[axis] + geometry.input[axis]) {
            next.push_back({tap.kernel_index * geometry.kernel[axis] + k,
                            tap.input_offset * geometry.input[axis] + (at - geometry.pads_before[axis])});
          }
        }
      }
      for (std::uint64_t k = 0; k < geometry.kernel[axis]; ++k) {
        inside_padding += static_cast<std::uint64_t>(start + k * geometry.dilations[axis] < padded_end);
      }
      padded_taps *= inside_padding;
      taps.swap(next);
    }
    visit(position, std::span<const WindowTap>(taps), padded_taps);
    for (std::size_t axis = axes; axis-- > 0;) {
      if (++index[axis] < geometry.output[axis]) {
        break;
      }
      index[axis] = 0;
    }
  }
}

// [batch, channels] followed by the geometry's output dimensions.
inline Shape windowed_shape(std::uint64_t batch, std::uint64_t channels, const WindowGeometry& geometry) {
  Shape shape{batch, channels};
  shape.insert(shape.end(), geometry.output.begin(), geometry.output.end());
  return shape;
}

// X [N, C, D...], W [M, C / group, K...], optionally B [M]: each output is
// its window's dot product with the filter, sum = x * w + sum from +0.0 over
// the group's channels ascending, then the window's taps in row-major order
// (padding adds nothing), then + bias. That is the order of a matrix product
// of the packed windows against the filters, k running over (channel, tap).
template <>
struct OpDefinition<Conv> {
  static constexpr std::size_t arity = variadic;

  static Result<WindowGeometry> geometry(const Conv& kind, const Shape& x, const Shape& w, std::string_view name) {
    if (w.size() != x.size()) {
      return rule_error(name, fmt::format("conv filters {} need the input's rank ({})", shape_text(w), x.size()));
    }
    return window_geometry("conv", x, Shape(w.begin() + 2, w.end()), kind.strides, kind.dilations, kind.pads, false,
                           false, name);
  }

  static Result<Shape> output_shape(const Conv& kind, const InputShapes& inputs, std::string_view name) {
    if (inputs.size() != 2 && inputs.size() != 3) {
      return rule_error(name, fmt::format("conv takes 2 or 3 inputs (input, filters, bias), not {}", inputs.size()));
    }
    const Shape& x = inputs[0];
    const Shape& w = inputs[1];
    Result<WindowGeometry> window = geometry(kind, x, w, name);
    if (!window) {
      return std::unexpected(window.error());
    }
    const std::uint64_t channels = x[1];
    const std::uint64_t filters = w[0];
    if (kind.group == 0) {
      return rule_error(name, "conv group must be at least 1");
    }
    if (channels % kind.group != 0 || filters % kind.group != 0 ||
        w[1] != channels / kind.group) {
      return rule_error(name, fmt::format("conv of {} input channels in {} groups does not take filters {} ({} "
                                          "channels each, a multiple of {} filters)",
                                          channels, kind.group, shape_text(w), channels / kind.group, kind.group));
    }
    if (inputs.size() == 3 && inputs[2] != Shape{filters}) {
      return rule_error(name, fmt::format("conv bias {} must be [{}], one value per filter", shape_text(inputs[2]),
                                          filters));
    }
    return windowed_shape(x[0], filters, *window);
  }

  // The conv kernel's view of a conv whose shapes have passed the shape rule.
  static ConvShape kernel_shape(const Conv& kind, const Shape& x, const Shape& w, std::string_view name) {
    const WindowGeometry window = *geometry(kind, x, w, name);
    return conv_shape(x[0], x[1], w[0], kind.group, window.input, window.kernel, window.strides, window.dilations,
                      window.pads_before, window.output);
  }

  static std::vector<float> evaluate(const Conv& kind, KernelInputs& inputs) {
    const ConvShape shape = kernel_shape(kind, inputs.shape(0), inputs.shape(1), inputs.name());
    std::vector<float> output(elements_of(inputs.output_shape()));
    conv_forward(inputs.path(), shape, inputs.operand(0), inputs.operand(1),
                 inputs.size() == 3 ? inputs.operand(2) : std::span<const float>{}, output);
    return output;
  }
};

// Each output position's taps, worked out once for every plane: position i
// reads taps[first[i], first[i + 1]), and padded[i] of its window's positions
// lie inside the padded input. A pool that loops over its taps (max pooling,
// with at most three spatial axes) gets `by_taps` instead, and no list.
struct PoolWindows {
  std::vector<WindowTap> taps;
  std::vector<std::uint64_t> first;
  std::vector<std::uint64_t> padded;
  std::uint64_t plane = 0;      // input elements of one plane
  std::uint64_t positions = 0;  // output elements of one plane
  std::optional<ConvShape> by_taps;
};

// The windows of pooling kind `Kind` over `geometry`.
template <class Kind>
PoolWindows pool_windows(const WindowGeometry& geometry) {
  PoolWindows windows{.plane = elements_of(geometry.input), .positions = elements_of(geometry.output)};
  if (OpDefinition<Kind>::loops_over_taps && geometry.input.size() <= 3) {
    windows.by_taps = conv_shape(1, 1, 1, 1, geometry.input, geometry.kernel, geometry.strides, geometry.dilations,
                                 geometry.pads_before, geometry.output);
    return windows;
  }
  windows.first.reserve(windows.positions + 1);
  windows.first.push_back(0);
  windows.padded.resize(windows.positions);
  for_each_window(geometry, [&](std::uint64_t position, std::span<const WindowTap> window, std::uint64_t padded_taps) {
    windows.taps.insert(windows.taps.end(), window.begin(), window.end());
    windows.first.push_back(windows.taps.size());
    windows.padded[position] = padded_taps;
  });
  return windows;
}

// Runs `pool(taps, padded_taps, plane)` for each output position of planes
// [first_plane, last_plane) of x (channels of batch entries, in order) into
// the same planes of out. Each plane is pooled on its own, so that its reads
// stay in cache.
template <class Pool>
void pool_planes(const PoolWindows& windows, const float* x, float* out, std::uint64_t first_plane,
                 std::uint64_t last_plane, Pool&& pool) {
  for (std::uint64_t p = first_plane; p < last_plane; ++p) {
    const std::span<const float> input(x + p * windows.plane, windows.plane);
    float* const target = out + p * windows.positions;
    for (std::uint64_t position = 0; position < windows.positions; ++position) {
      const std::span<const WindowTap> taps(windows.taps.data() + windows.first[position],
                                            windows.taps.data() + windows.first[position + 1]);
      target[position] = pool(taps, windows.padded[position], input);
    }
  }
}

// The whole of a pooling kind's output, by its definition's `pool`.
template <class Kind>
std::vector<float> pooled(const Kind& kind, const WindowGeometry& geometry, KernelInputs& inputs) {
  const PoolWindows windows = pool_windows<Kind>(geometry);
  const Shape& shape = inputs.shape(0);
  const std::uint64_t planes = shape[0] * shape[1];
  std::vector<float> output(planes * windows.positions);
  OpDefinition<Kind>::pool(kind, windows, inputs.operand(0).data(), output.data(), 0, planes);
  return output;
}

// The largest element of each window's taps, from -inf, r = x > r ? x : r in
// row-major order of the window; a NaN tap makes the result NaN.
template <>
struct OpDefinition<MaxPool> {
  static constexpr std::size_t arity = 1;
  static constexpr bool loops_over_taps = true;

  static Result<WindowGeometry> geometry(const MaxPool& kind, const Shape& input, std::string_view name) {
    return window_geometry("max_pool", input, kind.kernel, kind.strides, kind.dilations, kind.pads, kind.ceil_mode,
                           true, name);
  }

  static Result<Shape> output_shape(const MaxPool& kind, const InputShapes& inputs, std::string_view name) {
    Result<WindowGeometry> window = geometry(kind, inputs[0], name);
    if (!window) {
      return std::unexpected(window.error());
    }
    return windowed_shape(inputs[0][0], inputs[0][1], *window);
  }

  // Planes [first, last) of x into out, over windows worked out once.
  static void pool(const MaxPool& /*kind*/, const PoolWindows& windows, const float* x, float* out,
                   std::uint64_t first, std::uint64_t last) {
    using Steps = ReductionSteps<reduction::Max>;
    if (windows.by_taps) {
      // Windows two or three taps wide over one or two axes take a whole
      // window per output at a time, others a pass over the plane per tap:
      // either way each output is its taps' steps in row-major order of the
      // window (the step is associative, and -inf, read for a tap in the
      // padding, leaves any result as it is).
      const auto step = [](float largest, float value) { return Steps::step(largest, value); };
      const ConvShape& shape = *windows.by_taps;
      for (std::uint64_t p = first; p < last; ++p) {
        const float* const plane = x + p * windows.plane;
        float* const target = out + p * windows.positions;
        if (pool_rows_by_phases<3, 3>(shape, plane, target, Steps::initial, step) ||
            pool_rows_by_phases<2, 2>(shape, plane, target, Steps::initial, step) ||
            pool_rows_by_phases<1, 3>(shape, plane, target, Steps::initial, step) ||
            pool_rows_by_phases<1, 2>(shape, plane, target, Steps::initial, step)) {
          continue;
        }
        std::fill_n(target, windows.positions, Steps::initial);
        continue_by_taps(shape, plane, target, [&step](std::size_t /*tap*/) { return step; });
      }
      return;
    }
    pool_planes(windows, x, out, first, last,
                [](std::span<const WindowTap> taps, std::uint64_t, std::span<const float> plane) {
                  float largest = Steps::initial;
                  for (const WindowTap& tap : taps) {
                    largest = Steps::step(largest, plane[tap.input_offset]);
                  }
                  return largest;
                });
  }

  static std::vector<float> evaluate(const MaxPool& kind, KernelInputs& inputs) {
    return pooled(kind, *geometry(kind, inputs.shape(0), inputs.name()), inputs);
  }
};

// Each window's taps summed from -0.0 as total + x in row-major order of the
// window, divided by float(the number of taps), or with count_include_pad by
// float(the taps inside the padded input).
template <>
struct OpDefinition<AveragePool> {
  static constexpr std::size_t arity = 1;
  static constexpr bool loops_over_taps = false;

  static Result<WindowGeometry> geometry(const AveragePool& kind, const Shape& input, std::string_view name) {
    return window_geometry("average_pool", input, kind.kernel, kind.strides, Shape{}, kind.pads, kind.ceil_mode, true,
                           name);
  }

  static Result<Shape> output_shape(const AveragePool& kind, const InputShapes& inputs, std::string_view name) {
    Result<WindowGeometry> window = geometry(kind, inputs[0], name);
    if (!window) {
      return std::unexpected(window.error());
    }
    return windowed_shape(inputs[0][0], inputs[0][1], *window);
  }

  // Planes [first, last) of x into out, over windows worked out once.
  static void pool(const AveragePool& kind, const PoolWindows& windows, const float* x, float* out,
                   std::uint64_t first, std::uint64_t last) {
    const bool include_pad = kind.count_include_pad;
    pool_planes(windows, x, out, first, last,
                [include_pad](std::span<const WindowTap> taps, std::uint64_t padded_taps,
                              std::span<const float> plane) {
                  float total = -0.0F;
                  for (const WindowTap& tap : taps) {
                    total = total + plane[tap.input_offset];
                  }
                  return total / static_cast<float>(include_pad ? padded_taps : taps.size());
                });
  }

  static std::vector<float> evaluate(const AveragePool& kind, KernelInputs& inputs) {
    return pooled(kind, *geometry(kind, inputs.shape(0), inputs.name()), inputs);
  }
};

// [N, C, D...] with at least one spatial axis to [N, C, 1...].
inline Result<Shape> global_pool_shape(std::string_view operation, const Shape& input, std::string_view name) {
  if (input.size() < 3) {
    return rule_error(name, fmt::format("{} takes an input with spatial axes ([batch, channels, spatial axes...]), "
                                        "not {}",
                                        operation, shape_text(input)));
  }
  Shape shape(input.size(), 1);
  shape[0] = input[0];
  shape[1] = input[1];
  return shape;
}

// The reduction `Function` of each channel's spatial elements, in row-major order.
template <class Function>
std::vector<float> global_pool(KernelInputs& inputs) {
  using Steps = ReductionSteps<Function>;
  const Shape& shape = inputs.shape(0);
  const std::span<const float> x = inputs.operand(0);
  const std::uint64_t planes = shape[0] * shape[1];
  const std::uint64_t plane = x.size() / planes;
  std::vector<float> output(planes);
  for (std::uint64_t p = 0; p < planes; ++p) {
    float total = Steps::initial;
    for (const float value : x.subspan(p * plane, plane)) {
      total = Steps::step(total, value);
    }
    output[p] = Steps::finish(total, plane);
  }
  return output;
}

template <>
struct OpDefinition<GlobalAveragePool> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const GlobalAveragePool& /*kind*/, const InputShapes& inputs,
                                    std::string_view name) {
    return global_pool_shape("global_average_pool", inputs[0], name);
  }

  static std::vector<float> evaluate(const GlobalAveragePool& /*kind*/, KernelInputs& inputs) {
    return global_pool<reduction::Mean>(inputs);
  }
};

template <>
struct OpDefinition<GlobalMaxPool> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const GlobalMaxPool& /*kind*/, const InputShapes& inputs, std::string_view name) {
    return global_pool_shape("global_max_pool", inputs[0], name);
  }

  static std::vector<float> evaluate(const GlobalMaxPool& /*kind*/, KernelInputs& inputs) {
    return global_pool<reduction::Max>(inputs);
  }
};

// X [N, C, ...] (rank 2 or more), then scale, bias, mean and variance, each
// [C]: per channel r = sqrt(variance + epsilon) (correctly rounded), then
// each element (x - mean) / r * scale + bias, one rounding per step.
template <>
struct OpDefinition<BatchNormalization> {
  static constexpr std::size_t arity = 5;

  static Result<Shape> output_shape(const BatchNormalization& /*kind*/, const InputShapes& inputs,
                                    std::string_view name) {
    const Shape& x = inputs[0];
    if (x.size() < 2) {
      return rule_error(name, fmt::format("batch_normalization takes an input of rank 2 or more ([batch, "
                                          "channels, ...]), not {}",
                                          shape_text(x)));
    }
    for (std::size_t position = 1; position < 5; ++position) {
      if (inputs[position] != Shape{x[1]}) {
        return rule_error(name, fmt::format("batch_normalization parameter {} {} must be [{}], one value per "
                                            "channel",
                                            position, shape_text(inputs[position]), x[1]));
      }
    }
    return x;
  }

  static std::vector<float> evaluate(const BatchNormalization& kind, KernelInputs& inputs) {
    const Shape& shape = inputs.shape(0);
    const std::uint64_t channels = shape[1];
    const std::uint64_t plane = elements_of(shape) / (shape[0] * channels);
    const std::span<const float> scale = inputs.operand(1);
    const std::span<const float> bias = inputs.operand(2);
    const std::span<const float> mean = inputs.operand(3);
    const std::span<const float> variance = inputs.operand(4);
    std::vector<float> values = inputs.take(0);
    for (std::uint64_t n = 0; n < shape[0]; ++n) {
      for (std::uint64_t c = 0; c < channels; ++c) {
        const float root = std::sqrt(variance[c] + kind.epsilon);
        float* const first = values.data() + (n * channels + c) * plane;
        for (std::uint64_t i = 0; i < plane; ++i) {
          first[i] = (first[i] - mean[c]) / root * scale[c] + bias[c];
        }
      }
    }
    return values;
  }
};

// The spatial geometry of a transposed convolution: per axis the input size,
// kernel, stride, dilation, the pads cut before it and its output size.
struct TransposedGeometry {
  Shape input;
  Shape kernel;
  Shape strides;
  Shape dilations;
  Shape pads_before;
  Shape output;
};

// X [N, C, D...], W [C, M / group, K...], optionally B [M]. Each output
// position o gathers, per spatial axis, the taps k (ascending) whose input
// position i = (o + pads_before - dilation k) / stride is whole and inside
// the input; the taps of all axes in row-major order of the window. Each
// output is sum = x * w + sum from +0.0 over the group's input channels
// ascending, then those taps, then + bias.
template <>
struct OpDefinition<ConvTranspose> {
  static constexpr std::size_t arity = variadic;

  static Result<TransposedGeometry> geometry(const ConvTranspose& kind, const Shape& x, const Shape& w,
                                             std::string_view name) {
    if (x.size() < 3 || x.size() > 5) {
      return rule_error(name, fmt::format("conv_transpose takes an input of rank 3 to 5 ([batch, channels, spatial "
                                          "axes...]), not {}",
                                          shape_text(x)));
    }
    if (w.size() != x.size()) {
      return rule_error(name, fmt::format("conv_transpose filters {} need the input's rank ({})", shape_text(w),
                                          x.size()));
    }
    const std::size_t axes = x.size() - 2;
    const std::optional<Shape> step = per_axis(kind.strides, axes, 1, 1);
    const std::optional<Shape> dilation = per_axis(kind.dilations, axes, 1, 1);
    const std::optional<Shape> pad = per_axis(kind.pads, axes, 2, 0);
    const std::optional<Shape> extra = per_axis(kind.output_padding, axes, 1, 0);
    if (!step || !dilation || !extra) {
      return rule_error(name, fmt::format("conv_transpose strides {}, dilations {} and output_padding {} need one "
                                          "value per spatial axis ({})",
                                          shape_text(kind.strides), shape_text(kind.dilations),
                                          shape_text(kind.output_padding), axes));
    }
    if (!pad) {
      return rule_error(name, fmt::format("conv_transpose pads {} need two values per spatial axis ({}: before each, "
                                          "then after each)",
                                          shape_text(kind.pads), 2 * axes));
    }
    TransposedGeometry geometry{.input = Shape(x.begin() + 2, x.end()),
                                .kernel = Shape(w.begin() + 2, w.end()),
                                .strides = *step,
                                .dilations = *dilation,
                                .pads_before = Shape(pad->begin(), pad->begin() + static_cast<std::ptrdiff_t>(axes)),
                                .output = {}};
    for (std::size_t axis = 0; axis < axes; ++axis) {
      const std::uint64_t before = (*pad)[axis];
      const std::uint64_t after = (*pad)[axes + axis];
      const std::uint64_t kernel = geometry.kernel[axis];
      if ((*step)[axis] == 0 || (*dilation)[axis] == 0 || kernel == 0) {
        return rule_error(name, "conv_transpose kernel, strides and dilations must be at least 1");
      }
      if ((*step)[axis] >= window_parameter_limit || (*dilation)[axis] >= window_parameter_limit ||
          kernel >= window_parameter_limit || before >= window_parameter_limit || after >= window_parameter_limit ||
          (*extra)[axis] >= window_parameter_limit || geometry.input[axis] >= window_parameter_limit) {
        return rule_error(name, "conv_transpose kernel, strides, dilations, pads, output_padding and spatial "
                                "dimensions must be below 2^32");
      }
      const std::uint64_t full = (*step)[axis] * (geometry.input[axis] - 1) + (*dilation)[axis] * (kernel - 1) + 1 +
                                 (*extra)[axis];
      if (before + after >= full) {
        return rule_error(name, fmt::format("conv_transpose pads {} and {} leave no output of the {} positions on "
                                            "spatial axis {}",
                                            before, after, full, axis));
      }
      geometry.output.push_back(full - before - after);
    }
    return geometry;
  }

  static Result<Shape> output_shape(const ConvTranspose& kind, const InputShapes& inputs, std::string_view name) {
    if (inputs.size() != 2 && inputs.size() != 3) {
      return rule_error(name, fmt::format("conv_transpose takes 2 or 3 inputs (input, filters, bias), not {}",
                                          inputs.size()));
    }
    const Shape& x = inputs[0];
    const Shape& w = inputs[1];
    Result<TransposedGeometry> window = geometry(kind, x, w, name);
    if (!window) {
      return std::unexpected(window.error());
    }
    if (kind.group == 0) {
      return rule_error(name, "conv_transpose group must be at least 1");
    }
    if (x[1] % kind.group != 0 || w[0] != x[1]) {
      return rule_error(name, fmt::format("conv_transpose of {} input channels in {} groups does not take filters {} "
                                          "(one filter set per input channel)",
                                          x[1], kind.group, shape_text(w)));
    }
    const std::uint64_t filters = w[1] * kind.group;
    if (inputs.size() == 3 && inputs[2] != Shape{filters}) {
      return rule_error(name, fmt::format("conv_transpose bias {} must be [{}], one value per output channel",
                                          shape_text(inputs[2]), filters));
    }
    Shape shape{x[0], filters};
    shape.insert(shape.end(), window->output.begin(), window->output.end());
    return shape;
  }

  static std::vector<float> evaluate(const ConvTranspose& kind, KernelInputs& inputs) {
    const Shape& x_shape = inputs.shape(0);
    const Shape& w_shape = inputs.shape(1);
    // The shape rule has passed, so the geometry exists.
    const TransposedGeometry window = *geometry(kind, x_shape, w_shape, inputs.name());
    const std::span<const float> x = inputs.operand(0);
    const std::span<const float> w = inputs.operand(1);
    const bool has_bias = inputs.size() == 3;
    const std::size_t axes = window.input.size();
    const std::uint64_t batch = x_shape[0];
    const std::uint64_t channels = x_shape[1];
    const std::uint64_t group_channels = channels / kind.group;
    const std::uint64_t group_filters = w_shape[1];
    const std::uint64_t filters = group_filters * kind.group;
    const std::uint64_t plane = elements_of(window.input);
    const std::uint64_t taps_per_filter = elements_of(window.kernel);
    const std::uint64_t positions = elements_of(window.output);
    std::vector<float> output(batch * filters * positions);
    std::vector<std::uint64_t> index(axes, 0);
    std::vector<WindowTap> taps;
    std::vector<WindowTap> next;
    for (std::uint64_t position = 0; position < positions; ++position) {
      taps.assign(1, WindowTap{});
      for (std::size_t axis = 0; axis < axes; ++axis) {
        next.clear();
        const std::uint64_t at = index[axis] + window.pads_before[axis];
        for (const WindowTap& tap : taps) {
          for (std::uint64_t k = 0; k < window.kernel[axis]; ++k) {
            const std::uint64_t reach = k * window.dilations[axis];
            if (reach > at || (at - reach) % window.strides[axis] != 0 ||
                (at - reach) / window.strides[axis] >= window.input[axis]) {
              continue;
            }
            next.push_back({tap.kernel_index * window.kernel[axis] + k,
                            tap.input_offset * window.input[axis] + (at - reach) / window.strides[axis]});
          }
        }
        taps.swap(next);
      }
      for (std::uint64_t n = 0; n < batch; ++n) {
        for (std::uint64_t m = 0; m < filters; ++m) {
          const std::uint64_t first_channel = (m / group_filters) * group_channels;
          const std::uint64_t filter = m % group_filters;
          float sum = 0.0F;
          for (std::uint64_t c = 0; c < group_channels; ++c) {
            const float* const source = x.data() + (n * channels + first_channel + c) * plane;
            const float* const weights =
                w.data() + ((first_channel + c) * group_filters + filter) * taps_per_filter;
            for (const WindowTap& tap : taps) {
              sum = source[tap.input_offset] * weights[tap.kernel_index] + sum;
            }
          }
          if (has_bias) {
            sum = sum + inputs.operand(2)[m];
          }
          output[(n * filters + m) * positions + position] = sum;
        }
      }
      for (std::size_t axis = axes; axis-- > 0;) {
        if (++index[axis] < window.output[axis]) {
          break;
        }
        index[axis] = 0;
      }
    }
    return output;
  }
};

// Where one output position of a resize reads along one axis: the input index
// `low` alone (nearest, or a linear coordinate that is whole), or `low` and
// `low + 1` weighted `low_weight` and `high_weight`.
struct ResizeTap {
  std::uint64_t low = 0;
  bool blended = false;
  float low_weight = 1.0F;
  float high_weight = 0.0F;
};

// Dimensions and positions of a resize stay below this bound, so that every
// position and coordinate is exact in double.
inline constexpr std::uint64_t resize_dimension_limit = std::uint64_t{1} << 32U;

// X of any rank (1 or more) resampled to `shape`. On each axis, output
// position o has the source coordinate x, worked in double from the float32
// scale s widened exactly and the resized length L = input * s (or, without
// scales, s = output / input and L = output), one double operation per step:
// half_pixel (o + 0.5) / s - 0.5; pytorch_half_pixel the same, or 0 when
// L <= 1; align_corners o * (input - 1) / (L - 1), or 0 when L = 1;
// asymmetric o / s; tf_half_pixel_for_nn (o + 0.5) / s. Nearest rounds x by nearest_mode (with
// f = floor(x): round_prefer_floor f + 1 when x - f > 0.5, round_prefer_ceil
// when x - f >= 0.5, else f; floor f; ceil ceil(x)) and clamps it to the
// input. Linear clamps x to [0, input - 1], takes low = floor(x) and
// r = float(x - low) (rounded once); r = 0 reads value(low) alone, otherwise
// the weights are 1 - r and r in float and the value, over the axes from the
// first, low_weight * value(low) + high_weight * value(low + 1): two
// products, then their sum (value() the same over the later axes).
template <>
struct OpDefinition<Resize> {
  static constexpr std::size_t arity = 1;

  static Result<Shape> output_shape(const Resize& kind, const InputShapes& inputs, std::string_view name) {
    const Shape& x = inputs[0];
    if (x.empty()) {
      return rule_error(name, "resize takes an input of rank 1 or more, not a scalar");
    }
    if (kind.shape.size() != x.size()) {
      return rule_error(name, fmt::format("resize shape {} needs the input's rank ({})", shape_text(kind.shape),
                                          x.size()));
    }
    if (!kind.scales.empty() && kind.scales.size() != x.size()) {
      return rule_error(name, fmt::format("resize scales [{}] need one value per axis ({})",
                                          fmt::join(kind.scales, ", "), x.size()));
    }
    for (const float scale : kind.scales) {
      if (!std::isfinite(scale) || scale <= 0.0F) {
        return rule_error(name, fmt::format("resize scales [{}] must be positive and finite",
                                            fmt::join(kind.scales, ", ")));
      }
    }
    for (std::size_t axis = 0; axis < x.size(); ++axis) {
      if (x[axis] == 0 || x[axis] >= resize_dimension_limit || kind.shape[axis] == 0 ||
          kind.shape[axis] >= resize_dimension_limit) {
        return rule_error(name, fmt::format("resize of {} to {} needs dimensions from 1 to 2^32 - 1", shape_text(x),
                                            shape_text(kind.shape)));
      }
    }
    if (kind.mode != "nearest" && kind.mode != "linear") {
      return rule_error(name, fmt::format("resize mode \"{}\" is not \"nearest\" or \"linear\"", kind.mode));
    }
    const std::string& coordinates = kind.coordinate_transformation_mode;
    if (coordinates != "half_pixel" && coordinates != "pytorch_half_pixel" && coordinates != "align_corners" &&
        coordinates != "asymmetric" && coordinates != "tf_half_pixel_for_nn") {
      return rule_error(name, fmt::format("resize coordinate_transformation_mode \"{}\" is not \"half_pixel\", "
                                          "\"pytorch_half_pixel\", \"align_corners\", \"asymmetric\" or "
                                          "\"tf_half_pixel_for_nn\"",
                                          coordinates));
    }
    const std::string& rounding = kind.nearest_mode;
    if (rounding != "round_prefer_floor" && rounding != "round_prefer_ceil" && rounding != "floor" &&
        rounding != "ceil") {
      return rule_error(name, fmt::format("resize nearest_mode \"{}\" is not \"round_prefer_floor\", "
                                          "\"round_prefer_ceil\", \"floor\" or \"ceil\"",
                                          rounding));
    }
    return kind.shape;
  }

  // The source coordinate of output position `o` on an axis.
  // `length`: the resized length, input * scale (fractional when the output
  // was rounded down), the output itself without scales.
  static double source(const Resize& kind, std::uint64_t o, std::uint64_t input, double length, double scale) {
    const auto position = static_cast<double>(o);
    const std::string& coordinates = kind.coordinate_transformation_mode;
    if (coordinates == "align_corners") {
      return length == 1.0 ? 0.0 : position * static_cast<double>(input - 1) / (length - 1.0);
    }
    if (coordinates == "asymmetric") {
      return position / scale;
    }
    if (coordinates == "tf_half_pixel_for_nn") {
      return (position + 0.5) / scale;
    }
    if (coordinates == "pytorch_half_pixel" && length <= 1.0) {
      return 0.0;
    }
    return (position + 0.5) / scale - 0.5;
  }

  static std::vector<ResizeTap> axis_taps(const Resize& kind, std::size_t axis, std::uint64_t input, std::uint64_t output) {
    const double scale = kind.scales.empty() ? static_cast<double>(output) / static_cast<double>(input)
                                             : static_cast<double>(kind.scales[axis]);
    const double length = kind.scales.empty() ? static_cast<double>(output) : static_cast<double>(input) * scale;
    const auto last = static_cast<double>(input - 1);
    const bool linear = kind.mode == "linear";
    std::vector<ResizeTap> taps;
    taps.reserve(output);
    for (std::uint64_t o = 0; o < output; ++o) {
      const double x = source(kind, o, input, length, scale);
      ResizeTap tap;
      if (linear) {
        const double clamped = std::min(std::max(x, 0.0), last);
        const double low = std::floor(clamped);
        tap.low = static_cast<std::uint64_t>(low);
        const auto ratio = static_cast<float>(clamped - low);
        tap.blended = ratio != 0.0F;
        tap.low_weight = 1.0F - ratio;
        tap.high_weight = ratio;
      } else {
        const double low = std::floor(x);
        double index = low;
        if (kind.nearest_mode == "ceil") {
          index = std::ceil(x);
        } else if (kind.nearest_mode == "round_prefer_floor") {
          index = x - low > 0.5 ? low + 1.0 : low;
        } else if (kind.nearest_mode == "round_prefer_ceil") {
          index = x - low >= 0.5 ? low + 1.0 : low;
        }
        tap.low = static_cast<std::uint64_t>(std::min(std::max(index, 0.0), last));
      }
      taps.push_back(tap);
    }
    return taps;
  }

  // The value at the output position whose taps per axis are `taps`, from
  // axis `axis` on, the axes before it having reached input row `offset`.
  static float sample(std::span<const float> x, const Shape& shape, const std::vector<const ResizeTap*>& taps,
                      std::size_t axis, std::uint64_t offset) {
    if (axis == taps.size()) {
      return x[offset];
    }
    const ResizeTap& tap = *taps[axis];
    const std::uint64_t row = offset * shape[axis];
    const float low = sample(x, shape, taps, axis + 1, row + tap.low);
    if (!tap.blended) {
      return low;
    }
    const float high = sample(x, shape, taps, axis + 1, row + tap.low + 1);
    const float low_part = tap.low_weight * low;
    const float high_part = tap.high_weight * high;
    return low_part + high_part;
  }

  static std::vector<float> evaluate(const Resize& kind, KernelInputs& inputs) {
    const Shape& shape = inputs.shape(0);
    const std::span<const float> x = inputs.operand(0);
    const std::size_t rank = shape.size();
    std::vector<std::vector<ResizeTap>> axes;
    axes.reserve(rank);
    for (std::size_t axis = 0; axis < rank; ++axis) {
      axes.push_back(axis_taps(kind, axis, shape[axis], kind.shape[axis]));
    }
    const std::uint64_t count = elements_of(kind.shape);
    std::vector<float> output;
    output.reserve(count);
    std::vector<std::uint64_t> index(rank, 0);
    std::vector<const ResizeTap*> taps(rank, nullptr);
    for (std::uint64_t position = 0; position < count; ++position) {
      for (std::size_t axis = 0; axis < rank; ++axis) {
        taps[axis] = &axes[axis][index[axis]];
      }
      output.push_back(sample(x, shape, taps, 0, 0));
      for (std::size_t axis = rank; axis-- > 0;) {
        if (++index[axis] < kind.shape[axis]) {
          break;
        }
        index[axis] = 0;
      }
    }
    return output;
  }
};

}  // namespace orvo_compiler::detail
