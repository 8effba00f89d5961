// The vector paths of the exact maths' batch forms, one source per
// instruction set (kernels_exact_math_avx2.cpp, kernels_exact_math_avx512.cpp),
// as the batch forms' dispatch calls them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo_compiler::detail {

// The functions of the batch forms.
enum class ExactFunction : std::uint8_t { Exp, Tanh, Erf };

// out[i] = the function of x[i] for i below count, bit for bit as the scalar
// function gives it; x and out may be the same memory. The processor must
// support the instruction set.
void exact_math_avx2(ExactFunction function, const float* x, float* out, std::size_t count);
void exact_math_avx512(ExactFunction function, const float* x, float* out, std::size_t count);

}  // namespace orvo_compiler::detail
