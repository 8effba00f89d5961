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
          "(destination tile, tensor); raises CompileError otherwise.")
      .def("lifetimes_overlap", &lifetimes_overlap, "a_start"_a, "a_end"_a, "b_start"_a, "b_end"_a,
           "Whether two inclusive phase intervals share an index.")
      .def("align_u32", &align_u32, "value"_a, "alignment"_a,
           "The smallest multiple of `alignment` not below `value`; 0 for alignment 0 or past 2^32 - 1.")
      .def(
          "plan_memory",
          [](const Graph& graph, const std::vector<Layout>& layouts, const std::vector<Phase>& phases,
             const CompilerOptions& options) { return value_or_raise(plan_memory(graph, layouts, phases, options)); },
          "graph"_a, "layouts"_a, "phases"_a, "options"_a,
          "Places every tensor piece on every tile at the lowest address free over its lifetime; "
          "CompileError (memory) when a piece does not fit.");
}

void bind_memory_failure(py::module_& module) {
  NamedRecord<MemoryFailure> failure(module, "MemoryFailure",
                                     "The piece plan_memory could not place: tile, tensor, lifetime and bytes.");
  bind_enum<MemoryFailure::Cause>(failure.type(), "Cause", "Why the piece did not fit.")
      .value("DataLimit", MemoryFailure::Cause::DataLimit)
      .value("AddressOverflow", MemoryFailure::Cause::AddressOverflow);
  failure.type().def(py::init([](MemoryFailure::Cause cause, std::uint16_t tile, TensorId tensor,
                                 std::uint64_t live_from, std::uint64_t live_until, std::uint64_t bytes) {
                       return MemoryFailure{cause, tile, tensor, live_from, live_until, bytes};
                     }),
                     "cause"_a = MemoryFailure::Cause::DataLimit, "tile"_a = 0, "tensor"_a = TensorId{},
                     "live_from"_a = 0, "live_until"_a = 0, "bytes"_a = 0, record_init_doc);
  failure.field("cause", &MemoryFailure::cause, "DataLimit or AddressOverflow.")
      .field("tile", &MemoryFailure::tile, "The tile being filled.")
      .field("tensor", &MemoryFailure::tensor, "The tensor being placed.")
      .field("live_from", &MemoryFailure::live_from, "The first phase of its lifetime.")
      .field("live_until", &MemoryFailure::live_until, "The last phase of its lifetime.")
      .field("bytes", &MemoryFailure::bytes, "The piece's bytes.");
  module.def(
      "memory_failure",
      [](const Graph& graph, const std::vector<Layout>& layouts, const std::vector<Phase>& phases,
         const CompilerOptions& options) { return memory_failure(graph, layouts, phases, options); },
      "graph"_a, "layouts"_a, "phases"_a, "options"_a,
      "The facts behind the memory CompileError plan_memory raises for the same inputs; None when it "
      "succeeds or fails with a graph error.");
}

}  // namespace

void bind_compiler(py::module_& module) {
  bind_passes(module);
  bind_memory_failure(module);
  module
      .def(
          "compile",
          [](const Graph& graph, const CompilerOptions& options) {
            const Graph own = graph;
            return value_or_raise(without_gil([&] { return compile(own, options); }));
          },
          "graph"_a, "options"_a = CompilerOptions{},
          "Validates the graph and options, lays out every tensor, emits the exchange and compute "
          "phases, plans SRAM and returns the Schedule; raises CompileError (kind 'graph' or "
          "'memory'). Runs without the GIL.")
      .def(
          "verify_schedule",
          [](const Graph& graph, const Schedule& schedule, const CompilerOptions& options) {
            value_or_raise(verify_schedule(graph, schedule, options));
          },
          "graph"_a, "schedule"_a, "options"_a,
          "Checks a schedule against the graph and target independently of the compiler; returns "
          "None, or raises CompileError naming the first broken invariant.");
}

}  // namespace orvo_compiler::python
