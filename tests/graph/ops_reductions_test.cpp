// The logarithm the reductions and log_softmax share: its special values, and
// agreement with the correctly rounded logarithm (MPFR) on a sweep of floats.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "graph/ops_reductions.hpp"
#include "kernels/mpfr_oracle.hpp"

namespace orvo_compiler::detail {
namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(LogF32, SpecialValues) {
  struct Case {
    float x;
    float expected;
  };
  const Case cases[] = {
      {1, 0},
      {2, std::bit_cast<float>(0x3F317218U)},
      {0.5F, std::bit_cast<float>(0xBF317218U)},
      {0, -infinity},
      {-0.0F, -infinity},
      {infinity, infinity},
      // The smallest subnormal: 149 ln 2 below zero.
      {std::bit_cast<float>(1U), std::bit_cast<float>(0xC2CE8ED0U)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(bits(log_f32(c.x)), bits(c.expected));
  }
  EXPECT_TRUE(std::isnan(log_f32(-1)));
  EXPECT_TRUE(std::isnan(log_f32(-infinity)));
  EXPECT_TRUE(std::isnan(log_f32(std::numeric_limits<float>::quiet_NaN())));
}

// Every 4099th positive finite float, subnormals included (the oracle agrees
// on a sweep of every 61st as well; that one is too slow for each run).
TEST(LogF32, RoundsAsTheOracleOnASweep) {
  std::uint64_t differing = 0;
  for (std::uint64_t pattern = 1; pattern < 0x7F800000U; pattern += 4099) {
    const float x = std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
    if (bits(log_f32(x)) != bits(oracle::mpfr_rounded(mpfr_log, x))) {
      ADD_FAILURE() << "log of " << x << " (pattern " << pattern << ")";
      if (++differing == 5) {
        return;
      }
    }
  }
}

}  // namespace
}  // namespace orvo_compiler::detail
