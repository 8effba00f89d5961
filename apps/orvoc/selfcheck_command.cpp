// `orvoc selfcheck`: the three self-checks of orvo-selfcheck, run through
// GoogleTest with the remaining arguments handed to it.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "checks.hpp"
#include "commands.hpp"

namespace orvo_compiler::orvoc {

int run_selfcheck(const std::vector<std::string>& arguments) {
  std::vector<std::string> storage{"orvoc selfcheck"};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  int argc = static_cast<int>(storage.size());
  ::testing::InitGoogleTest(&argc, argv.data());
  // GoogleTest removes the flags it knows; anything left is not one.
  if (argc > 1) {
    report_error(fmt::format("selfcheck: unknown argument '{}'", argv[1]));
    return exit_usage;
  }
  selfcheck::register_checks(selfcheck::checks());
  return RUN_ALL_TESTS() == 0 ? exit_success : exit_failure;
}

}  // namespace orvo_compiler::orvoc
