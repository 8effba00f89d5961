// A self-check runner whose reference check expects a wrong sum: the tests run
// it to see one failure reported while the other checks still run and pass.
#include <gtest/gtest.h>

#include "checks.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvo_compiler::selfcheck::register_checks(orvo_compiler::selfcheck::checks({.reference_checksum = 100.0F}));
  return RUN_ALL_TESTS();
}
