// Correctly rounded single-precision exponential and hyperbolic tangent for the
// reference kernels. They use IEEE double arithmetic only (no C maths library,
// no fused multiply-add), so every platform returns the same bits.
#pragma once

namespace orvo_compiler::detail {

// e^x rounded to the nearest float, ties to even, for every float x. A NaN
// comes back quiet with its sign and payload; +inf and results of 2^128 or
// more (after rounding) give +inf; -inf gives +0, and results in the
// subnormal range are rounded there, down to +0.
[[nodiscard]] float exp_f32(float x);

// tanh(x) rounded to the nearest float, ties to even, for every float x. A NaN
// comes back quiet with its sign and payload; ±0 keeps its sign; ±inf and
// arguments large enough give ±1 exactly; tiny arguments give x or the float
// next to it towards zero, whichever is nearest.
[[nodiscard]] float tanh_f32(float x);

}  // namespace orvo_compiler::detail
