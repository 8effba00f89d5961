// Bindings of memory.hpp: the tile SRAM planner, its arithmetic and the facts
// behind a piece that does not fit.
#include <cstdint>
#include <vector>

#include "bindings.hpp"
#include "orvo_compiler/memory.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

void bind_planner(py::module_& module) {
  module
      .def("lifetimes_overlap", &lifetimes_overlap, "a_start"_a, "a_end"_a, "b_start"_a, "b_end"_a,
           "Whether two inclusive phase intervals share an index.")
      .def("align_u32", &align_u32, "value"_a, "alignment"_a,
           "The smallest multiple of `alignment` not below `value`; 0 for alignment 0 or past 2^32 - 1.")
      .def(
          "plan_memory",
          [](const Graph& graph, const std::vector<Layout>& layouts, const std::vector<Phase>& phases,
             const py::object& options, const py::kwargs& fields) {
            return value_or_raise(
                plan_memory(graph, layouts, phases, compiler_options_from(options, fields, "plan_memory")));
          },
          "graph"_a, "layouts"_a, "phases"_a, "options"_a = py::none(),
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
         const py::object& options, const py::kwargs& fields) {
        return memory_failure(graph, layouts, phases, compiler_options_from(options, fields, "memory_failure"));
      },
      "graph"_a, "layouts"_a, "phases"_a, "options"_a = py::none(),
      "The facts behind the memory CompileError plan_memory raises for the same inputs; None when it "
      "succeeds or fails with a graph error.");
}

}  // namespace

void bind_memory(py::module_& module) {
  bind_planner(module);
  bind_memory_failure(module);
}

}  // namespace orvo_compiler::python
