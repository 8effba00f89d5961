// Correct rounding of detail::exp_f32 and detail::tanh_f32: special values and
// hand-worked results as bit patterns, the arguments closest to a rounding
// midpoint, and a sample of all floats plus dense sweeps around every
// threshold, checked against MPFR.
#include <mpfr.h>

#include "mpfr_oracle.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

#include <gtest/gtest.h>

#include "kernels/exact_math.hpp"

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

TEST(ExpF32, SpecialValues) {
  const Case cases[] = {
      {"+0", 0x00000000u, 0x3f800000u},
      {"-0", 0x80000000u, 0x3f800000u},
      {"+inf", 0x7f800000u, 0x7f800000u},
      {"-inf", 0xff800000u, 0x00000000u},
      {"largest float overflows", 0x7f7fffffu, 0x7f800000u},
      {"lowest float gives +0", 0xff7fffffu, 0x00000000u},
      {"smallest subnormal gives 1", 0x00000001u, 0x3f800000u},
      {"quiet NaN", 0x7fc00000u, 0x7fc00000u},
      {"signalling NaN is quietened, payload kept", 0x7f800001u, 0x7fc00001u},
      {"negative signalling NaN", 0xff812345u, 0xffc12345u},
      {"negative quiet NaN with payload", 0xffc01234u, 0xffc01234u},
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

TEST(ExpF32, ArgumentsClosestToAMidpoint) { expect_cases(exp_f32, exp_hard_cases); }

TEST(ExpF32, MatchesMpfrOnEvery4099thFloat) {
  EXPECT_EQ(mismatches(exp_f32, mpfr_exp, 0, 0xffffffffu, 4099), 0);
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
      {"quiet NaN", 0x7fc00000u, 0x7fc00000u},
      {"signalling NaN is quietened, payload kept", 0x7f800001u, 0x7fc00001u},
      {"negative signalling NaN", 0xff812345u, 0xffc12345u},
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

TEST(TanhF32, ArgumentsClosestToAMidpoint) { expect_cases(tanh_f32, tanh_hard_cases); }

TEST(TanhF32, MatchesMpfrOnEvery4099thFloat) {
  EXPECT_EQ(mismatches(tanh_f32, mpfr_tanh, 0, 0xffffffffu, 4099), 0);
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

}  // namespace
}  // namespace orvo_compiler::detail
