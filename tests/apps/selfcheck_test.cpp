// The self-check table: its names and order, and that a failing check is
// reported with its message instead of passing silently.
#include <string_view>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "checks.hpp"

namespace orvo_compiler::selfcheck {
namespace {

TEST(SelfCheckTable, HoldsTheThreeChecksInOrderWithTheirSourcePositions) {
  const std::vector<Check> table = checks();
  ASSERT_EQ(table.size(), 3U);
  EXPECT_EQ(table[0].name, "encoder_graph_compiles_deterministically");
  EXPECT_EQ(table[1].name, "encoder_reference_is_finite_and_repeatable");
  EXPECT_EQ(table[2].name, "live_allocations_do_not_overlap");
  for (const Check& check : table) {
    SCOPED_TRACE(check.name);
    EXPECT_TRUE(std::string_view(check.file).ends_with("checks.cpp"));
    EXPECT_GT(check.line, 0);
  }
}

void run_reference_check_expecting_another_sum() { checks({.reference_checksum = 100.0F})[1].run(); }

TEST(SelfCheckTable, WrongChecksumFailsWithTheSumInShortestForm) {
  EXPECT_FATAL_FAILURE(run_reference_check_expecting_another_sum(), "\tchecksum=107.46");
}

}  // namespace
}  // namespace orvo_compiler::selfcheck
