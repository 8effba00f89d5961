// Exhaustive check of detail::exp_f32, detail::tanh_f32 and detail::erf_f32:
// every one of the 2^32 float arguments against the correctly rounded result
// from MPFR. Exits with status 1 on any mismatch. Naming functions checks only
// those; --stride N checks every Nth argument instead of all.
//
// By default a long double evaluation of the C library (error a few units in
// 2^-64) screens each argument, and MPFR decides every argument whose result
// lies within 2^-45 (relative) of a float rounding midpoint; elsewhere the long
// double rounded to float is the correct result (screened, erf alone takes a
// few minutes on one core). With --mpfr-all, MPFR decides every argument (an
// hour and a half on one core for exp and tanh). Either way the arguments
// closest to a midpoint are listed, as test material.
#include <mpfr.h>

#include "kernels/mpfr_oracle.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "kernels/exact_math.hpp"

namespace {

using orvo_compiler::oracle::MpfrFunction;
using orvo_compiler::oracle::mpfr_rounded;

// The screen's trust region, and the distance under which arguments are kept
// as hard cases.
constexpr long double screen_margin = 0x1p-45L;
constexpr double hard_case_bound = 0x1p-46;
constexpr std::size_t hard_cases_listed = 40;

struct HardCase {
  std::uint32_t input = 0;
  std::uint32_t result = 0;
  double distance = 0.0;  // relative distance of the exact value from the midpoint
};

struct Tally {
  const char* name = "";
  std::uint64_t checked = 0;
  std::uint64_t nans = 0;
  std::uint64_t mpfr_calls = 0;
  std::uint64_t mismatches = 0;
  std::vector<HardCase> hard_cases;
};

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// The relative distance of the exact |function(x)| from the rounding midpoint
// next to |rounded| on its side, from a 256-bit evaluation.
double midpoint_distance(MpfrFunction function, float x, float rounded) {
  mpfr_t value;
  mpfr_t midpoint;
  mpfr_t neighbour;
  mpfr_inits2(256, value, midpoint, neighbour, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_flt(value, x, MPFR_RNDN);
  function(value, value, MPFR_RNDN);
  mpfr_abs(value, value, MPFR_RNDN);
  const float magnitude = std::fabs(rounded);
  const std::uint32_t bits = bits_of(magnitude);
  if (std::isinf(magnitude)) {
    mpfr_set_ui_2exp(midpoint, 1, 128, MPFR_RNDN);
  } else {
    mpfr_set_flt(midpoint, magnitude, MPFR_RNDN);
  }
  const bool above = mpfr_cmp(value, midpoint) > 0;
  if (above && bits == 0x7f7fffffu) {
    mpfr_set_ui_2exp(neighbour, 1, 128, MPFR_RNDN);
  } else if (above) {
    mpfr_set_flt(neighbour, std::bit_cast<float>(bits + 1), MPFR_RNDN);
  } else if (std::isinf(magnitude)) {
    mpfr_set_flt(neighbour, std::bit_cast<float>(0x7f7fffffu), MPFR_RNDN);
  } else {
    mpfr_set_flt(neighbour, std::bit_cast<float>(bits - 1), MPFR_RNDN);
  }
  mpfr_add(midpoint, midpoint, neighbour, MPFR_RNDN);
  mpfr_div_2ui(midpoint, midpoint, 1, MPFR_RNDN);
  mpfr_sub(midpoint, value, midpoint, MPFR_RNDN);
  mpfr_div(midpoint, midpoint, value, MPFR_RNDN);
  const double distance = std::fabs(mpfr_get_d(midpoint, MPFR_RNDN));
  mpfr_clears(value, midpoint, neighbour, static_cast<mpfr_ptr>(nullptr));
  return distance;
}

// |value| rounded to float, ties to even; an overflow gives +inf.
float narrow(long double value) {
  const long double magnitude = std::fabs(value);
  if (magnitude >= 0x1.ffffffp127L) {
    return std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(magnitude);
}

// True when every value within screen_margin of the finite |screen| rounds to
// the same float (the long double mirror of the library's rounding test).
bool screen_rounds_safely(long double screen) {
  const long double magnitude = std::fabs(screen);
  const float nearest = narrow(magnitude);
  const std::uint32_t bits = bits_of(nearest);
  const long double near_value = std::isinf(nearest) ? 0x1p128L : static_cast<long double>(nearest);
  if (near_value == magnitude) {
    return true;
  }
  long double neighbour = 0x1p128L;
  if (near_value > magnitude) {
    neighbour = static_cast<long double>(std::bit_cast<float>(bits - 1));
  } else if (std::isinf(nearest)) {
    return true;  // beyond 2^128: no midpoint above
  } else if (bits != 0x7f7fffffu) {
    neighbour = static_cast<long double>(std::bit_cast<float>(bits + 1));
  }
  const long double midpoint = (near_value + neighbour) / 2;
  return std::fabs(magnitude - midpoint) > magnitude * screen_margin;
}

void check(Tally& tally, std::uint32_t input, float got, long double screen, MpfrFunction function,
           bool mpfr_all) {
  const float x = std::bit_cast<float>(input);
  ++tally.checked;
  if (std::isnan(x)) {
    ++tally.nans;
    if (bits_of(got) != (input | 0x00400000u)) {
      ++tally.mismatches;
      std::printf("%s mismatch: input 0x%08x gave 0x%08x, want the quiet NaN 0x%08x\n", tally.name, input,
                  bits_of(got), input | 0x00400000u);
    }
    return;
  }
  const bool near_midpoint = !std::isinf(screen) && screen != 0.0L && !screen_rounds_safely(screen);
  float want = std::signbit(screen) ? -narrow(screen) : narrow(screen);
  if (mpfr_all || near_midpoint) {
    ++tally.mpfr_calls;
    want = mpfr_rounded(function, x);
  }
  if (near_midpoint) {
    const double distance = midpoint_distance(function, x, want);
    if (distance < hard_case_bound) {
      tally.hard_cases.push_back({input, bits_of(want), distance});
    }
  }
  if (bits_of(got) != bits_of(want)) {
    ++tally.mismatches;
    if (tally.mismatches <= 20) {
      std::printf("%s mismatch: input 0x%08x (%a) gave 0x%08x, want 0x%08x\n", tally.name, input,
                  static_cast<double>(x), bits_of(got), bits_of(want));
    }
  }
}

struct Options {
  bool mpfr_all = false;
  std::uint32_t stride = 1;
};

// One function under test: its name and tally, the long double screen, the oracle.
struct Subject {
  Tally tally;
  float (*function)(float) = nullptr;
  long double (*screen)(long double) = nullptr;
  MpfrFunction oracle = nullptr;
  bool selected = false;
};

// Reads a decimal stride from 1 to 2^31.
bool parse_stride(const char* text, std::uint32_t& stride) {
  const std::string_view digits = text;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc{} || end != digits.data() + digits.size() || value == 0 || value > 0x80000000u) {
    return false;
  }
  stride = static_cast<std::uint32_t>(value);
  return true;
}

void report(Tally& tally) {
  std::printf("%s: %llu inputs checked (%llu NaN), %llu against MPFR, %llu mismatches\n", tally.name,
              static_cast<unsigned long long>(tally.checked), static_cast<unsigned long long>(tally.nans),
              static_cast<unsigned long long>(tally.mpfr_calls),
              static_cast<unsigned long long>(tally.mismatches));
  std::sort(tally.hard_cases.begin(), tally.hard_cases.end(),
            [](const HardCase& a, const HardCase& b) { return a.distance < b.distance; });
  std::printf("%s: %zu arguments within 2^-46 of a midpoint; the closest:\n", tally.name,
              tally.hard_cases.size());
  const std::size_t listed = std::min(hard_cases_listed, tally.hard_cases.size());
  for (std::size_t i = 0; i < listed; ++i) {
    const HardCase& hard = tally.hard_cases[i];
    std::printf("  {0x%08xu, 0x%08xu},  // %a, distance 2^%.2f\n", hard.input, hard.result,
                static_cast<double>(std::bit_cast<float>(hard.input)), std::log2(hard.distance));
  }
}

// Reads the command line into `options`, marking the named subjects (all of
// them when none is named); false on anything it does not know.
bool parse_arguments(int argc, char** argv, Options& options, std::span<Subject> subjects) {
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--mpfr-all") {
      options.mpfr_all = true;
      continue;
    }
    if (argument == "--stride" && i + 1 < argc && parse_stride(argv[++i], options.stride)) {
      continue;
    }
    const auto subject = std::find_if(subjects.begin(), subjects.end(),
                                      [&](const Subject& candidate) { return argument == candidate.tally.name; });
    if (subject == subjects.end()) {
      return false;
    }
    subject->selected = true;
    named = true;
  }
  for (Subject& subject : subjects) {
    subject.selected = subject.selected || !named;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Subject subjects[] = {
      {{.name = "exp_f32"}, orvo_compiler::detail::exp_f32, [](long double x) { return std::exp(x); }, mpfr_exp},
      {{.name = "tanh_f32"}, orvo_compiler::detail::tanh_f32, [](long double x) { return std::tanh(x); }, mpfr_tanh},
      {{.name = "erf_f32"}, orvo_compiler::detail::erf_f32, [](long double x) { return std::erf(x); }, mpfr_erf},
  };
  Options options;
  if (!parse_arguments(argc, argv, options, subjects)) {
    std::fprintf(stderr, "usage: verify_math [--mpfr-all] [--stride N] [exp_f32] [tanh_f32] [erf_f32]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t wide = 0; wide < (std::uint64_t{1} << 32); wide += options.stride) {
    const auto input = static_cast<std::uint32_t>(wide);
    const float x = std::bit_cast<float>(input);
    for (Subject& subject : subjects) {
      if (subject.selected) {
        check(subject.tally, input, subject.function(x), subject.screen(x), subject.oracle, options.mpfr_all);
      }
    }
    if ((wide >> 28) != ((wide + options.stride) >> 28)) {
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      std::printf("progress: %u/16 of the inputs, %.0f s\n", (input >> 28) + 1, elapsed.count());
      std::fflush(stdout);
    }
  }
  std::uint64_t mismatches = 0;
  for (Subject& subject : subjects) {
    if (subject.selected) {
      report(subject.tally);
      mismatches += subject.tally.mismatches;
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("mode: %s, stride %u; time %.0f s\n", options.mpfr_all ? "MPFR for every argument" : "screened",
              options.stride, elapsed.count());
  return mismatches == 0 ? 0 : 1;
}
