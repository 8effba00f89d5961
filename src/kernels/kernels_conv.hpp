// The convolution kernels of the evaluator: the direct loop that defines a
// conv's bits, and the fast kernel that reproduces them through the blocked
// matrix product (or, for one channel per group, a loop over the taps).
#pragma once

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

  friend bool operator==(const ConvShape&, const ConvShape&) = default;
};

// The ConvShape of a conv whose spatial parameters have one value per axis
// (one to three axes), as the window geometry gives them.
[[nodiscard]] ConvShape conv_shape(std::size_t batch, std::size_t channels, std::size_t filters, std::size_t groups,
                                   std::span<const std::uint64_t> input, std::span<const std::uint64_t> kernel,
                                   std::span<const std::uint64_t> strides, std::span<const std::uint64_t> dilations,
                                   std::span<const std::uint64_t> pads_before,
                                   std::span<const std::uint64_t> output);

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

// Whether no weight is infinite or NaN.
[[nodiscard]] bool weights_finite(std::span<const float> w);

}  // namespace orvo_compiler::detail
