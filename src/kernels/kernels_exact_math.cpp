// The batch forms of the exact single-precision maths: the checks, and the
// choice of instruction-set path. The portable path is the scalar function in
// a loop; the AVX2 and AVX-512 paths evaluate the scalar fast path in vector
// lanes (kernels/exact_math_lanes.hpp) and hand the lanes it cannot settle to
// the scalar function, so every path gives the scalar function's bits.
#include <algorithm>
#include <cstddef>
#include <span>

#include "kernels/exact_math.hpp"
#include "kernels/exact_math_paths.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "support/check.hpp"

namespace orvo_compiler::detail {
namespace {

float (*scalar_function(ExactFunction function))(float) {
  switch (function) {
    case ExactFunction::Exp:
      return exp_f32;
    case ExactFunction::Tanh:
      return tanh_f32;
    case ExactFunction::Erf:
      return erf_f32;
  }
  return exp_f32;
}

void run_many(KernelPath path, ExactFunction function, std::span<const float> x, std::span<float> out) {
  require(x.size() == out.size(), "exact maths: input and output sizes differ");
  require(path_supported(path), "exact maths: kernel path not supported by this processor");
  switch (path) {
    case KernelPath::Portable:
      break;
    case KernelPath::Avx2:
#if defined(__x86_64__)
      exact_math_avx2(function, x.data(), out.data(), x.size());
      return;
#else
      break;
#endif
    case KernelPath::Avx512:
#if defined(__x86_64__)
      exact_math_avx512(function, x.data(), out.data(), x.size());
      return;
#else
      break;
#endif
  }
  std::ranges::transform(x, out.begin(), scalar_function(function));
}

}  // namespace

void exp_f32_many(std::span<const float> x, std::span<float> out) { exp_f32_many(best_path(), x, out); }
void tanh_f32_many(std::span<const float> x, std::span<float> out) { tanh_f32_many(best_path(), x, out); }
void erf_f32_many(std::span<const float> x, std::span<float> out) { erf_f32_many(best_path(), x, out); }

void exp_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, ExactFunction::Exp, x, out);
}
void tanh_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, ExactFunction::Tanh, x, out);
}
void erf_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, ExactFunction::Erf, x, out);
}

}  // namespace orvo_compiler::detail
