// The hand-made schedule of small_schedule.hpp.
#include "support/small_schedule.hpp"

namespace orvo_compiler::test_support {

Small small_schedule() {
  Small small;
  Graph& graph = small.graph;
  const TensorId x = graph.input("x", {256});
  const TensorId w = graph.weight(R"(w<1>&"q")", {256});
  const Result<TensorId> y = graph.add("y", x, w);
  graph.mark_output(*y);

  Schedule& schedule = small.schedule;
  schedule.tile_count = 3;
  schedule.layouts = {Layout{x, {0}, Sharding::Rows, 16}, Layout{w, {0}, Sharding::Rows, 16},
                      Layout{*y, {0}, Sharding::Rows, 16}};
  const SpecializationKey key{"add", {256}, 1, "tail", 16};
  schedule.phases = {Compute{OpId{0}, {KernelCommand{0, *y, {x, w}, key}, KernelCommand{0, *y, {w, x}, key}}},
                     Exchange{{Transfer{0, 1, *y, 1024}, Transfer{1, 0, x, 512}}}};
  schedule.allocations = {
      {x, 0, 0x1000, 1024, 0, 0},
      {w, 0, 0x1400, 1024, 0, 0},
      {*y, 0, 0x1800, 1024, 0, 2},
      {*y, 1, 0x1000, 1024, 1, 2},
  };
  schedule.peak_sram = {{0, 3072}, {1, 1024}};
  return small;
}

}  // namespace orvo_compiler::test_support
