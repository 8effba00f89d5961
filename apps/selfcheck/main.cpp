// orvo-selfcheck: runs the three self-checks through GoogleTest, which takes
// its own options (--gtest_filter, --gtest_list_tests, --gtest_output, ...)
// from the command line, and exits with its verdict.
#include <gtest/gtest.h>

#include "checks.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvo_compiler::selfcheck::register_checks(orvo_compiler::selfcheck::checks());
  return RUN_ALL_TESTS();
}
