// Prints the constants of src/kernels/exact_math_fast.hpp from 300-bit MPFR values, as C++
// hexadecimal literals, so that every table entry can be regenerated and
// checked. Not part of any build product; run it by hand when the tables change.
#include <mpfr.h>

#include <cstdio>

namespace {

constexpr mpfr_prec_t precision = 300;

// Splits `value` into a double nearest to it and a double nearest to the rest.
void print_double_double(const char* indent, mpfr_t value, const char* trailer) {
  mpfr_t rest;
  mpfr_init2(rest, precision);
  const double hi = mpfr_get_d(value, MPFR_RNDN);
  mpfr_sub_d(rest, value, hi, MPFR_RNDN);
  const double lo = mpfr_get_d(rest, MPFR_RNDN);
  std::printf("%s{%a, %a}%s\n", indent, hi, lo, trailer);
  mpfr_clear(rest);
}

// slope = 2/sqrt(pi) e^(-a^2), the derivative of erf at a.
void set_erf_slope(mpfr_t slope, const mpfr_t a, mpfr_t scratch) {
  mpfr_sqr(scratch, a, MPFR_RNDN);
  mpfr_neg(scratch, scratch, MPFR_RNDN);
  mpfr_exp(scratch, scratch, MPFR_RNDN);
  mpfr_const_pi(slope, MPFR_RNDN);
  mpfr_rec_sqrt(slope, slope, MPFR_RNDN);
  mpfr_mul(slope, slope, scratch, MPFR_RNDN);
  mpfr_mul_ui(slope, slope, 2, MPFR_RNDN);
}

}  // namespace

int main() {
  mpfr_t value;
  mpfr_t step;
  mpfr_t rest;
  mpfr_inits2(precision, value, step, rest, static_cast<mpfr_ptr>(nullptr));

  // ln(2)/64 in three parts: 36 bits, then 53, then 53.
  mpfr_const_log2(step, MPFR_RNDN);
  mpfr_div_ui(step, step, 64, MPFR_RNDN);
  mpfr_t part;
  mpfr_init2(part, 36);
  mpfr_set(part, step, MPFR_RNDN);
  const double ln2_part1 = mpfr_get_d(part, MPFR_RNDN);
  mpfr_sub_d(rest, step, ln2_part1, MPFR_RNDN);
  const double ln2_part2 = mpfr_get_d(rest, MPFR_RNDN);
  mpfr_sub_d(rest, rest, ln2_part2, MPFR_RNDN);
  const double ln2_part3 = mpfr_get_d(rest, MPFR_RNDN);
  std::printf("ln2/64 parts: %a %a %a\n", ln2_part1, ln2_part2, ln2_part3);
  mpfr_ui_div(value, 1, step, MPFR_RNDN);
  std::printf("64/ln2: %a\n", mpfr_get_d(value, MPFR_RNDN));

  std::printf("1/n! (double):\n");
  for (unsigned n = 2; n <= 10; ++n) {
    mpfr_fac_ui(rest, n, MPFR_RNDN);
    mpfr_ui_div(value, 1, rest, MPFR_RNDN);
    std::printf("  n=%u %a\n", n, mpfr_get_d(value, MPFR_RNDN));
  }
  std::printf("1/n! (double-double), n = 10 down to 2:\n");
  for (unsigned n = 10; n >= 2; --n) {
    mpfr_fac_ui(rest, n, MPFR_RNDN);
    mpfr_ui_div(value, 1, rest, MPFR_RNDN);
    print_double_double("    ", value, ",");
  }
  std::printf("2^(j/64), j = 0 to 63:\n");
  for (unsigned j = 0; j < 64; ++j) {
    mpfr_set_ui(value, j, MPFR_RNDN);
    mpfr_div_ui(value, value, 64, MPFR_RNDN);
    mpfr_exp2(value, value, MPFR_RNDN);
    print_double_double("    ", value, ",");
  }
  std::printf("erf centres a = i/8, i = 0 to 31: {erf(a), 2/sqrt(pi) e^(-a^2)}:\n");
  mpfr_t slope;
  mpfr_init2(slope, precision);
  for (unsigned i = 0; i < 32; ++i) {
    mpfr_set_ui(step, i, MPFR_RNDN);
    mpfr_div_ui(step, step, 8, MPFR_RNDN);
    mpfr_erf(value, step, MPFR_RNDN);
    set_erf_slope(slope, step, rest);
    print_double_double("    {", value, ",");
    print_double_double("     ", slope, "},");
  }
  // Taylor coefficients of erf about a = i/4: c_0 = erf(a) and, for k >= 1,
  // c_k = erf^(k)(a) / k! = 2/sqrt(pi) e^(-a^2) (-1)^(k-1) H_(k-1)(a) / k!,
  // with the Hermite polynomials H_0 = 1, H_1 = 2a, H_(n+1) = 2a H_n - 2n H_(n-1).
  constexpr unsigned taylor_degree = 11;
  std::printf("erf Taylor coefficients c_0 to c_%u about a = i/4, i = 0 to 15:\n", taylor_degree);
  mpfr_t hermite[taylor_degree + 1];
  for (mpfr_t& h : hermite) {
    mpfr_init2(h, precision);
  }
  for (unsigned i = 0; i < 16; ++i) {
    mpfr_set_ui(step, i, MPFR_RNDN);
    mpfr_div_ui(step, step, 4, MPFR_RNDN);
    set_erf_slope(slope, step, rest);
    mpfr_set_ui(hermite[0], 1, MPFR_RNDN);
    mpfr_mul_ui(hermite[1], step, 2, MPFR_RNDN);
    for (unsigned n = 1; n < taylor_degree; ++n) {
      mpfr_mul(hermite[n + 1], hermite[n], step, MPFR_RNDN);
      mpfr_mul_ui(hermite[n + 1], hermite[n + 1], 2, MPFR_RNDN);
      mpfr_mul_ui(rest, hermite[n - 1], 2 * n, MPFR_RNDN);
      mpfr_sub(hermite[n + 1], hermite[n + 1], rest, MPFR_RNDN);
    }
    mpfr_erf(value, step, MPFR_RNDN);
    std::printf("    {%a,", mpfr_get_d(value, MPFR_RNDN));
    for (unsigned k = 1; k <= taylor_degree; ++k) {
      mpfr_mul(value, slope, hermite[k - 1], MPFR_RNDN);
      mpfr_fac_ui(rest, k, MPFR_RNDN);
      mpfr_div(value, value, rest, MPFR_RNDN);
      if (k % 2 == 0) {
        mpfr_neg(value, value, MPFR_RNDN);
      }
      std::printf(" %a%s", mpfr_get_d(value, MPFR_RNDN), k == taylor_degree ? "},\n" : ",");
    }
  }
  for (mpfr_t& h : hermite) {
    mpfr_clear(h);
  }
  mpfr_clears(value, step, rest, part, slope, static_cast<mpfr_ptr>(nullptr));
  return 0;
}
