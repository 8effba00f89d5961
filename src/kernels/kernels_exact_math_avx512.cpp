// The AVX-512 lanes of the exact single-precision maths: eight doubles per
// register. Everything after the standard headers is compiled for AVX-512F
// (multiplies and adds stay apart: the library builds with -ffp-contract=off).
#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
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
  // A lookup in a table of up to 16 entries is one permute.
  static constexpr bool permuted_tables = true;

  static unsigned lane_bits(M mask) {
    const __m512i bits = __builtin_bit_cast(__m512i, mask);
    return _mm512_test_epi64_mask(bits, bits);
  }

  // One conversion instruction; GCC 12 splits the generic one into halves.
  // (The zero-masking form: the plain one trips GCC 12's uninitialised-value
  // warning on its undefined source.)
  static D widen(F x) { return __builtin_bit_cast(D, _mm512_maskz_cvtps_pd(0xff, __builtin_bit_cast(__m256, x))); }

  // column[index] from the column held in registers: each two-source permute
  // covers 16 entries, then the index's bits 4 and 5 pick among them. The
  // same entries as loading lane by lane, in a few instructions.
  template <std::size_t Size>
  static D lookup(const std::array<double, Size>& column, I index) {
    static_assert(Size == 16 || Size == 32 || Size == 64);
    const __m512i wide = __builtin_bit_cast(__m512i, __builtin_convertvector(index, M));
    if constexpr (Size == 16) {
      return __builtin_bit_cast(D, _mm512_permutex2var_pd(_mm512_loadu_pd(column.data()), wide,
                                                          _mm512_loadu_pd(column.data() + 8)));
    }
    const auto sixteen = [&](std::size_t first) {
      return _mm512_permutex2var_pd(_mm512_loadu_pd(column.data() + first), wide,
                                    _mm512_loadu_pd(column.data() + first + 8));
    };
    const __mmask8 bit4 = _mm512_test_epi64_mask(wide, _mm512_set1_epi64(16));
    __m512d entries = _mm512_mask_blend_pd(bit4, sixteen(0), sixteen(16));
    if constexpr (Size == 64) {
      const __m512d upper = _mm512_mask_blend_pd(bit4, sixteen(32), sixteen(48));
      entries = _mm512_mask_blend_pd(_mm512_test_epi64_mask(wide, _mm512_set1_epi64(32)), entries, upper);
    }
    return __builtin_bit_cast(D, entries);
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
