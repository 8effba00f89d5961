// The AVX-512 lanes of the exact single-precision maths: eight doubles per
// register. Everything after the standard headers is compiled for AVX-512F
// (multiplies and adds stay apart: the library builds with -ffp-contract=off).
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/exact_math.hpp"
#include "kernels/exact_math_paths.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

#include "kernels/exact_math_lanes.hpp"

namespace orvo_compiler::detail {
namespace {

struct Avx512Lanes : exact::LaneTypes<8> {
  static unsigned lane_bits(M mask) {
    const __m512i bits = __builtin_bit_cast(__m512i, mask);
    return _mm512_test_epi64_mask(bits, bits);
  }
};

}  // namespace

void exact_math_avx512(ExactFunction function, const float* x, float* out, std::size_t count) {
  exact::run_function<Avx512Lanes>(function, x, out, count);
}

}  // namespace orvo_compiler::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
