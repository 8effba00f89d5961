// Correctly rounded single-precision exponential, hyperbolic tangent and error
// function for the reference kernels. They use IEEE double arithmetic only (no
// C maths library, no fused multiply-add), so every platform returns the same
// bits.
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

// erf(x) rounded to the nearest float, ties to even, for every float x. A NaN
// comes back quiet with its sign and payload; ±0 keeps its sign; ±inf and
// arguments of magnitude 3.9192059 or more give ±1 exactly; for tiny arguments,
// subnormals included, 2x/sqrt(pi) (1 - x^2/3 + ...) is rounded once, into
// the subnormal range where it falls there.
[[nodiscard]] float erf_f32(float x);

// GELU in its erf form, 0.5 x (1 + erf(x / sqrt 2)), each step rounded to
// float in this order: t = x * 0.70710677f (the float nearest 1/sqrt 2),
// e = erf_f32(t), result (0.5f * x) * (1.0f + e). Large negative x give -0
// (e is -1 exactly); -inf gives NaN, from -inf * 0.
[[nodiscard]] float gelu_erf_f32(float x);

}  // namespace orvo_compiler::detail
