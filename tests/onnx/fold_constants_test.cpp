// The folding walk: what becomes a constant (Shape of a run-time value
// included), what an alias, which nodes stay, and every kept value's shape.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/fold_constants.hpp"

namespace orvo_compiler::onnx_import {
namespace {

Node node(const char* op_type, std::vector<std::string> inputs, std::string output,
          std::map<std::string, Attribute> attributes = {}) {
  return Node{"", op_type, "", std::move(inputs), {std::move(output)}, std::move(attributes)};
}

TEST(FoldConstants, FoldsAliasesAndKeeps) {
  const std::vector<Node> nodes = {
      node("Shape", {"x"}, "shape"),
      node("Constant", {}, "one", {{"value_int", std::int64_t{1}}}),
      node("Gather", {"shape", "one"}, "width"),
      node("Identity", {"x"}, "same"),
      node("Cast", {"same"}, "cast", {{"to", std::int64_t{1}}}),
      node("Tanh", {"cast"}, "t"),
      node("Constant", {}, "axes", {{"value_ints", std::vector<std::int64_t>{0}}}),
      node("Unsqueeze", {"t", "axes"}, "u"),
      node("Mul", {"w", "w"}, "w2"),
  };
  std::map<std::string, Constant> initializers;
  initializers.emplace("w", Constant{float_type, {2}, {3, 4}, {}});
  const std::vector<BoundInput> inputs{{"x", {2, 3}}};
  const Result<Folded> folded = fold_constants(initializers, nodes, inputs, 17);
  ASSERT_TRUE(folded) << folded.error();

  const std::map<std::string, Constant> constants = {
      {"axes", {int64_type, {1}, {}, {0}}}, {"one", {int64_type, {}, {}, {1}}},
      {"shape", {int64_type, {2}, {}, {2, 3}}}, {"w", {float_type, {2}, {3, 4}, {}}},
      {"w2", {float_type, {2}, {9, 16}, {}}},  {"width", {int64_type, {}, {}, {3}}},
  };
  EXPECT_EQ(folded->constants, constants);
  // A Cast of a run-time value stays: only mapping knows the value's element
  // type, and drops the Cast when it keeps that type.
  EXPECT_EQ(folded->aliases, (std::map<std::string, std::string>{{"same", "x"}}));
  EXPECT_EQ(folded->shapes, (std::map<std::string, Shape>{
                                {"cast", {2, 3}}, {"t", {2, 3}}, {"u", {1, 2, 3}}, {"x", {2, 3}}}));
  EXPECT_EQ(folded->nodes, (std::vector<Node>{node("Cast", {"x"}, "cast", {{"to", std::int64_t{1}}}),
                                              node("Tanh", {"cast"}, "t"), node("Unsqueeze", {"t", "axes"}, "u")}));
}

}  // namespace
}  // namespace orvo_compiler::onnx_import
