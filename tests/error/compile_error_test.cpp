// CompileError construction, equality and debug rendering.
#include <sstream>

#include <gtest/gtest.h>

#include "orvo_compiler/error.hpp"

namespace orvo_compiler {
namespace {

TEST(CompileError, NamedConstructorsSetTheVariant) {
  EXPECT_EQ(CompileError::graph("x").kind, CompileError::Kind::Graph);
  EXPECT_EQ(CompileError::memory("x").kind, CompileError::Kind::Memory);
  EXPECT_EQ(CompileError::graph("x").message, "x");
  EXPECT_NE(CompileError::graph("x"), CompileError::memory("x"));
  EXPECT_NE(CompileError::graph("x"), CompileError::graph("y"));
}

TEST(CompileError, RendersVariantAndQuotedMessage) {
  std::ostringstream out;
  out << CompileError::graph("graph has no outputs");
  EXPECT_EQ(out.str(), R"(Graph("graph has no outputs"))");
  EXPECT_EQ(fmt::format("{}", CompileError::memory("address overflow")), R"(Memory("address overflow"))");
}

}  // namespace
}  // namespace orvo_compiler
