// The AVX2 lanes of the exact single-precision maths: four doubles per
// register. Everything after the standard headers is compiled for AVX2
// (multiplies and adds stay apart: the library builds with -ffp-contract=off).
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/exact_math.hpp"
#include "kernels/exact_math_paths.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "kernels/exact_math_lanes.hpp"

namespace orvo_compiler::detail {
namespace {

struct Avx2Lanes : exact::LaneTypes<4> {
  static constexpr bool permuted_tables = false;

  static unsigned lane_bits(M mask) {
    return static_cast<unsigned>(_mm256_movemask_pd(__builtin_bit_cast(__m256d, mask)));
  }
};

}  // namespace

void exact_math_avx2(ExactFunction function, const float* x, float* out, std::size_t count) {
  exact::run_function<Avx2Lanes>(function, x, out, count);
}

}  // namespace orvo_compiler::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
