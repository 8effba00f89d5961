// Tensors found by name: the one tensor a name names, limited to a kind when
// asked, and the exact refusals for a name no tensor or several tensors bear.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "orvo_compiler/evaluate.hpp"

namespace orvo_compiler {
namespace {

TEST(TensorByName, FindsTheOneTensorOrSaysWhyNot) {
  // x and w are sources; "x1" starts with "x"; "twice" names two inputs; "x"
  // also names the output, so only the kind tells the two apart.
  Graph graph;
  const TensorId x = graph.input("x", {2});
  const TensorId w = graph.weight("w", {2});
  const Result<TensorId> x1 = graph.add("x1", x, w);
  ASSERT_TRUE(x1) << x1.error();
  graph.input("twice", {2});
  graph.input("twice", {2});
  const Result<TensorId> shadow = graph.add("x", *x1, w);
  ASSERT_TRUE(shadow) << shadow.error();
  graph.mark_output(*shadow);

  struct Case {
    const char* name;
    std::optional<TensorKind> kind;
    std::optional<TensorId> found;
    std::string error;
  };
  const Case cases[] = {
      {"w", std::nullopt, w, ""},
      {"x1", std::nullopt, *x1, ""},
      {"x", TensorKind::Input, x, ""},
      {"x", TensorKind::Output, *shadow, ""},
      {"x1", TensorKind::Intermediate, *x1, ""},
      {"twice", TensorKind::Input, std::nullopt, "2 input tensors are named 'twice': use a TensorId"},
      {"x", std::nullopt, std::nullopt, "2 tensors are named 'x': use a TensorId"},
      {"twice", std::nullopt, std::nullopt, "2 tensors are named 'twice': use a TensorId"},
      {"y", std::nullopt, std::nullopt, "no tensor is named 'y'"},
      {"", std::nullopt, std::nullopt, "no tensor is named ''"},
      {"X", std::nullopt, std::nullopt, "no tensor is named 'X'"},
      {"w", TensorKind::Input, std::nullopt, "no input tensor is named 'w'"},
      {"x", TensorKind::Weight, std::nullopt, "no weight tensor is named 'x'"},
      {"w", TensorKind::Intermediate, std::nullopt, "no intermediate tensor is named 'w'"},
      {"x1", TensorKind::Output, std::nullopt, "no output tensor is named 'x1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.name << "' of kind " << (c.kind ? static_cast<int>(*c.kind) : -1));
    const Result<TensorId> found = tensor_by_name(graph, c.name, c.kind);
    if (c.found) {
      ASSERT_TRUE(found) << found.error();
      EXPECT_EQ(*found, *c.found);
    } else {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error(), CompileError::graph(c.error));
    }
  }
}

}  // namespace
}  // namespace orvo_compiler
