// Correct rounding of detail::exp_f32, detail::tanh_f32 and detail::erf_f32:
// special values and hand-worked results as bit patterns, the arguments
// closest to a rounding midpoint, and a sample of all floats plus dense sweeps
// around every threshold, checked against MPFR. Also the erf form of GELU
// built on erf_f32, and the batch forms on every kernel path this processor
// runs, bit for bit against the scalar functions.
#include <mpfr.h>

#include "mpfr_oracle.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler::detail {
namespace {

using Function = float (*)(float);
using oracle::MpfrFunction;
using oracle::mpfr_rounded;

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }
float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

struct Case {
  const char* what;
  std::uint32_t input;
  std::uint32_t expected;
};

void expect_cases(Function function, std::span<const Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(bits_of(function(from_bits(c.input))), c.expected) << std::hex << "input 0x" << c.input;
  }
}

// Checks the bit patterns first, first + stride, ... up to last against MPFR,
// NaNs left out; reports the first few mismatches and returns how many.
int mismatches(Function function, MpfrFunction oracle, std::uint64_t first, std::uint64_t last,
               std::uint64_t stride) {
  int count = 0;
  for (std::uint64_t wide = first; wide <= last; wide += stride) {
    const float x = from_bits(static_cast<std::uint32_t>(wide));
    if (x != x) {
      continue;
    }
    const std::uint32_t got = bits_of(function(x));
    const std::uint32_t want = bits_of(mpfr_rounded(oracle, x));
    if (got != want && ++count <= 5) {
      ADD_FAILURE() << std::hex << "input 0x" << wide << " gave 0x" << got << ", want 0x" << want;
    }
  }
  return count;
}

struct Centre {
  const char* what;
  std::uint32_t bits;
};

// Sweeps `half_width` patterns either side of each centre, and of its negation.
void expect_sweeps_match(Function function, MpfrFunction oracle, std::span<const Centre> centres) {
  constexpr std::uint64_t half_width = 3000;
  for (const Centre& centre : centres) {
    SCOPED_TRACE(centre.what);
    for (const std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{0x80000000u}}) {
      const std::uint64_t middle = centre.bits | sign;
      const std::uint64_t first = middle - std::min<std::uint64_t>(middle & 0x7fffffffu, half_width);
      EXPECT_EQ(mismatches(function, oracle, first, middle + half_width, 1), 0);
    }
  }
}

// The arguments whose exact results lie closest to a float rounding midpoint
// (relative distance noted), with their correctly rounded results, as listed
// by tools/verify_math. Many of them take the double-double path.
constexpr Case exp_hard_cases[] = {
    {"-0x1.d2259ap+3, 2^-52.64", 0xc16912cdu, 0x34fd331bu},
    {"-0x1.e1dbe2p-8, 2^-51.71", 0xbbf0edf1u, 0x3f7e1fe9u},
    {"-0x1.c1c4b8p-10, 2^-51.15", 0xbae0e25cu, 0x3f7f8fa7u},
    {"-0x1p-25, 2^-51.00", 0xb3000000u, 0x3f800000u},
    {"0x1.fdff02p-17, 2^-50.55", 0x377eff81u, 0x3f800080u},
    {"0x1.62b666p+1, 2^-50.48", 0x40315b33u, 0x417fa47du},
    {"0x1.036492p+1, 2^-50.25", 0x4001b249u, 0x40f2cd14u},
    {"0x1.8d7cb6p-12, 2^-49.96", 0x39c6be5bu, 0x3f800c6du},
    {"0x1.cd3982p-14, 2^-49.89", 0x38e69cc1u, 0x3f80039au},
    {"0x1.747de2p-15, 2^-49.81", 0x383a3ef1u, 0x3f800175u},
    {"-0x1.548c34p-7, 2^-49.73", 0xbc2a461au, 0x3f7d5a6eu},
    {"0x1.344e9cp-5, 2^-49.70", 0x3d1a274eu, 0x3f84e8bau},
    {"0x1.112856p+6, 2^-49.58", 0x4288942bu, 0x70b7a4c5u},
    {"-0x1.6e1ddp-8, 2^-49.39", 0xbbb70ee8u, 0x3f7e92e8u},
    {"0x1.cce332p+0, 2^-49.31", 0x3fe67199u, 0x40c1a7a6u},
    {"-0x1.7acc62p+3, 2^-49.19", 0xc13d6631u, 0x36f28e33u},
    {"0x1.cb763ap-12, 2^-49.15", 0x39e5bb1du, 0x3f800e5du},
    {"0x1.97f0f6p+4, 2^-49.15", 0x41cbf87bu, 0x51dc50beu},
    {"0x1.fbff82p-18, 2^-49.12", 0x36fdffc1u, 0x3f800040u},
    {"0x1.f7ffc2p-19, 2^-49.01", 0x367bffe1u, 0x3f800020u},
    {"0x1.efffe2p-20, 2^-49.00", 0x35f7fff1u, 0x3f800010u},
    {"0x1.dffff2p-21, 2^-49.00", 0x356ffff9u, 0x3f800008u},
    {"0x1.bffffap-22, 2^-49.00", 0x34dffffdu, 0x3f800004u},
    {"0x1.7ffffep-23, 2^-49.00", 0x343fffffu, 0x3f800002u}};
constexpr Case tanh_hard_cases[] = {
    {"0x1.86fbc4p-10, 2^-50.28", 0x3ac37de2u, 0x3ac37dd9u},
    {"-0x1.86fbc4p-10, 2^-50.28", 0xbac37de2u, 0xbac37dd9u},
    {"0x1.dc0accp-2, 2^-49.60", 0x3eee0566u, 0x3ede3cbeu},
    {"-0x1.dc0accp-2, 2^-49.60", 0xbeee0566u, 0xbede3cbeu},
    {"-0x1.5969ap+2, 2^-49.21", 0xc0acb4d0u, 0xbf7ffd50u},
    {"0x1.5969ap+2, 2^-49.21", 0x40acb4d0u, 0x3f7ffd50u},
    {"0x1.a83722p-6, 2^-49.07", 0x3cd41b91u, 0x3cd40f70u},
    {"-0x1.a83722p-6, 2^-49.07", 0xbcd41b91u, 0xbcd40f70u},
    {"-0x1.8bd194p+2, 2^-48.81", 0xc0c5e8cau, 0xbf7fff71u},
    {"0x1.8bd194p+2, 2^-48.81", 0x40c5e8cau, 0x3f7fff71u},
    {"0x1.f860aap-5, 2^-48.77", 0x3d7c3055u, 0x3d7bdee1u},
    {"-0x1.f860aap-5, 2^-48.77", 0xbd7c3055u, 0xbd7bdee1u},
    {"0x1.4ddf04p+2, 2^-48.62", 0x40a6ef82u, 0x3f7ffc25u},
    {"-0x1.4ddf04p+2, 2^-48.62", 0xc0a6ef82u, 0xbf7ffc25u},
    {"-0x1.f178fcp+0, 2^-48.32", 0xbff8bc7eu, 0xbf75b4dfu},
    {"0x1.f178fcp+0, 2^-48.32", 0x3ff8bc7eu, 0x3f75b4dfu},
    {"-0x1.279b08p+1, 2^-48.24", 0xc013cd84u, 0xbf7affb3u},
    {"0x1.279b08p+1, 2^-48.24", 0x4013cd84u, 0x3f7affb3u},
    {"0x1.2d5c5cp-6, 2^-48.02", 0x3c96ae2eu, 0x3c96a9d5u},
    {"-0x1.2d5c5cp-6, 2^-48.02", 0xbc96ae2eu, 0xbc96a9d5u},
    {"0x1.2ff78ep+0, 2^-47.93", 0x3f97fbc7u, 0x3f546b44u},
    {"-0x1.2ff78ep+0, 2^-47.93", 0xbf97fbc7u, 0xbf546b44u},
    {"-0x1.916c0ap-8, 2^-47.90", 0xbbc8b605u, 0xbbc8b561u},
    {"0x1.916c0ap-8, 2^-47.90", 0x3bc8b605u, 0x3bc8b561u}};
// For erf: the closest ones (all nearer than 2^-48, so they take the
// double-double path), then every positive argument of 2^-10 or more that the
// rounding test sends to that path (243 positive arguments go there in all,
// the others below 2^-10).
constexpr Case erf_hard_cases[] = {
    {"0x1.81d5acp-13, 2^-56.35", 0x3940ead6u, 0x3959af14u},
    {"-0x1.81d5acp-13, 2^-56.35", 0xb940ead6u, 0xb959af14u},
    {"0x1.800afap-12, 2^-51.40", 0x39c0057du, 0x39d8ac49u},
    {"-0x1.800afap-12, 2^-51.40", 0xb9c0057du, 0xb9d8ac49u},
    {"0x1.5d48ccp-18, 2^-50.53", 0x36aea466u, 0x36c51007u},
    {"0x1.1d3a5ap-20, 2^-50.25", 0x358e9d2du, 0x35a0ec32u},
    {"0x1.546418p-91, 2^-49.55", 0x122a320cu, 0x12400b88u},
    {"-0x1.546418p-107, 2^-49.55", 0x8a2a320cu, 0x8a400b88u},
    {"0x1.546418p-52, 2^-49.55", 0x25aa320cu, 0x25c00b88u},
    {"0x1.4b473ap-9, 2^-49.42", 0x3b25a39du, 0x3b3ae741u},
    {"0x1.4c1c3p-10, 2^-48.80", 0x3aa60e18u, 0x3abb5f7au},
    {"0x1.0874eap-1, 2^-48.61", 0x3f043a75u, 0x3f08eed3u},
    {"0x1.89bbfap-1, 2^-48.09", 0x3f44ddfdu, 0x3f3923f8u},
    {"0x1.f93d3ep-7, 2^-48.03", 0x3c7c9e9fu, 0x3c8e8399u},
    {"0x1.3f98cp-3, 2^-47.99", 0x3e1fcc60u, 0x3e32dc2du},
    {"0x1.b58e88p-10, 2^-47.84", 0x3adac744u, 0x3af6dd60u},
    {"0x1.8b55ecp-7, 2^-47.57", 0x3c45aaf6u, 0x3c5f088eu},
    {"0x1.27d14ap-9, 2^-47.57", 0x3b13e8a5u, 0x3b26e59au},
    {"0x1.2fcaa2p-2, 2^-47.49", 0x3e97e551u, 0x3ea67f65u},
    {"0x1.5e253ap-3, 2^-47.42", 0x3e2f129du, 0x3e43a3eeu},
    {"0x1.af11d4p-9, 2^-47.28", 0x3b5788eau, 0x3b733441u},
    {"0x1.7c77b2p-5, 2^-47.24", 0x3d3e3bd9u, 0x3d568068u},
    {"0x1.76cf6cp-10, 2^-47.20", 0x3abb67b6u, 0x3ad376c2u},
    {"0x1.86f268p-6, 2^-47.18", 0x3cc37934u, 0x3cdc86bdu},
    {"0x1.65c19ep-10, 2^-47.11", 0x3ab2e0cfu, 0x3ac9d79fu},
    {"0x1.c20becp-6, 2^-47.10", 0x3ce105f6u, 0x3cfdd906u}};

TEST(ExpF32, SpecialValues) {
  const Case cases[] = {
      {"+0", 0x00000000u, 0x3f800000u},
      {"-0", 0x80000000u, 0x3f800000u},
      {"+inf", 0x7f800000u, 0x7f800000u},
      {"-inf", 0xff800000u, 0x00000000u},
      {"largest float overflows", 0x7f7fffffu, 0x7f800000u},
      {"lowest float gives +0", 0xff7fffffu, 0x00000000u},
      {"smallest subnormal gives 1", 0x00000001u, 0x3f800000u},
  };
  expect_cases(exp_f32, cases);
}

TEST(ExpF32, HandWorkedValues) {
  // Worked out with 80-digit decimal arithmetic and exact rounding to binary32.
  const Case cases[] = {
      {"e", 0x3f800000u, 0x402df854u},
      {"1/e", 0xbf800000u, 0x3ebc5ab2u},
      {"e^0.5", 0x3f000000u, 0x3fd3094cu},
      {"e^-0.5", 0xbf000000u, 0x3f1b4598u},
      {"e^10", 0x41200000u, 0x46ac14eeu},
      {"e^88.5", 0x42b10000u, 0x7f4cdcc4u},
      // e^(2^-24) = 1 + 2^-24 + 2^-49: just above the midpoint 1 + 2^-24.
      {"2^-24 rounds up", 0x33800000u, 0x3f800001u},
      // 2^-24 - 2^-48 gives 1 + 2^-24 - 2^-49: just below it.
      {"below 2^-24 rounds to 1", 0x337fffffu, 0x3f800000u},
      // e^(-2^-25) = 1 - 2^-25 + 2^-51: just above the midpoint 1 - 2^-25.
      {"-2^-25 rounds to 1", 0xb3000000u, 0x3f800000u},
      {"below -2^-25 rounds down", 0xb3000001u, 0x3f7fffffu},
      {"2^-25 rounds to 1", 0x33000000u, 0x3f800000u},
  };
  expect_cases(exp_f32, cases);
}

TEST(ExpF32, OverflowAndUnderflowThresholds) {
  const Case cases[] = {
      {"88.7228317 is the largest finite", 0x42b17217u, 0x7f7fff84u},
      {"88.7228394 overflows", 0x42b17218u, 0x7f800000u},
      {"89 overflows", 0x42b20000u, 0x7f800000u},
      {"-87.3365402 is the smallest normal result", 0xc2aeac4fu, 0x00800026u},
      {"-87.3365479 is subnormal", 0xc2aeac50u, 0x007fffe6u},
      {"-103.972076 gives the smallest subnormal", 0xc2cff1b4u, 0x00000001u},
      {"-103.972084 rounds to +0", 0xc2cff1b5u, 0x00000000u},
      {"-104 gives +0", 0xc2d00000u, 0x00000000u},
  };
  expect_cases(exp_f32, cases);
}

TEST(ExpF32, SubnormalResultsAreRoundedOnce) {
  // Worked out with 80-digit decimal arithmetic: e^-100 = 26.55 * 2^-149,
  // e^-103 = 1.32 * 2^-149.
  const Case cases[] = {
      {"e^-90", 0xc2b40000u, 0x0008ec28u},
      {"e^-87.5", 0xc2af0000u, 0x006cb2bcu},
      {"e^-100", 0xc2c80000u, 0x0000001bu},
      {"e^-103", 0xc2ce0000u, 0x00000001u},
  };
  expect_cases(exp_f32, cases);
  // The oracle of the sweeps below rounds the same way.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(bits_of(mpfr_rounded(mpfr_exp, from_bits(c.input))), c.expected);
  }
}

TEST(ExpF32, MatchesMpfrAroundThresholds) {
  const Centre centres[] = {
      {"zero and subnormal arguments", 0x00000000u},
      {"2^-25", 0x33000000u},
      {"2^-24", 0x33800000u},
      {"one", 0x3f800000u},
      {"ln2/128, the first reduction step", 0x3bb17218u},
      {"overflow at 88.72", 0x42b17218u},
      {"subnormal results from -87.34", 0x42aeac50u},
      {"zero results from -103.97", 0x42cff1b5u},
  };
  expect_sweeps_match(exp_f32, mpfr_exp, centres);
}

TEST(TanhF32, SpecialValues) {
  const Case cases[] = {
      {"+0 keeps its sign", 0x00000000u, 0x00000000u},
      {"-0 keeps its sign", 0x80000000u, 0x80000000u},
      {"+inf", 0x7f800000u, 0x3f800000u},
      {"-inf", 0xff800000u, 0xbf800000u},
      {"largest float", 0x7f7fffffu, 0x3f800000u},
      {"lowest float", 0xff7fffffu, 0xbf800000u},
      {"smallest subnormal is its own tanh", 0x00000001u, 0x00000001u},
      {"negative smallest subnormal", 0x80000001u, 0x80000001u},
      {"largest subnormal", 0x007fffffu, 0x007fffffu},
  };
  expect_cases(tanh_f32, cases);
}

TEST(TanhF32, HandWorkedValues) {
  // Worked out with 80-digit decimal arithmetic as (e^2x - 1) / (e^2x + 1).
  const Case cases[] = {
      {"tanh 1", 0x3f800000u, 0x3f42f7d6u},
      {"tanh -1", 0xbf800000u, 0xbf42f7d6u},
      {"tanh 0.5", 0x3f000000u, 0x3eec9a9fu},
      {"tanh -0.5", 0xbf000000u, 0xbeec9a9fu},
      {"tanh 10", 0x41200000u, 0x3f800000u},
      {"9.0109129 is the largest below 1", 0x41102cb3u, 0x3f7fffffu},
      {"9.0109138 rounds to 1", 0x41102cb4u, 0x3f800000u},
      {"-9.0109138 rounds to -1", 0xc1102cb4u, 0xbf800000u},
      // tanh x = x (1 - x^2/3 + ...): below 2^-11.47 the drop x^3/3 stays
      // under half an ulp of x.
      {"2^-12 is its own tanh", 0x39800000u, 0x39800000u},
      {"3.52111703e-4 is the largest that is its own tanh", 0x39b89ba2u, 0x39b89ba2u},
      {"3.52111732e-4 rounds one ulp down", 0x39b89ba3u, 0x39b89ba2u},
      {"-3.52111732e-4 rounds one ulp towards zero", 0xb9b89ba3u, 0xb9b89ba2u},
      // 2^-11: the drop is 1.33 ulps of the float below 2^-11.
      {"2^-11 rounds one ulp down", 0x3a000000u, 0x39ffffffu},
  };
  expect_cases(tanh_f32, cases);
}

TEST(TanhF32, MatchesMpfrAroundThresholds) {
  const Centre centres[] = {
      {"zero and subnormal arguments", 0x00000000u},
      {"2^-12", 0x39800000u},
      {"where tanh x starts to differ from x", 0x39b89ba3u},
      {"2^-11", 0x3a000000u},
      {"ln2/256, the first reduction step", 0x3b317218u},
      {"one", 0x3f800000u},
      {"where tanh reaches 1", 0x41102cb4u},
      {"10, where the evaluation stops", 0x41200000u},
  };
  expect_sweeps_match(tanh_f32, mpfr_tanh, centres);
}

TEST(ErfF32, SpecialValues) {
  const Case cases[] = {
      {"+0 keeps its sign", 0x00000000u, 0x00000000u},
      {"-0 keeps its sign", 0x80000000u, 0x80000000u},
      {"+inf", 0x7f800000u, 0x3f800000u},
      {"-inf", 0xff800000u, 0xbf800000u},
      {"largest float", 0x7f7fffffu, 0x3f800000u},
      {"lowest float", 0xff7fffffu, 0xbf800000u},
  };
  expect_cases(erf_f32, cases);
}

TEST(ErfF32, HandWorkedValues) {
  // Worked out with 90-digit decimal arithmetic and exact rounding to binary32.
  const Case cases[] = {
      {"erf 1", 0x3f800000u, 0x3f57bb3du},
      {"erf -1", 0xbf800000u, 0xbf57bb3du},
      {"erf 0.5", 0x3f000000u, 0x3f053f7bu},
      {"erf 2", 0x40000000u, 0x3f7ecd71u},
      {"erf 3", 0x40400000u, 0x3f7ffe8du},
      {"erf 1/8, a centre of the evaluation", 0x3e000000u, 0x3e0faf0du},
      {"erf 1/16, between the first two centres", 0x3d800000u, 0x3d903ea4u},
      {"erf 3/32", 0x3dc00000u, 0x3dd80409u},
  };
  expect_cases(erf_f32, cases);
}

TEST(ErfF32, ThresholdsAndTinyArguments) {
  // erf x = 2x/sqrt(pi) (1 - x^2/3 + ...), and 2/sqrt(pi) = 0x1.20dd75042p0 lies
  // 2^-30 (relative) above the midpoint 0x1.20dd75p0 of two floats: the drop
  // x^2/3 moves erf below that midpoint from x = 2^-14 upwards.
  const Case cases[] = {
      {"smallest subnormal is its own erf", 0x00000001u, 0x00000001u},
      {"negative smallest subnormal", 0x80000001u, 0x80000001u},
      {"2^-148", 0x00000002u, 0x00000002u},
      {"2^-147 gives 4.51 x 2^-149", 0x00000004u, 0x00000005u},
      {"5 x 2^-149 gives 5.64 x 2^-149", 0x00000005u, 0x00000006u},
      {"largest subnormal has a normal erf", 0x007fffffu, 0x00906eb9u},
      {"smallest normal", 0x00800000u, 0x00906ebbu},
      {"2^-15 rounds as 2x/sqrt(pi) does", 0x38000000u, 0x38106ebbu},
      {"2^-14 rounds one ulp lower", 0x38800000u, 0x38906ebau},
      {"3.91920567 is the largest below 1", 0x407ad444u, 0x3f7fffffu},
      {"3.9192059 rounds to 1", 0x407ad445u, 0x3f800000u},
      {"-3.9192059 rounds to -1", 0xc07ad445u, 0xbf800000u},
      {"just below 3.9375, where the evaluation stops", 0x407bffffu, 0x3f800000u},
      {"3.9375", 0x407c0000u, 0x3f800000u},
  };
  expect_cases(erf_f32, cases);
}

TEST(ErfF32, MatchesMpfrOnEvery512thEvaluatedArgument) {
  // Every argument below 3.9375 is evaluated; larger ones give 1 (erf is odd).
  EXPECT_EQ(mismatches(erf_f32, mpfr_erf, 0, 0x407c0000u, 512), 0);
}

TEST(ErfF32, MatchesMpfrAroundThresholds) {
  const Centre centres[] = {
      {"zero and subnormal arguments", 0x00000000u},
      {"smallest normal", 0x00800000u},
      {"2^-14", 0x38800000u},
      {"1/16, between the first two centres", 0x3d800000u},
      {"one", 0x3f800000u},
      {"where erf reaches 1", 0x407ad445u},
      {"3.9375, where the evaluation stops", 0x407c0000u},
  };
  expect_sweeps_match(erf_f32, mpfr_erf, centres);
}

// The three functions with their oracles and the arguments closest to a midpoint.
struct Subject {
  const char* name;
  Function function;
  MpfrFunction oracle;
  std::span<const Case> hard_cases;
};
const Subject subjects[] = {
    {"exp_f32", exp_f32, mpfr_exp, exp_hard_cases},
    {"tanh_f32", tanh_f32, mpfr_tanh, tanh_hard_cases},
    {"erf_f32", erf_f32, mpfr_erf, erf_hard_cases},
};

TEST(ExactMath, NaNComesBackQuietWithSignAndPayload) {
  const Case cases[] = {
      {"quiet NaN", 0x7fc00000u, 0x7fc00000u},
      {"signalling NaN is quietened, payload kept", 0x7f800001u, 0x7fc00001u},
      {"negative signalling NaN", 0xff812345u, 0xffc12345u},
      {"negative quiet NaN with payload", 0xffc01234u, 0xffc01234u},
  };
  for (const Subject& subject : subjects) {
    SCOPED_TRACE(subject.name);
    expect_cases(subject.function, cases);
  }
}

TEST(ExactMath, ArgumentsClosestToAMidpoint) {
  for (const Subject& subject : subjects) {
    SCOPED_TRACE(subject.name);
    expect_cases(subject.function, subject.hard_cases);
  }
}

TEST(ExactMath, MatchesMpfrOnEvery4099thFloat) {
  for (const Subject& subject : subjects) {
    SCOPED_TRACE(subject.name);
    EXPECT_EQ(mismatches(subject.function, subject.oracle, 0, 0xffffffffu, 4099), 0);
  }
}

TEST(GeluErfF32, HandWorkedValues) {
  // t = x * 0.70710677f, e = erf t rounded, then (0.5f * x) * (1.0f + e), each
  // step rounded to float; worked out with 90-digit decimal arithmetic.
  const Case cases[] = {
      {"+0", 0x00000000u, 0x00000000u},
      {"-0", 0x80000000u, 0x80000000u},
      {"1", 0x3f800000u, 0x3f57625eu},
      {"-1", 0xbf800000u, 0xbe227686u},
      {"0.5", 0x3f000000u, 0x3eb103afu},
      {"-0.5", 0xbf000000u, 0xbe1df8a2u},
      {"2", 0x40000000u, 0x3ffa2d0cu},
      {"-2", 0xc0000000u, 0xbd3a5e80u},
      {"3", 0x40400000u, 0x403fbda6u},
      {"-3, 1 + e exact", 0xc0400000u, 0xbb84b340u},
      // erf(6 / sqrt 2) rounds to 1: x itself, and -0 on the negative side.
      {"6", 0x40c00000u, 0x40c00000u},
      {"-6 gives -0", 0xc0c00000u, 0x80000000u},
      {"+inf", 0x7f800000u, 0x7f800000u},
  };
  expect_cases(gelu_erf_f32, cases);
  EXPECT_TRUE(std::isnan(gelu_erf_f32(from_bits(0xff800000u)))) << "-inf * 0";
  EXPECT_TRUE(std::isnan(gelu_erf_f32(from_bits(0x7fc00000u))));
}

// --- The batch forms.

using Batch = void (*)(KernelPath, std::span<const float>, std::span<float>);

// A function's batch form, with the thresholds of its scalar function (and of
// the range its vector lanes evaluate) to sweep around.
struct BatchSubject {
  const char* name;
  Function scalar;
  Batch batch;
  std::span<const Case> hard_cases;
  std::span<const Centre> thresholds;
};

constexpr Centre exp_batch_thresholds[] = {
    {"smallest normal argument", 0x00800000u},  {"one", 0x3f800000u},
    {"88, the last argument of the lanes", 0x42b00000u},  {"overflow at 88.72", 0x42b17218u},
    {"89, above which +inf", 0x42b20000u},        {"subnormal results from -87.34", 0x42aeac50u},
    {"zero results from -103.97", 0x42cff1b5u},   {"104, below -104 +0", 0x42d00000u},
};
constexpr Centre tanh_batch_thresholds[] = {
    {"smallest normal argument", 0x00800000u},
    {"where tanh x starts to differ from x", 0x39b89ba3u},
    {"where tanh reaches 1", 0x41102cb4u},
    {"10, above which ±1", 0x41200000u},
};
constexpr Centre erf_batch_thresholds[] = {
    {"smallest normal argument", 0x00800000u},
    {"2^-14", 0x38800000u},
    {"where erf reaches 1", 0x407ad445u},
    {"3.9375, from which ±1", 0x407c0000u},
    {"0.125, between the first two Taylor centres of the lanes", 0x3e000000u},
    {"1.875, between two Taylor centres", 0x3ff00000u},
    {"3.875, from which the last centre reaches further", 0x40780000u},
};

const BatchSubject batch_subjects[] = {
    {"exp_f32_many", exp_f32, exp_f32_many, exp_hard_cases, exp_batch_thresholds},
    {"tanh_f32_many", tanh_f32, tanh_f32_many, tanh_hard_cases, tanh_batch_thresholds},
    {"erf_f32_many", erf_f32, erf_f32_many, erf_hard_cases, erf_batch_thresholds},
};

// Special values first (so that short prefixes hold them), then the hard
// cases, sweeps of 1024 patterns either side of each threshold and of its
// negation, every 65537th pattern, and random arguments: bit patterns of
// every kind and values in [-16, 16).
std::vector<float> batch_arguments(const BatchSubject& subject) {
  std::vector<std::uint32_t> bits = {
      0x7fc00000u, 0x00000000u, 0x3f800000u, 0x7f800001u, 0x80000000u, 0xff812345u, 0xbf000000u, 0x7f800000u,
      0xff800000u, 0xffc01234u, 0x00000001u, 0x80000001u, 0x007fffffu, 0x807fffffu, 0x7f7fffffu, 0xff7fffffu,
      0x00800000u, 0x80800000u};
  for (const Case& c : subject.hard_cases) {
    bits.push_back(c.input);
  }
  for (const Centre& centre : subject.thresholds) {
    for (const std::uint32_t sign : {0u, 0x80000000u}) {
      for (std::uint32_t offset = 0; offset < 2048; ++offset) {
        bits.push_back(((centre.bits & 0x7fffffffu) - 1024u + offset) | sign);
      }
    }
  }
  for (std::uint64_t wide = 0; wide <= 0xffffffffu; wide += 65537) {
    bits.push_back(static_cast<std::uint32_t>(wide));
  }
  std::mt19937 random(20240611u);
  for (int i = 0; i < 32768; ++i) {
    bits.push_back(static_cast<std::uint32_t>(random()));
  }
  std::vector<float> arguments(bits.size());
  std::ranges::transform(bits, arguments.begin(), from_bits);
  std::uniform_real_distribution<float> typical(-16.0f, 16.0f);
  for (int i = 0; i < 32768; ++i) {
    arguments.push_back(typical(random));
  }
  return arguments;
}

// Checks out[i] against the scalar function of x[i], bit for bit (NaNs too),
// reporting the first few mismatches.
void expect_scalar_bits(Function scalar, std::span<const float> x, std::span<const float> out) {
  ASSERT_EQ(x.size(), out.size());
  int reported = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const std::uint32_t want = bits_of(scalar(x[i]));
    if (bits_of(out[i]) != want && ++reported <= 5) {
      ADD_FAILURE() << std::hex << "element " << std::dec << i << std::hex << ", input 0x" << bits_of(x[i])
                    << " gave 0x" << bits_of(out[i]) << ", want 0x" << want;
    }
  }
}

TEST(ExactMathBatch, EveryPathGivesTheScalarBits) {
  for (const BatchSubject& subject : batch_subjects) {
    const std::vector<float> arguments = batch_arguments(subject);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(std::string(subject.name) + " on " + std::string(path_name(path)));
      std::vector<float> out(arguments.size());
      subject.batch(path, arguments, out);
      expect_scalar_bits(subject.scalar, arguments, out);
    }
  }
}

TEST(ExactMathBatch, HardCasesKeepTheirCorrectlyRoundedResults) {
  for (const BatchSubject& subject : batch_subjects) {
    std::vector<float> arguments;
    for (const Case& c : subject.hard_cases) {
      arguments.push_back(from_bits(c.input));
    }
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(std::string(subject.name) + " on " + std::string(path_name(path)));
      std::vector<float> out(arguments.size());
      subject.batch(path, arguments, out);
      for (std::size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(subject.hard_cases[i].what);
        EXPECT_EQ(bits_of(out[i]), subject.hard_cases[i].expected);
      }
    }
  }
}

TEST(ExactMathBatch, PartialBlocksAndInPlace) {
  // Lengths around the widths of the lanes (4 and 8): an empty span, a lone
  // element, and partial last blocks, each out of place and in place.
  constexpr std::size_t lengths[] = {0, 1, 7, 9, 17};
  for (const BatchSubject& subject : batch_subjects) {
    const std::vector<float> arguments = batch_arguments(subject);
    for (const KernelPath path : available_paths()) {
      for (const std::size_t length : lengths) {
        SCOPED_TRACE(std::string(subject.name) + " on " + std::string(path_name(path)) + ", " +
                     std::to_string(length) + " elements");
        const std::span<const float> x(arguments.data(), length);
        // Guards after the output catch a write past its end.
        std::vector<float> out(length + 8, 42.0f);
        subject.batch(path, x, std::span(out).first(length));
        expect_scalar_bits(subject.scalar, x, std::span(out).first(length));
        EXPECT_TRUE(std::ranges::all_of(std::span(out).subspan(length), [](float v) { return v == 42.0f; }));
        std::vector<float> in_place(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(length));
        subject.batch(path, in_place, in_place);
        expect_scalar_bits(subject.scalar, x, in_place);
      }
    }
  }
}

TEST(ExactMathBatch, BestPathFormsMatchTheScalarFunctions) {
  const std::vector<float> arguments = batch_arguments(batch_subjects[0]);
  std::vector<float> out(arguments.size());
  exp_f32_many(arguments, out);
  expect_scalar_bits(exp_f32, arguments, out);
  tanh_f32_many(arguments, out);
  expect_scalar_bits(tanh_f32, arguments, out);
  erf_f32_many(arguments, out);
  expect_scalar_bits(erf_f32, arguments, out);
}

TEST(ExactMathBatchDeathTest, SizesMustAgree) {
  const float three[3] = {1.0f, 2.0f, 3.0f};
  float two[2] = {};
  EXPECT_DEATH(exp_f32_many(three, two), "input and output sizes differ");
  EXPECT_DEATH(tanh_f32_many(KernelPath::Portable, three, two), "input and output sizes differ");
}

}  // namespace
}  // namespace orvo_compiler::detail
