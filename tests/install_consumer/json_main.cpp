// Compiles a one-operation graph and renders its trace through the installed
// JSON component.
#include <orvo_compiler/orvo_compiler.hpp>
#include <orvo_compiler/schedule_json.hpp>

int main() {
  orvo_compiler::Graph graph;
  const auto x = graph.input("x", {2, 3});
  const auto y = graph.gelu("y", x);
  if (!y) {
    return 1;
  }
  graph.mark_output(*y);
  const auto schedule = orvo_compiler::compile(graph, orvo_compiler::CompilerOptions{.tile_count = 4});
  if (!schedule) {
    return 1;
  }
  return orvo_compiler::trace_json(graph, *schedule).empty() ? 1 : 0;
}
