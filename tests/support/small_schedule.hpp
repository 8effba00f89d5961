// A schedule small enough to check the pictures of by hand, shared by the
// tests of the memory map, the report and the trace.
#pragma once

#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler::test_support {

// x (input) + "w<1>&"q"" (weight) = y (the output). Tile 0 computes y at
// phase 0 with two commands and sends it to tile 1 at phase 1, getting half of
// x back; tile 2 holds nothing. Window 0x1000 to 0x2000.
struct Small {
  Graph graph;
  Schedule schedule;
  CompilerOptions options{3, 0x1000, 0x2000};
};

[[nodiscard]] Small small_schedule();

}  // namespace orvo_compiler::test_support
