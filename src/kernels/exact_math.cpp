// Correctly rounded single-precision e^x, tanh(x) and erf(x) from IEEE double
// arithmetic: a fast double evaluation, and a double-double one for the few
// arguments whose result lies too close to a rounding midpoint.
//
// Steps, for e^x (tanh(|x|) is expm1(2|x|) / (expm1(2|x|) + 2) on the same
// machinery; erf has its own series, described above erf_positive):
//  1. Reduction: k is the integer nearest x * 64/ln2, and x = k ln2/64 + r
//     with |r| <= ln2/128 (plus 2^-38 relative), so that
//     e^x = 2^(k >> 6) * 2^((k & 63)/64) * e^r. ln2/64 is held in three parts,
//     the first with 36 bits, so x - k * part1 is exact (|k| < 2^14).
//  2. Fast path in double: e^r - 1 by its Taylor polynomial to degree 6, times
//     a table value 2^(j/64) held as a double-double. The relative error is
//     below 2^-52.9 for e^x, 2^-49.3 for tanh and 2^-48.9 for erf (the error
//     budget sits next to each function). If the double lies farther than a
//     bound above that error from every float rounding midpoint, rounding it
//     to float is the correctly rounded result.
//  3. Otherwise a double-double evaluation (Dekker's exact products, degree 10
//     polynomial) with relative error below 2^-95, rounded to float once.
//
// What is not guaranteed by the steps alone: step 3 is correct only where the
// exact result lies farther than 2^-95 (relative) from a rounding midpoint.
// tools/verify_math checks every one of the 2^32 arguments of all three
// functions against MPFR; they all are. Exact midpoints never occur: e^x,
// tanh(x) and erf(x) are transcendental for every non-zero float x.
//
// Every step is one IEEE double operation in a fixed order. The error-free
// transformations need the file compiled without FMA contraction
// (-ffp-contract=off), as the library is; no long double, no libm calls.
#include "kernels/exact_math.hpp"

#include <bit>
#include <cstdint>
#include <span>

#include "kernels/exact_math_fast.hpp"

namespace orvo_compiler::detail {
namespace {

using namespace exact;

// 1/n! as double-doubles, n = 10 down to 2, for the accurate polynomial.
constexpr DoubleDouble inverse_factorials[] = {
    {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76}, {0x1.71de3a556c734p-19, -0x1.c154f8ddc6cp-73},
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76}, {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73},
    {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65}, {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59}, {0x1.5555555555555p-3, 0x1.5555555555555p-57},
    {0x1p-1, 0x0p+0}};

// --- Error-free transformations (Knuth's TwoSum, Dekker's split and product).

DoubleDouble two_sum(double a, double b) {
  const double sum = a + b;
  const double b_virtual = sum - a;
  const double a_virtual = sum - b_virtual;
  return {sum, (a - a_virtual) + (b - b_virtual)};
}

// Requires |a| >= |b| or a == 0.
DoubleDouble fast_two_sum(double a, double b) {
  const double sum = a + b;
  return {sum, b - (sum - a)};
}

DoubleDouble split(double a) {
  const double scaled = 0x1.0000002p27 * a;  // 2^27 + 1
  const double hi = scaled - (scaled - a);
  return {hi, a - hi};
}

DoubleDouble two_product(double a, double b) {
  const double product = a * b;
  const DoubleDouble as = split(a);
  const DoubleDouble bs = split(b);
  const double error = (((as.hi * bs.hi - product) + as.hi * bs.lo) + as.lo * bs.hi) + as.lo * bs.lo;
  return {product, error};
}

// --- Double-double arithmetic; each operation has relative error below 2^-103.

DoubleDouble add(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble high = two_sum(a.hi, b.hi);
  const DoubleDouble low = two_sum(a.lo, b.lo);
  const DoubleDouble first = fast_two_sum(high.hi, high.lo + low.hi);
  return fast_two_sum(first.hi, first.lo + low.lo);
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble product = two_product(a.hi, b.hi);
  return fast_two_sum(product.hi, product.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble divide(DoubleDouble a, DoubleDouble b) {
  const double q1 = a.hi / b.hi;
  const DoubleDouble rest1 = add(a, multiply(b, {-q1, 0.0}));
  const double q2 = rest1.hi / b.hi;
  const DoubleDouble rest2 = add(rest1, multiply(b, {-q2, 0.0}));
  const double q3 = rest2.hi / b.hi;
  const DoubleDouble quotient = fast_two_sum(q1, q2);
  return add(quotient, {q3, 0.0});
}

// 2^m as a double, for -1022 <= m <= 1023.
double power_of_two(int m) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + m) << 52);
}

// --- Argument reduction shared by both paths.

// x = k ln2/64 + r, with the integer k and the exactly computed x - k part1.
struct Reduction {
  int k = 0;
  double k_double = 0.0;
  double head = 0.0;  // x - k part1, exact
};

// |x| below 2^8: k fits in 15 bits.
Reduction reduce(double x) {
  const double k_double = reduction_step(x);
  return {static_cast<int>(k_double), k_double, reduction_head(x, k_double)};
}

// r as a double-double; absolute error below 2^-120.
DoubleDouble reduced_accurate(const Reduction& reduction) {
  const DoubleDouble middle = two_product(reduction.k_double, ln2_64_part2);
  const DoubleDouble sum = two_sum(reduction.head, -middle.hi);
  return two_sum(sum.hi, (sum.lo - middle.lo) - reduction.k_double * ln2_64_part3);
}

// e^r - 1 for |r| <= 0.0055: Taylor to degree 10 (truncation below 2^-100 |r|)
// in double-double Horner form, relative error below 2^-99.
DoubleDouble expm1_polynomial_accurate(DoubleDouble r) {
  DoubleDouble sum = inverse_factorials[0];
  for (const DoubleDouble& coefficient : std::span(inverse_factorials).subspan(1)) {
    sum = add(multiply(sum, r), coefficient);
  }
  sum = add(multiply(sum, r), {1.0, 0.0});
  return multiply(sum, r);
}

// --- Rounding to float. Results here are positive; 2^128 stands in for the
// step past the largest float, so the overflow midpoint is handled like any other.

constexpr std::uint32_t infinity_bits = 0x7f800000u;
constexpr std::uint32_t largest_bits = 0x7f7fffffu;
// Halfway between the largest float and 2^128: from here on values round to +inf.
constexpr double overflow_midpoint = 0x1.ffffffp127;

// The positive y rounded to float, ties to even; an overflow gives +inf.
float narrow(double y) {
  if (y >= overflow_midpoint) {
    return std::bit_cast<float>(infinity_bits);
  }
  return static_cast<float>(y);
}

// The value of the positive float `bits` as a double, +inf counting as 2^128.
double value_of(std::uint32_t bits) {
  return bits == infinity_bits ? 0x1p128 : static_cast<double>(std::bit_cast<float>(bits));
}

// The value of the float next to `bits` upwards or downwards (nothing lies
// above +inf: the result is then a double infinity).
double adjacent_value(std::uint32_t bits, bool upwards) {
  if (!upwards) {
    return value_of(bits - 1);
  }
  if (bits == infinity_bits) {
    return std::bit_cast<double>(std::uint64_t{0x7ff0000000000000u});
  }
  return bits == largest_bits ? 0x1p128 : value_of(bits + 1);
}

// True when every value within relative distance `margin` of the positive,
// finite y rounds to the same float as y: y is farther than that from the
// midpoint between the float nearest to it and that float's neighbour on y's
// side (the other midpoint is half a float ulp away).
bool rounds_safely(double y, double margin) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(narrow(y));
  const double near_value = value_of(bits);
  if (near_value == y) {
    return true;
  }
  return clear_of_midpoint(y, near_value, adjacent_value(bits, near_value < y), margin);
}

// The positive value hi + lo rounded to float once. Rounding hi alone is right
// unless hi is itself a float midpoint; then lo breaks the tie.
float round_to_float(DoubleDouble value) {
  const float nearest = narrow(value.hi);
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(nearest);
  const double near_value = value_of(bits);
  if (near_value == value.hi || value.lo == 0.0) {
    return nearest;
  }
  const bool hi_above = value.hi > near_value;
  const double neighbour = adjacent_value(bits, hi_above);
  if ((near_value + neighbour) * 0.5 != value.hi) {
    return nearest;
  }
  if ((value.lo > 0.0) == hi_above) {
    return narrow(neighbour);
  }
  return nearest;
}

float quiet(float nan) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(nan) | 0x00400000u);
}

// An odd function f from its values on positive arguments: a NaN comes back
// quiet with its sign and payload, ±0 keeps its sign, f(-x) = -f(x).
template <typename Positive>
float odd_function(float x, Positive positive) {
  if (x != x) {
    return quiet(x);
  }
  if (x == 0.0f) {
    return x;
  }
  const bool negative = x < 0.0f;
  const float magnitude = positive(negative ? -x : x);
  return negative ? -magnitude : magnitude;
}

// --- e^x for -104 <= x <= 89.
//
// Fast error budget, relative to e^x: the table's double-double value is exact
// to 2^-106; r carries 2^-53 |r| + 2^-84 absolute, and the polynomial another
// 1.06 * 2^-53 |q| (|r|, |q| < 2^-7.5), so q = e^r - 1 is good to 2^-59.4
// absolute; hi * q and lo + hi * q add 2^-60.5 each, and the final addition
// 2^-53. In all below 1.05 * 2^-53 = 2^-52.9; scaling by 2^m is exact (the
// result stays a normal double).

float exp_in_range(float x) {
  const Reduction reduction = reduce(static_cast<double>(x));
  const DoubleDouble& table = exp2_table[reduction.k & 63];
  const int m = reduction.k >> 6;  // -151 <= m <= 128
  const double q = expm1_polynomial_fast(reduced_fast(reduction.head, reduction.k_double));
  const double fast = exp_fast(table.hi, table.lo, q, power_of_two(m));
  if (rounds_safely(fast, exp_fast_margin)) {
    return narrow(fast);
  }
  const DoubleDouble p = expm1_polynomial_accurate(reduced_accurate(reduction));
  const DoubleDouble value = add(table, multiply(table, p));
  const double scale = power_of_two(m);
  return round_to_float({value.hi * scale, value.lo * scale});
}

// --- tanh(a) for 0 < a <= 10, as u / (u + 2) with u = e^(2a) - 1.
//
// Fast error budget for u, relative to u. With k = 0, r = 2a exactly and u = q
// carries the polynomial's 1.06 * 2^-53. With k >= 1, u = 2^m (hi + lo)(1 + q) - 1
// and u >= 2a >= |r|: the error of q (r's 2^-53 |r| plus the polynomial's
// 1.06 * 2^-53 |q|), of hi * q and of lo + hi * q (2^-53 |q| each), all scaled
// by 2^m (hi + lo) <= 1.02 u / |r|, stay below 4.2 * 2^-53 u; 2^m hi - 1 is
// exact for m = 0 (Sterbenz) and otherwise adds 1.012 * 2^-53 while the terms
// before shrink below 0.05 * 2^-53; the final addition adds 2^-53. So u is good
// to 5.2 * 2^-53, u + 2 to 6.2 * 2^-53, and the quotient to 12.4 * 2^-53, below
// 2^-49.3.

float tanh_positive(double a) {
  const double z = a + a;
  const Reduction reduction = reduce(z);
  const DoubleDouble& table = exp2_table[reduction.k & 63];
  const int m = reduction.k >> 6;  // 0 <= m <= 28
  const double scale = power_of_two(m);
  const double q = expm1_polynomial_fast(reduced_fast(reduction.head, reduction.k_double));
  const double u = reduction.k != 0 ? expm1_fast(table.hi, table.lo, q, scale) : q;
  const double fast = tanh_fast(u);
  if (rounds_safely(fast, tanh_fast_margin)) {
    return narrow(fast);
  }
  DoubleDouble expm1 = expm1_polynomial_accurate(reduced_accurate(reduction));
  if (reduction.k != 0) {
    const DoubleDouble power = add(table, multiply(table, expm1));
    expm1 = add({power.hi * scale, power.lo * scale}, {-1.0, 0.0});
  }
  return round_to_float(divide(expm1, add(expm1, {2.0, 0.0})));
}

// --- erf(x) for 0 < x < 3.9375, from the centre a = i/8 nearest x.
//
// With x = a + h (|h| <= 1/16) and g(u) = e^(-(a+u)^2 + a^2) = e^(-2au - u^2),
//   erf(x) = erf(a) + 2/sqrt(pi) e^(-a^2) h sum_n s_n / (n + 1),
// where s_n = t_n h^n holds the Taylor coefficients t_n of g at 0:
//   s_0 = 1, s_1 = -2ah, s_(n+1) = (-2ah s_n - 2h^2 s_(n-1)) / (n + 1),
// since g' = (-2a - 2u) g. The centre a = 0 gives the Maclaurin series, so
// small arguments keep their relative accuracy. The s_n are bounded by the
// coefficients S_n of the majorant e^(2a|h|u + h^2 u^2), whose sum is at most
// e^(2a|h| + h^2) <= e^0.488 = 1.63, while the series' value lies between
// e^-0.488 and e^0.488 (it is the mean of g over [0, h]).
//
// Fast error budget, u = 2^-53. h is exact (a is a multiple of 1/8, x has 24
// bits and |h| <= x unless a = 0) and so are -2ah (29 bits) and -2h^2
// (48 bits). Each step s_(n+1) = p_n s_n + q_n s_(n-1), with p_n and q_n
// multiplied by 1/(n + 1) rounded, costs four roundings, so by induction
// |error of s_n| <= 4n u S_n; divided by n + 1 these total at most
// 4u (1.63 - 1) = 2.5u. The eleven terms, each scaled by 1/(n + 1) (2u,
// 3.26u in all), are summed from the smallest (u per partial sum, their total
// at most 1.63u): the series is within 7.4u of its value, 12.1u relative. Truncation after s_10 is below
// 2^-56 of erf(x); the slope's rounding and the two products add 3u. The
// correction c = erf(x) - erf(a) is no larger than erf(x) for any centre, so
// with lo + c (u) and the final addition (u) the result is within 17.3u =
// 2^-48.9 of erf(x). Measured against MPFR on every 997th argument: 2^-51.4.
//
// The accurate path runs the same recurrence to s_19 (truncation below
// 2^-100) in double-double, each operation within 2^-103: with six of them
// per step, twenty partial sums and the final products the same induction
// gives 71 * 2^-103 = 2^-96.8 (measured on every 4099th argument: 2^-104).

constexpr int erf_accurate_terms = 20;

// sum_n s_n / (n + 1) for n = 0 to 19 in double-double.
DoubleDouble erf_series_accurate(double linear, double quadratic) {
  DoubleDouble previous{1.0, 0.0};
  DoubleDouble current{linear, 0.0};
  DoubleDouble sum{1.0, 0.0};
  for (int n = 1; n < erf_accurate_terms; ++n) {
    const DoubleDouble divisor{static_cast<double>(n + 1), 0.0};
    sum = add(sum, divide(current, divisor));
    const DoubleDouble recurrence = add(multiply(current, {linear, 0.0}), multiply(previous, {quadratic, 0.0}));
    const DoubleDouble next = divide(recurrence, divisor);
    previous = current;
    current = next;
  }
  return sum;
}

float erf_positive(float x) {
  const double magnitude = static_cast<double>(x);
  const int i = static_cast<int>(magnitude * 8.0 + 0.5);
  const ErfCentre& centre = erf_centres[i];
  const ErfTerms<double> terms = erf_terms(magnitude, static_cast<double>(i) * 0.125);
  const double fast = erf_fast(terms, centre.value.hi, centre.value.lo, centre.slope.hi);
  if (rounds_safely(fast, erf_fast_margin)) {
    return narrow(fast);
  }
  const DoubleDouble change =
      multiply(multiply(centre.slope, {terms.h, 0.0}), erf_series_accurate(terms.linear, terms.quadratic));
  return round_to_float(add(centre.value, change));
}

}  // namespace

float exp_f32(float x) {
  if (x != x) {
    return quiet(x);
  }
  if (x > 89.0f) {
    return std::bit_cast<float>(infinity_bits);  // e^89 > 2^128
  }
  if (x < -104.0f) {
    return 0.0f;  // e^-104 < 2^-150, half the smallest subnormal
  }
  return exp_in_range(x);
}

float tanh_f32(float x) {
  return odd_function(x, [](float a) {
    // 1 - tanh(a) < 2 e^(-2a) < 2^-25 for a > 13 ln2 = 9.01: rounds to 1.
    return a > 10.0f ? 1.0f : tanh_positive(static_cast<double>(a));
  });
}

float erf_f32(float x) {
  return odd_function(x, [](float a) { return a >= erf_one_threshold ? 1.0f : erf_positive(a); });
}

float gelu_erf_f32(float x) {
  const float t = x * 0.70710677f;
  const float e = erf_f32(t);
  return (0.5f * x) * (1.0f + e);
}

}  // namespace orvo_compiler::detail
