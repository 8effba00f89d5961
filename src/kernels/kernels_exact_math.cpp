// The batch forms of the exact single-precision maths: the checks, and the
// choice of instruction-set path. Every path gives, element by element, the
// bits of the single-argument function.
#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "support/check.hpp"

namespace orvo_compiler::detail {
namespace {

using Scalar = float (*)(float);

void run_many(KernelPath path, Scalar scalar, std::span<const float> x, std::span<float> out) {
  require(x.size() == out.size(), "exact maths: input and output sizes differ");
  const std::vector<KernelPath> paths = available_paths();
  require(std::ranges::find(paths, path) != paths.end(), "exact maths: kernel path not supported by this processor");
  for (std::size_t i = 0; i < x.size(); ++i) {
    out[i] = scalar(x[i]);
  }
}

}  // namespace

void exp_f32_many(std::span<const float> x, std::span<float> out) { exp_f32_many(best_path(), x, out); }
void tanh_f32_many(std::span<const float> x, std::span<float> out) { tanh_f32_many(best_path(), x, out); }
void erf_f32_many(std::span<const float> x, std::span<float> out) { erf_f32_many(best_path(), x, out); }

void exp_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, exp_f32, x, out);
}
void tanh_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, tanh_f32, x, out);
}
void erf_f32_many(KernelPath path, std::span<const float> x, std::span<float> out) {
  run_many(path, erf_f32, x, out);
}

}  // namespace orvo_compiler::detail
