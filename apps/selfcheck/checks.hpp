// The self-check table: three named end-to-end checks of the library on the
// encoder workload, handed to GoogleTest by the self-check runners.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvo_compiler::selfcheck {

// What the checks compare against; tests substitute wrong values to prove
// that a failing check is reported.
struct Expectations {
  // In-order float sum of the small reference encoder's output.
  float reference_checksum = 107.46423F;
};

struct Check {
  std::string name;
  std::string file;
  int line = 0;
  std::function<void()> run;
};

// The three checks, in table order.
[[nodiscard]] std::vector<Check> checks(Expectations expectations = {});

// Registers every check with GoogleTest as test `name` of suite "tests".
void register_checks(const std::vector<Check>& table);

}  // namespace orvo_compiler::selfcheck
