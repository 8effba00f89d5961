// Bindings of compiler.hpp: the passes and the compile pipeline. compile runs
// without the GIL on its own copy of the graph, so threads compile in
// parallel and none can change a graph under another's compilation.
#include <cstdint>
#include <vector>

#include "bindings.hpp"
#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// The preconditions whose breach would stop the process, as Python errors.
void require_tiles(std::uint16_t tile_count) {
  if (tile_count == 0) {
    throw py::value_error("tile_count must be at least 1");
  }
}

void require_layout_tiles(const Layout& layout) {
  if (layout.tiles.empty()) {
    throw py::value_error("layout has no tiles");
  }
}

void bind_passes(py::module_& module) {
  module
      .def(
          "choose_layout",
          [](const Tensor& tensor, std::uint16_t tile_count) {
            require_tiles(tile_count);
            return choose_layout(tensor, tile_count);
          },
          "tensor"_a, "tile_count"_a,
          "Spreads a tensor over tiles 0..n-1, one tile per started KiB, at least 1 and at most "
          "tile_count (ValueError for 0).")
      .def(
          "local_bytes",
          [](const Tensor& tensor, const Layout& layout) {
            require_layout_tiles(layout);
            return local_bytes(tensor, layout);
          },
          "tensor"_a, "layout"_a,
          "The tensor's bytes divided by the layout's tile count, rounded up (ValueError for no tiles).")
      .def("worker_count", &worker_count, "tensor"_a, "Worker threads a kernel writing `tensor` uses.")
      .def(
          "operation_name", [](const OpKind& kind) { return std::string(operation_name(kind)); }, "kind"_a,
          "The operation's name as a specialization key carries it (\"matmul\", ...).")
      .def(
          "validate_transfers",
          [](const std::vector<Transfer>& transfers) { value_or_raise(validate_transfers(transfers)); }, "transfers"_a,
          "Checks one exchange epoch: no self-sends or empty transfers, at most one send to each "
          "(destination tile, tensor); raises CompileError otherwise.");
}

}  // namespace

void bind_compiler(py::module_& module) {
  bind_passes(module);
  module.def(
      "compile",
      [](const Graph& graph, const py::object& options, const py::kwargs& fields) {
        const CompilerOptions chosen = compiler_options_from(options, fields, "compile");
        const Graph own = graph;
        return value_or_raise(without_gil([&] { return compile(own, chosen); }));
      },
      "graph"_a, "options"_a = py::none(),
      "Validates the graph and options, lays out every tensor, emits the exchange and compute "
      "phases, plans SRAM and returns the Schedule; raises CompileError (kind 'graph' or "
      "'memory'). `options` (None: the defaults) or its fields as keywords: compile(graph, "
      "tile_count=1024). Runs without the GIL.");
}

}  // namespace orvo_compiler::python
