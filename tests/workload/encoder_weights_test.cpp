// Deterministic encoder weights: worked element values, list sizes, the
// periodicity of the numerators and independence from sequence and heads.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(EncoderWeights, WorkedValuesOfTheDefaultConfiguration) {
  const EncoderWeights weights = EncoderWeights::deterministic(EncoderConfig{});
  // sqrt(64 x 50) rounds to 56.56854248046875; wq starts with the numerators
  // -19, -2 and 15, w1 with 4.
  ASSERT_EQ(weights.wq.size(), 4096U);
  EXPECT_EQ(bits(weights.wq[0]), 0xBEABF7E7U);  // -19 / 56.568542 = -0.33587572
  EXPECT_EQ(bits(weights.wq[1]), 0xBD10D0C3U);  // -2 / 56.568542 = -0.035355341
  EXPECT_EQ(bits(weights.wq[2]), 0x3E87C3B6U);  // 15 / 56.568542 = 0.26516503
  ASSERT_EQ(weights.w1.size(), 16384U);
  EXPECT_EQ(bits(weights.w1[0]), 0x3D90D0C3U);  // 4 / 56.568542 = 0.070710681
  // w2 has 256 rows: sqrt(256 x 50) is 113.13708, and its first numerator 35.
  ASSERT_EQ(weights.w2.size(), 16384U);
  EXPECT_EQ(bits(weights.w2[0]), 0x3E9E6455U);  // 0.30935922
}

TEST(EncoderWeights, ListSizes) {
  struct Case {
    const char* name;
    EncoderConfig config;
    std::size_t square;
    std::size_t w1;
    std::size_t w2;
  };
  const Case cases[] = {
      {"default", {}, 4096, 16384, 16384},
      {"small", {4, 8, 2, 16}, 64, 128, 128},
      {"feed_forward 0", {4, 8, 2, 0}, 64, 0, 0},
      {"hidden 0", {4, 0, 2, 16}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncoderWeights weights = EncoderWeights::deterministic(c.config);
    EXPECT_EQ(weights.wq.size(), c.square);
    EXPECT_EQ(weights.wk.size(), c.square);
    EXPECT_EQ(weights.wv.size(), c.square);
    EXPECT_EQ(weights.wo.size(), c.square);
    EXPECT_EQ(weights.w1.size(), c.w1);
    EXPECT_EQ(weights.w2.size(), c.w2);
  }
}

TEST(EncoderWeights, SaltShiftsAndPeriod) {
  const EncoderWeights weights = EncoderWeights::deterministic(EncoderConfig{});
  // One more salt adds 31 = 85 x 17 (mod 101) to the numerator term; equal
  // row counts give equal denominators.
  for (std::size_t i = 0; i + 85 < weights.wq.size(); ++i) {
    ASSERT_EQ(bits(weights.wk[i]), bits(weights.wq[i + 85])) << i;
    ASSERT_EQ(bits(weights.wv[i]), bits(weights.wk[i + 85])) << i;
    ASSERT_EQ(bits(weights.wo[i]), bits(weights.wv[i + 85])) << i;
  }
  for (std::size_t i = 0; i + 101 < weights.w1.size(); ++i) {
    ASSERT_EQ(bits(weights.w1[i]), bits(weights.w1[i + 101])) << i;
    ASSERT_EQ(bits(weights.w2[i]), bits(weights.w2[i + 101])) << i;
  }
  // Any 101 consecutive elements take each numerator -50..50 once, so the
  // extremes are +-50 / sqrt(3200) and they appear exactly once.
  int highest = 0;
  int lowest = 0;
  for (std::size_t i = 0; i < 101; ++i) {
    highest += bits(weights.wq[i]) == 0x3F624630U ? 1 : 0;  // 0.88388348
    lowest += bits(weights.wq[i]) == 0xBF624630U ? 1 : 0;
  }
  EXPECT_EQ(highest, 1);
  EXPECT_EQ(lowest, 1);
}

TEST(EncoderWeights, SequenceAndHeadsChangeNothing) {
  const EncoderWeights base = EncoderWeights::deterministic({4, 8, 2, 16});
  EXPECT_EQ(EncoderWeights::deterministic({4, 8, 2, 16}), base);
  EXPECT_EQ(EncoderWeights::deterministic({999, 8, 7, 16}), base);
  EXPECT_NE(EncoderWeights::deterministic({4, 8, 2, 17}), base);
}

TEST(EncoderWeights, TryFormRefusesWhatWouldStopTheProcess) {
  struct Case {
    const char* what;
    EncoderConfig config;
  };
  const Case cases[] = {
      {"hidden x hidden", {1, std::uint64_t{1} << 32, 1, 1}},
      {"hidden x feed-forward", {1, 2, 1, std::uint64_t{1} << 63}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EncoderWeights::try_deterministic(c.config),
              std::unexpected(CompileError::graph("encoder weights: rows x columns overflows")));
  }
  const EncoderConfig fits{4, 8, 2, 16};
  EXPECT_EQ(EncoderWeights::try_deterministic(fits), EncoderWeights::deterministic(fits));
}

TEST(EncoderWeightsDeathTest, ElementCountOverflowStopsTheProcess) {
  // 2^32 x 2^32 wraps to 0 in 64 bits and would otherwise give empty lists.
  const EncoderConfig config{1, std::uint64_t{1} << 32, 1, 1};
  EXPECT_DEATH((void)EncoderWeights::deterministic(config), "rows x columns overflows");
}

}  // namespace
}  // namespace orvo_compiler
