// The convolution kernels of the evaluator: the direct loop that defines a
// conv's bits, and the fast kernel that reproduces them through the blocked
// matrix product (or, for one channel per group, a loop over the taps).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler::detail {

// One convolution over [batch, channels, depth, height, width] with filters
// [filters, channels / groups, kernel...]. Inputs of fewer spatial axes take
// leading axes of size 1 (kernel, stride and dilation 1, no padding).
struct ConvShape {
  std::size_t batch = 1;
  std::size_t channels = 1;
  std::size_t filters = 1;
  std::size_t groups = 1;
  std::array<std::size_t, 3> input{1, 1, 1};
  std::array<std::size_t, 3> kernel{1, 1, 1};
  std::array<std::size_t, 3> strides{1, 1, 1};
  std::array<std::size_t, 3> dilations{1, 1, 1};
  std::array<std::size_t, 3> pads_before{0, 0, 0};
  std::array<std::size_t, 3> output{1, 1, 1};

  // Output positions, input elements and taps per channel plane.
  [[nodiscard]] std::size_t positions() const { return output[0] * output[1] * output[2]; }
  [[nodiscard]] std::size_t plane() const { return input[0] * input[1] * input[2]; }
  [[nodiscard]] std::size_t taps() const { return kernel[0] * kernel[1] * kernel[2]; }

  friend bool operator==(const ConvShape&, const ConvShape&) = default;
};

// The ConvShape of a conv whose spatial parameters have one value per axis
// (one to three axes), as the window geometry gives them.
[[nodiscard]] ConvShape conv_shape(std::size_t batch, std::size_t channels, std::size_t filters, std::size_t groups,
                                   std::span<const std::uint64_t> input, std::span<const std::uint64_t> kernel,
                                   std::span<const std::uint64_t> strides, std::span<const std::uint64_t> dilations,
                                   std::span<const std::uint64_t> pads_before,
                                   std::span<const std::uint64_t> output);

// The outputs o below `count` whose tap reads input index o * stride + offset
// inside [0, size): the range [first, last).
struct OutputRange {
  std::size_t first = 0;
  std::size_t last = 0;
};

inline OutputRange inside(std::size_t count, std::size_t size, std::size_t stride, std::int64_t offset) {
  const auto s = static_cast<std::int64_t>(stride);
  const std::int64_t first = offset >= 0 ? 0 : (-offset + s - 1) / s;
  const std::int64_t end = static_cast<std::int64_t>(size) - offset;
  const std::int64_t last = end <= 0 ? 0 : std::min(static_cast<std::int64_t>(count), (end - 1) / s + 1);
  if (last <= first) {
    return OutputRange{};
  }
  return OutputRange{.first = static_cast<std::size_t>(first), .last = static_cast<std::size_t>(last)};
}

// The offset of tap t on spatial axis `axis`: input index = output index x stride + offset.
inline std::int64_t tap_offset(const ConvShape& shape, std::size_t axis, std::size_t tap) {
  return static_cast<std::int64_t>(tap * shape.dilations[axis]) - static_cast<std::int64_t>(shape.pads_before[axis]);
}

// The input index that output index `o` reads at `offset`, when inside [0, size).
inline bool input_index(std::size_t o, std::size_t stride, std::int64_t offset, std::size_t size,
                        std::size_t& index) {
  const std::int64_t at = static_cast<std::int64_t>(o * stride) + offset;
  if (at < 0 || at >= static_cast<std::int64_t>(size)) {
    return false;
  }
  index = static_cast<std::size_t>(at);
  return true;
}

// One output row's reads of one tap: target[ox] = step(target[ox], element)
// for ox in `xs`, with the stride known to the compiler for the common ones.
// Input and output never overlap, and the row is addressed from its first
// element read, so that the loop runs in vectors.
template <std::size_t Stride, class Step>
void step_row(const float* __restrict source, float* __restrict target, OutputRange xs, std::size_t stride,
              std::int64_t offset, const Step& step) {
  const std::size_t s = Stride == 0 ? stride : Stride;
  if (xs.last <= xs.first) {
    return;
  }
  const float* __restrict const from = source + (static_cast<std::int64_t>(xs.first * s) + offset);
  float* __restrict const to = target + xs.first;
  const std::size_t count = xs.last - xs.first;
  for (std::size_t i = 0; i < count; ++i) {
    to[i] = step(to[i], from[i * s]);
  }
}

// Continues every output of one plane (batch, channels and filters of the
// shape are ignored) by each tap of the window inside the input, the taps in
// the window's row-major order outermost: out = step_of(t)(out, element) for
// tap t. So each output takes its taps in row-major order, padding skipped,
// while a whole output row advances at a time.
template <class StepOf>
void continue_by_taps(const ConvShape& shape, const float* input, float* out, const StepOf& step_of) {
  const std::size_t width = shape.output[2];
  const std::size_t stride_x = shape.strides[2];
  std::size_t t = 0;
  for (std::size_t tz = 0; tz < shape.kernel[0]; ++tz) {
    const std::int64_t offset_z = tap_offset(shape, 0, tz);
    for (std::size_t ty = 0; ty < shape.kernel[1]; ++ty) {
      const std::int64_t offset_y = tap_offset(shape, 1, ty);
      for (std::size_t tx = 0; tx < shape.kernel[2]; ++tx, ++t) {
        const std::int64_t offset_x = tap_offset(shape, 2, tx);
        const OutputRange xs = inside(width, shape.input[2], stride_x, offset_x);
        const auto step = step_of(t);
        for (std::size_t oz = 0; oz < shape.output[0]; ++oz) {
          std::size_t iz = 0;
          if (!input_index(oz, shape.strides[0], offset_z, shape.input[0], iz)) {
            continue;
          }
          for (std::size_t oy = 0; oy < shape.output[1]; ++oy) {
            std::size_t iy = 0;
            if (!input_index(oy, shape.strides[1], offset_y, shape.input[1], iy)) {
              continue;
            }
            const float* const source = input + (iz * shape.input[1] + iy) * shape.input[2];
            float* const target = out + (oz * shape.output[1] + oy) * width;
            if (stride_x == 1) {
              step_row<1>(source, target, xs, stride_x, offset_x, step);
            } else if (stride_x == 2) {
              step_row<2>(source, target, xs, stride_x, offset_x, step);
            } else {
              step_row<0>(source, target, xs, stride_x, offset_x, step);
            }
          }
        }
      }
    }
  }
}

// count floats from source, `stride` apart, to consecutive floats of row;
// the stride known to the compiler for the common ones, so that the copy
// runs in vectors.
template <std::size_t Stride>
void copy_strided(const float* __restrict source, std::size_t stride, float* __restrict row, std::size_t count) {
  const std::size_t s = Stride == 0 ? stride : Stride;
  for (std::size_t j = 0; j < count; ++j) {
    row[j] = source[j * s];
  }
}

// Most floats of the split rows pool_rows_by_phases keeps on its stack.
inline constexpr std::size_t phase_rows_floats = 4096;

// continue_by_taps's result for a window of `Height` x `Width` taps over a
// plane of one or two spatial axes, from out = `identity`, when tap t's step
// is `step` for every t, step is associative, and step(identity, v) == v
// and step(v, identity) == v for every v: max pooling's step, whose result
// is the last NaN among the taps, else the first of their largest. Returns
// false, doing nothing, for any other shape, and for a stride past 4 or
// rows too long for its stack.
//
// Each input row a window reads is split once into one phase row per
// horizontal stride step (phase f holds elements f, f + stride, ...), led
// and trailed by `identity` where windows overhang the input's sides, so
// that tap (ty, tx) of every output of a row reads consecutive floats of one
// phase row, and a window row above or below the input reads a row of
// `identity`. An output row then takes its whole window in one loop over its
// outputs, rather than one pass over the row per tap. The split rows a
// window spans stay in a ring, input row iy in slot iy mod span.
template <std::size_t Height, std::size_t Width, class Step>
bool pool_rows_by_phases(const ConvShape& shape, const float* input, float* out, float identity,
                         const Step& step) {
  constexpr std::size_t max_span = 16;
  constexpr std::size_t max_stride = 4;
  if (shape.input[0] != 1 || shape.kernel[0] != 1 || shape.kernel[1] != Height || shape.kernel[2] != Width ||
      shape.strides[2] > max_stride) {
    return false;
  }
  const std::size_t width = shape.output[2];
  const std::size_t in_width = shape.input[2];
  const std::size_t stride = shape.strides[2];
  // Tap tx reads input column ox x stride + shift, shift = tx x dilation -
  // pad: phase mod(shift, stride), phase index ox + floor(shift / stride).
  std::array<std::int64_t, Width> quotient{};
  std::array<std::size_t, Width> phase{};
  for (std::size_t tx = 0; tx < Width; ++tx) {
    const std::int64_t shift = tap_offset(shape, 2, tx);
    const auto s = static_cast<std::int64_t>(stride);
    quotient[tx] = shift >= 0 ? shift / s : -((-shift + s - 1) / s);
    phase[tx] = static_cast<std::size_t>(shift - quotient[tx] * s);
  }
  // Each phase row holds phase indices [lowest, width - 1 + highest]; an
  // input row's phases lie one after another, the ring's slots after a row
  // of `identity`.
  const std::int64_t lowest = std::ranges::min(quotient);
  const std::int64_t highest = std::ranges::max(quotient);
  const std::size_t length = width + static_cast<std::size_t>(highest - lowest);
  const std::size_t split_floats = stride * length;
  const std::size_t span = (Height - 1) * shape.dilations[1] + 1;
  if (span > max_span || (span + 1) * split_floats > phase_rows_floats) {
    return false;
  }
  std::array<std::size_t, Width> start{};
  for (std::size_t tx = 0; tx < Width; ++tx) {
    start[tx] = phase[tx] * length + static_cast<std::size_t>(quotient[tx] - lowest);
  }
  // Phase f's index j holds column (j + lowest) x stride + f: the indices
  // inside the input, and the column of the first, are the same for every
  // row. The rest of every row stays `identity`.
  struct PhaseCopy {
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t column = 0;
  };
  std::array<PhaseCopy, max_stride> copies{};
  for (std::size_t f = 0; f < stride; ++f) {
    const std::int64_t first_column = lowest * static_cast<std::int64_t>(stride) + static_cast<std::int64_t>(f);
    const OutputRange inner = inside(length, in_width, stride, first_column);
    if (inner.last > inner.first) {
      copies[f] = PhaseCopy{
          .first = inner.first,
          .count = inner.last - inner.first,
          .column = static_cast<std::size_t>(first_column + static_cast<std::int64_t>(inner.first * stride))};
    }
  }
  alignas(64) std::array<float, phase_rows_floats> rows;
  std::fill_n(rows.data(), (span + 1) * split_floats, identity);
  const float* const off_input = rows.data();
  float* const ring = rows.data() + split_floats;
  // The input row each slot of the ring holds, if any.
  std::array<std::optional<std::size_t>, max_span> held{};
  for (std::size_t oy = 0; oy < shape.output[1]; ++oy) {
    std::array<const float*, Height> window_rows{};
    for (std::size_t ty = 0; ty < Height; ++ty) {
      std::size_t iy = 0;
      if (!input_index(oy, shape.strides[1], tap_offset(shape, 1, ty), shape.input[1], iy)) {
        window_rows[ty] = off_input;
        continue;
      }
      float* const split = ring + (iy % span) * split_floats;
      window_rows[ty] = split;
      if (held[iy % span] == iy) {
        continue;
      }
      held[iy % span] = iy;
      const float* const source = input + iy * in_width;
      for (std::size_t f = 0; f < stride; ++f) {
        const PhaseCopy& copy = copies[f];
        float* const row = split + f * length + copy.first;
        if (stride == 1) {
          copy_strided<1>(source + copy.column, stride, row, copy.count);
        } else if (stride == 2) {
          copy_strided<2>(source + copy.column, stride, row, copy.count);
        } else {
          copy_strided<0>(source + copy.column, stride, row, copy.count);
        }
      }
    }
    float* __restrict const target = out + oy * width;
    for (std::size_t ox = 0; ox < width; ++ox) {
      // Each window row's taps, then the rows: the same result as every
      // tap in turn, with a shorter chain of dependent steps.
      std::array<float, Height> by_row{};
      for (std::size_t ty = 0; ty < Height; ++ty) {
        by_row[ty] = window_rows[ty][start[0] + ox];
        for (std::size_t tx = 1; tx < Width; ++tx) {
          by_row[ty] = step(by_row[ty], window_rows[ty][start[tx] + ox]);
        }
      }
      float r = by_row[0];
      for (std::size_t ty = 1; ty < Height; ++ty) {
        r = step(r, by_row[ty]);
      }
      target[ox] = r;
    }
  }
  return true;
}

// Each output element from +0.0 as sum = x * w + sum over its group's input
// channels ascending, then the window's taps inside the input in row-major
// order, then sum + bias[filter] when `bias` is not empty; written to
// `output` in [batch, filters, output...] order. The plain loop, one output
// at a time. Callers guarantee every length; nothing is checked.
void conv_direct(const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                 std::span<const float> bias, std::span<float> output);

// conv_direct's bits, fast: with one input channel per group a loop over the
// taps that advances whole output rows at once; otherwise, per batch entry
// and group, the filters times a matrix of the windows (zeros where a window
// overhangs the input) on the blocked matrix product of `path`. A padding
// zero adds ±0 to a sum that started at +0.0, which never changes it, as
// long as every weight is finite; when a weight is not and some window
// overhangs the input, conv_direct runs instead. Allocates one workspace per
// call: about 1 MiB, or 96 positions' windows when filters are deeper.
void conv_forward(KernelPath path, const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                  std::span<const float> bias, std::span<float> output);
// The same with the caller's workspace, grown when a call needs more and
// kept for the next: repeated calls of one shape allocate nothing. A caller
// that already knows whether every weight is finite (weights_finite(w)) says
// so in `finite`, which spares the kernel a scan of every weight per call.
void conv_forward(KernelPath path, const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                  std::span<const float> bias, std::span<float> output, std::vector<float>& workspace,
                  std::optional<bool> finite = std::nullopt);

// Whether conv_forward reaches its bits by the patch product (several input
// channels per group, and finite weights where some window overhangs the
// input; `finite` as for conv_forward), which can run on separate ranges of
// output positions.
[[nodiscard]] bool conv_by_patches(const ConvShape& shape, std::span<const float> w,
                                   std::optional<bool> finite = std::nullopt);

// conv_forward's bits at output positions [first, last) of every batch entry
// and filter, when conv_by_patches holds; other outputs are left as they
// are, so that ranges may run on different threads, each with its own
// workspace.
void conv_forward_positions(KernelPath path, const ConvShape& shape, std::span<const float> x,
                            std::span<const float> w, std::span<const float> bias, std::span<float> output,
                            std::vector<float>& workspace, std::size_t first, std::size_t last);

// Whether no weight is infinite or NaN.
[[nodiscard]] bool weights_finite(std::span<const float> w);

// The other way round, for a conv of one group and one batch entry over few
// output positions and many filters (the last stage of a residual network:
// 49 positions, 512 filters), where positions as the product's columns
// would leave most lanes of the last register of `path` empty: the output
// positions become the product's rows and the filters its columns. The
// filters are packed ahead, once (pack_conv_filters, the transposed filter
// matrix [channels x taps, filters] in pack_right_matrix's layout), and each
// run copies every position's window into a row of the workspace. Every
// output still takes its products in the same order as
// conv_forward_positions, each product with its factors swapped, so the
// bits are the same.
[[nodiscard]] bool conv_by_positions_as_rows(KernelPath path, const ConvShape& shape);
[[nodiscard]] std::size_t conv_packed_filters_floats(KernelPath path, const ConvShape& shape);
void pack_conv_filters(KernelPath path, const ConvShape& shape, std::span<const float> w, float* packed);
// conv_forward_positions's bits for filters [first, last) of such a conv,
// where conv_by_patches holds (and the packing is of those filters); first
// is a multiple of matmul_column_step(path). Other outputs are left as they
// are, so that ranges of filters may run on different threads, each with
// its own workspace.
void conv_forward_packed_filters(KernelPath path, const ConvShape& shape, std::span<const float> x,
                                 const float* packed, std::span<const float> bias, std::span<float> output,
                                 std::vector<float>& workspace, std::size_t first, std::size_t last);

}  // namespace orvo_compiler::detail
