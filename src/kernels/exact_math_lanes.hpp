// The vector form of the exact single-precision maths: the fast evaluation of
// exp_f32, tanh_f32 or erf_f32 in N lanes of doubles at once, and the loop
// that runs it over an array. Each instruction-set path instantiates it with
// its own vector types in a source compiled for that instruction set.
//
// Steps, per block of N arguments:
//  1. Every lane runs the scalar function's fast path: the same shared
//     evaluation (kernels/exact_math_fast.hpp), the same table entries, the
//     same conversions, so each lane's double equals the scalar one bit for
//     bit. Erf on a path whose table lookups are one permute has a fast path
//     of its own instead, a Taylor table with its own error bound and margin.
//  2. Every lane applies the scalar rounding test to it: narrow to float, the
//     neighbouring float on the double's side, the distance from their
//     midpoint. A double that passes narrows to the correctly rounded result,
//     whichever fast path made it.
//  3. Lanes that pass take the narrowed double; lanes whose argument makes the
//     result a constant (±1, +0, +inf) take it. The others (a failed rounding
//     test, NaN, zero, subnormal arguments, ranges the lanes do not evaluate)
//     are handed to the scalar function, which gives their bits.
// The lanes evaluate only arguments whose result is finite and below the
// largest float, so the scalar test's cases for +inf never arise in them.
//
// Each path's source includes this header where its instruction set is in
// force, so the templates here (internal linkage, like those of
// exact_math_fast.hpp) compile for that instruction set in that source alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kernels/exact_math.hpp"
#include "kernels/exact_math_fast.hpp"
#include "kernels/exact_math_paths.hpp"

namespace orvo_compiler::detail::exact {
namespace {

// The lanes' results: the floats, and a bit per lane (lane i is bit i) for
// the lanes that still need the scalar function.
template <typename Lanes>
struct LaneResults {
  typename Lanes::F values;
  unsigned fallback = 0;
};

// The vector types of N lanes: F (float), D (double), I (std::int32_t), U
// (std::uint32_t) and M (std::int64_t, what comparing doubles gives). A
// path's Lanes adds lane_bits(mask), with bit i set where lane i of the mask is.
template <std::size_t N>
struct LaneTypes {
  static constexpr std::size_t lanes = N;
  using F [[gnu::vector_size(4 * N)]] = float;
  using D [[gnu::vector_size(8 * N)]] = double;
  using I [[gnu::vector_size(4 * N)]] = std::int32_t;
  using U [[gnu::vector_size(4 * N)]] = std::uint32_t;
  using M [[gnu::vector_size(8 * N)]] = std::int64_t;
};

// One field of a table, laid out as its own array of doubles, so that a path
// can hold it in registers and look entries up with permutes.
template <typename Entry, std::size_t Size, typename Read>
consteval std::array<double, Size> column_of(const Entry (&table)[Size], Read read) {
  std::array<double, Size> column{};
  for (std::size_t i = 0; i < Size; ++i) {
    column[i] = read(table[i]);
  }
  return column;
}

inline constexpr auto exp2_hi_column = column_of(exp2_table, [](const DoubleDouble& entry) { return entry.hi; });
inline constexpr auto exp2_lo_column = column_of(exp2_table, [](const DoubleDouble& entry) { return entry.lo; });
inline constexpr auto erf_value_hi_column = column_of(erf_centres, [](const ErfCentre& c) { return c.value.hi; });
inline constexpr auto erf_value_lo_column = column_of(erf_centres, [](const ErfCentre& c) { return c.value.lo; });
inline constexpr auto erf_slope_hi_column = column_of(erf_centres, [](const ErfCentre& c) { return c.slope.hi; });

// The erf Taylor table as one column per coefficient.
inline constexpr auto erf_taylor_columns = [] {
  std::array<std::array<double, 16>, erf_taylor_terms> columns{};
  for (std::size_t k = 0; k < erf_taylor_terms; ++k) {
    for (std::size_t i = 0; i < 16; ++i) {
      columns[k][i] = erf_taylor[i][k];
    }
  }
  return columns;
}();

// column[index] in every lane, one load per lane. A path may define its own
// Lanes::lookup (same entries, fewer instructions); on the processor measured
// (docs/performance.md) loads lane by lane were several times faster than
// gather instructions.
template <typename Lanes, std::size_t Size>
[[gnu::always_inline]] inline typename Lanes::D lookup(const std::array<double, Size>& column,
                                                        typename Lanes::I index) {
  if constexpr (requires { Lanes::lookup(column, index); }) {
    return Lanes::lookup(column, index);
  } else {
    typename Lanes::D values;
    for (std::size_t lane = 0; lane < Lanes::lanes; ++lane) {
      values[lane] = column[static_cast<std::size_t>(index[lane])];
    }
    return values;
  }
}

// The floats widened to doubles (exact). A path may define Lanes::widen where
// the compiler would split the conversion into halves.
template <typename Lanes>
[[gnu::always_inline]] inline typename Lanes::D widen(typename Lanes::F x) {
  if constexpr (requires { Lanes::widen(x); }) {
    return Lanes::widen(x);
  } else {
    return __builtin_convertvector(x, typename Lanes::D);
  }
}

// 2^m in every lane, for -1022 <= m <= 1023.
template <typename Lanes>
[[gnu::always_inline]] inline typename Lanes::D power_of_two(typename Lanes::I m) {
  const typename Lanes::M biased = __builtin_convertvector(m, typename Lanes::M) + 1023;
  return __builtin_bit_cast(typename Lanes::D, biased << 52);
}

// The lanes' results: where `evaluated` holds, the positive y narrowed to
// float if the scalar rounding test with this margin accepts it; where
// `constant` holds, `constant_values` (+0, 1 or +inf, which narrow to
// themselves). Both get the sign bits `sign`; all other lanes are left to the
// scalar function.
template <typename Lanes>
[[gnu::always_inline]] inline LaneResults<Lanes> finish(typename Lanes::D y, double margin, typename Lanes::M evaluated,
                          typename Lanes::M constant, typename Lanes::D constant_values, typename Lanes::U sign) {
  using D = typename Lanes::D;
  using F = typename Lanes::F;
  using U = typename Lanes::U;
  const D value = constant != 0 ? constant_values : y;
  const F nearest = __builtin_convertvector(value, F);
  const D near_value = widen<Lanes>(nearest);
  // The rounding test: the neighbour of `nearest` on value's side is one
  // float down where value lies below it, else one up (the scalar test takes
  // one down where they are equal, but then accepts value whatever the
  // neighbour). A difference of doubles that are not equal is never zero, and
  // narrowing it keeps its sign even where it falls below the float range.
  const U below = __builtin_bit_cast(U, __builtin_convertvector(value - near_value, F)) >> 31;
  const U adjacent_bits = __builtin_bit_cast(U, nearest) + 1u - (below << 1);
  const D adjacent = widen<Lanes>(__builtin_bit_cast(F, adjacent_bits));
  const typename Lanes::M safe = (near_value == value) | clear_of_midpoint(value, near_value, adjacent, margin);
  const typename Lanes::M done = (evaluated & safe) | constant;
  const unsigned all = (1u << Lanes::lanes) - 1u;
  return {__builtin_bit_cast(F, __builtin_bit_cast(U, nearest) | sign), all & ~Lanes::lane_bits(done)};
}

// `wide` where the lanes evaluate it, 1 elsewhere: lanes left to the scalar
// function or given a constant still compute on an ordinary argument (table
// indices in range, no integer conversion out of range).
template <typename Lanes>
[[gnu::always_inline]] inline typename Lanes::D evaluated_or_one(typename Lanes::M evaluated, typename Lanes::D wide) {
  return evaluated != 0 ? wide : typename Lanes::D{} + 1.0;
}

// |x| and the sign bit of x.
template <typename Lanes>
struct Magnitude {
  typename Lanes::D value;
  typename Lanes::U sign;
};

template <typename Lanes>
[[gnu::always_inline]] inline Magnitude<Lanes> magnitude_of(typename Lanes::F x) {
  using U = typename Lanes::U;
  const U bits = __builtin_bit_cast(U, x);
  const U magnitude = bits & 0x7fffffffu;
  return {widen<Lanes>(__builtin_bit_cast(typename Lanes::F, magnitude)),
          bits & 0x80000000u};
}

// Whether 2^-126 <= magnitude <= limit: a normal, non-zero argument the lanes evaluate.
template <typename Lanes>
[[gnu::always_inline]] inline typename Lanes::M normal_up_to(typename Lanes::D magnitude, double limit) {
  return (magnitude >= 0x1p-126) & (magnitude <= limit);
}

// The fast path's parts of e^z, z = k ln2/64 + r: k (as a double and as an
// integer), the table entry 2^((k mod 64)/64) = hi + lo, and q = e^r - 1.
template <typename Lanes>
struct ExpParts {
  typename Lanes::D k_double;
  typename Lanes::I k;
  typename Lanes::D hi;
  typename Lanes::D lo;
  typename Lanes::D q;
};

template <typename Lanes>
[[gnu::always_inline]] inline ExpParts<Lanes> exp_parts(typename Lanes::D z) {
  const typename Lanes::D k_double = reduction_step(z);
  const typename Lanes::I k = __builtin_convertvector(k_double, typename Lanes::I);
  return {k_double, k, lookup<Lanes>(exp2_hi_column, k & 63), lookup<Lanes>(exp2_lo_column, k & 63),
          expm1_polynomial_fast(reduced_fast(reduction_head(z, k_double), k_double))};
}

// e^x: lanes evaluate -104 <= x <= 88 (results below the largest float); x
// below -104 gives +0 and above 89 gives +inf, as in the scalar function.
template <typename Lanes>
[[gnu::always_inline]] inline LaneResults<Lanes> exp_lanes(typename Lanes::F x) {
  using D = typename Lanes::D;
  using M = typename Lanes::M;
  const D wide = widen<Lanes>(x);
  const M evaluated = normal_up_to<Lanes>(magnitude_of<Lanes>(x).value, 104.0) & (wide <= 88.0);
  const ExpParts<Lanes> parts = exp_parts<Lanes>(evaluated_or_one<Lanes>(evaluated, wide));
  const D fast = exp_fast(parts.hi, parts.lo, parts.q, power_of_two<Lanes>(parts.k >> 6));
  const M overflow = wide > 89.0;
  const D infinity_or_zero = overflow != 0 ? D{} + __builtin_inf() : D{};
  return finish<Lanes>(fast, exp_fast_margin, evaluated, overflow | (wide < -104.0), infinity_or_zero,
                       typename Lanes::U{});
}

// tanh(x): lanes evaluate 2^-126 <= |x| <= 10; larger |x| give ±1.
template <typename Lanes>
[[gnu::always_inline]] inline LaneResults<Lanes> tanh_lanes(typename Lanes::F x) {
  using D = typename Lanes::D;
  const Magnitude<Lanes> a = magnitude_of<Lanes>(x);
  const typename Lanes::M evaluated = normal_up_to<Lanes>(a.value, 10.0);
  const D magnitude = evaluated_or_one<Lanes>(evaluated, a.value);
  const ExpParts<Lanes> parts = exp_parts<Lanes>(magnitude + magnitude);
  const D u = parts.k_double != 0.0
                  ? expm1_fast(parts.hi, parts.lo, parts.q, power_of_two<Lanes>(parts.k >> 6))
                  : parts.q;
  return finish<Lanes>(tanh_fast(u), tanh_fast_margin, evaluated, a.value > 10.0, D{} + 1.0, a.sign);
}

// An erf argument in the lanes: |x| and its sign, the lanes that evaluate it
// (2^-126 <= |x| < 3.9375; larger |x| give ±1), and the magnitude they
// evaluate (1 in the other lanes).
template <typename Lanes>
struct ErfArgument {
  Magnitude<Lanes> a;
  typename Lanes::M evaluated;
  typename Lanes::D magnitude;

  // The lanes' results from the evaluated y, with the rounding test's margin.
  [[gnu::always_inline]] LaneResults<Lanes> finish_with(typename Lanes::D y, double margin) const {
    return finish<Lanes>(y, margin, evaluated, a.value >= static_cast<double>(erf_one_threshold),
                         typename Lanes::D{} + 1.0, a.sign);
  }
};

template <typename Lanes>
[[gnu::always_inline]] inline ErfArgument<Lanes> erf_argument(typename Lanes::F x) {
  const Magnitude<Lanes> a = magnitude_of<Lanes>(x);
  const double threshold = static_cast<double>(erf_one_threshold);
  const typename Lanes::M evaluated = normal_up_to<Lanes>(a.value, threshold) & (a.value < threshold);
  return {a, evaluated, evaluated_or_one<Lanes>(evaluated, a.value)};
}

// erf(x) by the scalar function's series.
template <typename Lanes>
[[gnu::always_inline]] inline LaneResults<Lanes> erf_lanes(typename Lanes::F x) {
  using D = typename Lanes::D;
  using I = typename Lanes::I;
  const ErfArgument<Lanes> argument = erf_argument<Lanes>(x);
  const I i = __builtin_convertvector(argument.magnitude * 8.0 + 0.5, I);
  const ErfTerms<D> terms = erf_terms(argument.magnitude, __builtin_convertvector(i, D) * 0.125);
  const D fast = erf_fast(terms, lookup<Lanes>(erf_value_hi_column, i), lookup<Lanes>(erf_value_lo_column, i),
                          lookup<Lanes>(erf_slope_hi_column, i));
  return argument.finish_with(fast, erf_fast_margin);
}

// erf(x) by the Taylor table: twelve table lookups and 22 operations per
// lane, where the series above takes about seventy operations; for paths
// whose lookups are a single permute.
template <typename Lanes>
[[gnu::always_inline]] inline LaneResults<Lanes> erf_taylor_lanes(typename Lanes::F x) {
  using D = typename Lanes::D;
  using I = typename Lanes::I;
  const ErfArgument<Lanes> argument = erf_argument<Lanes>(x);
  const I nearest = __builtin_convertvector(argument.magnitude * 4.0 + 0.5, I);
  const I i = nearest < erf_taylor_last ? nearest : erf_taylor_last;
  // Exact: x lies within a factor of two of a (or a = 0).
  const D h = argument.magnitude - __builtin_convertvector(i, D) * 0.25;
  D sum = lookup<Lanes>(erf_taylor_columns[erf_taylor_terms - 1], i);
  for (std::size_t k = erf_taylor_terms - 1; k-- > 1;) {
    sum = sum * h + lookup<Lanes>(erf_taylor_columns[k], i);
  }
  return argument.finish_with(lookup<Lanes>(erf_taylor_columns[0], i) + sum * h, erf_taylor_margin);
}

// The block's floats: the lanes' values, with the scalar function's result
// in each lane of `used` that the vector evaluation left open.
template <typename Lanes>
[[gnu::always_inline]] inline typename Lanes::F completed(const LaneResults<Lanes>& results, typename Lanes::F input,
                                                           unsigned used, float (*scalar)(float)) {
  typename Lanes::F values = results.values;
  for (unsigned fallback = results.fallback & used; fallback != 0; fallback &= fallback - 1) {
    const int lane = __builtin_ctz(fallback);
    values[lane] = scalar(input[lane]);
  }
  return values;
}

// out[i] = scalar(x[i]) for i below count (x may be out). Full blocks go
// `blocks` at a time: their evaluations are independent, and the sources that
// instantiate this are scheduled before register allocation, so their long
// chains of dependent operations interleave. A partial last block is padded
// with 1.0f, an argument every function evaluates.
template <typename Lanes, LaneResults<Lanes> (*evaluate)(typename Lanes::F), std::size_t blocks>
[[gnu::always_inline]] inline void run_lanes(float (*scalar)(float), const float* x, float* out, std::size_t count) {
  using F = typename Lanes::F;
  constexpr std::size_t lanes = Lanes::lanes;
  constexpr unsigned all = (1u << lanes) - 1u;
  std::size_t i = 0;
  for (; count - i >= blocks * lanes; i += blocks * lanes) {
    F inputs[blocks];
    LaneResults<Lanes> results[blocks];
#pragma GCC unroll 8
    for (std::size_t b = 0; b < blocks; ++b) {
      __builtin_memcpy(&inputs[b], x + i + b * lanes, sizeof inputs[b]);
      results[b] = evaluate(inputs[b]);
    }
#pragma GCC unroll 8
    for (std::size_t b = 0; b < blocks; ++b) {
      const F values = completed<Lanes>(results[b], inputs[b], all, scalar);
      __builtin_memcpy(out + i + b * lanes, &values, sizeof values);
    }
  }
  for (; i < count; i += lanes) {
    const std::size_t block = count - i < lanes ? count - i : lanes;
    F input = F{} + 1.0f;
    __builtin_memcpy(&input, x + i, block * sizeof(float));
    const F values = completed<Lanes>(evaluate(input), input, all >> (lanes - block), scalar);
    __builtin_memcpy(out + i, &values, block * sizeof(float));
  }
}

// out[i] = the function of x[i] for i below count, on these lanes. Exp and
// tanh keep two 64-entry table columns in registers and interleave four
// blocks; erf's columns are shorter, and eight blocks run faster (with the
// Taylor table: 1.56 times the series' throughput on AVX-512, where four
// blocks were slower than eight again).
template <typename Lanes>
[[gnu::always_inline]] inline void run_function(ExactFunction function, const float* x, float* out, std::size_t count) {
  switch (function) {
    case ExactFunction::Exp:
      run_lanes<Lanes, exp_lanes<Lanes>, 4>(exp_f32, x, out, count);
      return;
    case ExactFunction::Tanh:
      run_lanes<Lanes, tanh_lanes<Lanes>, 4>(tanh_f32, x, out, count);
      return;
    case ExactFunction::Erf:
      if constexpr (Lanes::permuted_tables) {
        run_lanes<Lanes, erf_taylor_lanes<Lanes>, 8>(erf_f32, x, out, count);
      } else {
        run_lanes<Lanes, erf_lanes<Lanes>, 8>(erf_f32, x, out, count);
      }
      return;
  }
}

}  // namespace
}  // namespace orvo_compiler::detail::exact
