// Builds a one-operation graph through the installed headers and library.
#include <orvo_compiler/orvo_compiler.hpp>

int main() {
  orvo_compiler::Graph graph;
  const auto x = graph.input("x", {2, 3});
  const auto y = graph.gelu("y", x);
  if (!y) {
    return 1;
  }
  graph.mark_output(*y);
  return graph.validate() ? 0 : 1;
}
