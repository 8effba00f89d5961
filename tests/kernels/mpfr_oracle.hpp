// The correctly rounded binary32 oracle shared by the maths tests and the
// exhaustive verification tool: MPFR at 24 bits in the binary32 exponent range.
#pragma once

#include <mpfr.h>

namespace orvo_compiler::oracle {

using MpfrFunction = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);

// The correctly rounded binary32 result of `function` at x: MPFR rounds at 24
// bits inside the binary32 exponent range, then once more into the subnormal
// range, as IEEE single precision does.
inline float mpfr_rounded(MpfrFunction function, float x) {
  const mpfr_exp_t saved_emin = mpfr_get_emin();
  const mpfr_exp_t saved_emax = mpfr_get_emax();
  mpfr_set_emin(-148);
  mpfr_set_emax(128);
  mpfr_t argument;
  mpfr_t result;
  mpfr_init2(argument, 24);
  mpfr_init2(result, 24);
  mpfr_set_flt(argument, x, MPFR_RNDN);
  const int inexact = function(result, argument, MPFR_RNDN);
  mpfr_subnormalize(result, inexact, MPFR_RNDN);
  const float rounded = mpfr_get_flt(result, MPFR_RNDN);
  mpfr_clear(argument);
  mpfr_clear(result);
  mpfr_set_emin(saved_emin);
  mpfr_set_emax(saved_emax);
  return rounded;
}

}  // namespace orvo_compiler::oracle
