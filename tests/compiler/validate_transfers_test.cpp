// The exchange epoch check: self-sends, empty transfers and repeated targets.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler {
namespace {

TEST(ValidateTransfers, FirstOffendingTransferDecides) {
  const std::string invalid = "invalid exchange transfer";
  const std::string repeated = "multiple sends target one tensor region in an epoch";
  struct Case {
    std::string name;
    std::vector<Transfer> transfers;
    std::string expected_error;  // empty: accepted
  };
  const Case cases[] = {
      {"empty epoch", {}, ""},
      {"one transfer", {{0, 1, TensorId{0}, 64}}, ""},
      {"self-send", {{3, 3, TensorId{0}, 64}}, invalid},
      {"empty self-send", {{3, 3, TensorId{0}, 0}}, invalid},
      {"zero bytes", {{0, 1, TensorId{0}, 0}}, invalid},
      {"same tensor to one tile from two tiles", {{0, 2, TensorId{4}, 8}, {1, 2, TensorId{4}, 8}}, repeated},
      {"same tensor sent twice by one tile", {{0, 2, TensorId{4}, 8}, {0, 2, TensorId{4}, 8}}, repeated},
      {"same tensor to two tiles", {{0, 2, TensorId{4}, 8}, {1, 5, TensorId{4}, 8}}, ""},
      {"two tensors to one tile", {{0, 2, TensorId{4}, 8}, {0, 2, TensorId{6}, 8}}, ""},
      {"same pair in a different direction", {{2, 0, TensorId{4}, 8}, {0, 2, TensorId{4}, 8}}, ""},
      {"repeat before a later self-send",
       {{0, 2, TensorId{4}, 8}, {1, 2, TensorId{4}, 8}, {7, 7, TensorId{1}, 8}},
       repeated},
      {"repeated target that is also a self-send", {{0, 2, TensorId{4}, 8}, {2, 2, TensorId{4}, 8}}, invalid},
      {"tiles past any tile count", {{60000, 65535, TensorId{9}, 1}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<void> result = validate_transfers(c.transfers);
    if (c.expected_error.empty()) {
      EXPECT_TRUE(result.has_value()) << result.error();
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), CompileError::graph(c.expected_error));
    }
  }
}

}  // namespace
}  // namespace orvo_compiler
