// Bindings of prepared.hpp: a graph's evaluation planned once, run many times
// on dicts of numpy arrays as `evaluate` takes and returns them. A run
// converts the values with the GIL held and computes without it. The given
// values and the outputs are copied through lists the object keeps from run
// to run: lists allocated afresh on every call would be memory the C library
// may hand back to the system between calls, and touching it again costs a
// page fault per page (microseconds each on a virtual machine). Each run
// still returns arrays of its own.
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "bindings.hpp"
#include "orvo_compiler/prepared.hpp"
#include "tensor_values.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// The prepared evaluation, the graph its values are named in, and the lists
// runs copy their values and outputs through, which one run at a time uses.
struct PreparedBinding {
  PreparedBinding(Graph own, PreparedEvaluation made) : graph(std::move(own)), prepared(std::move(made)) {}

  Graph graph;
  PreparedEvaluation prepared;
  std::mutex run_mutex;
  TensorValues given;
  TensorValues outputs;
};

std::unique_ptr<PreparedBinding> make_prepared(const Graph& graph, std::optional<std::size_t> threads) {
  Graph own = graph;
  Result<PreparedEvaluation> prepared = without_gil(
      [&] { return PreparedEvaluation::make(own, threads.value_or(default_thread_count())); });
  return std::make_unique<PreparedBinding>(std::move(own), value_or_raise(std::move(prepared)));
}

}  // namespace

void bind_prepared(py::module_& module) {
  module.def("default_thread_count", &default_thread_count,
             "The threads a PreparedEvaluation uses unless told: the processor's hardware threads, at least 1.");
  py::class_<PreparedBinding>(module, "PreparedEvaluation",
                              "A graph's evaluation planned once (order, buffers, fused element-wise passes, the "
                              "split over its own threads): run() gives evaluate()'s outputs bit for bit on any "
                              "thread count.")
      .def(py::init(&make_prepared), "graph"_a, "threads"_a = py::none(),
           "Plans the evaluation of a copy of `graph` on `threads` threads (None: default_thread_count()). "
           "CompileError for the graphs evaluate() refuses and for a thread count outside 1 to 256.")
      .def(
          "bind",
          [](PreparedBinding& self, const py::dict& values) {
            TensorValues given = values_from(self.graph, values);
            value_or_raise(without_gil([&] { return self.prepared.bind(std::move(given)); }));
          },
          "values"_a,
          "Keeps `values` (typically model.weights) for every later run, in place of any kept before, so that "
          "run() need only name the rest; a run's own values override them. Each is checked as run() checks it.")
      .def(
          "run",
          [](PreparedBinding& self, const py::dict& values, std::string_view keys) {
            const Keys chosen = keys_from(keys);
            // Another thread's run may hold the kept lists: wait for it
            // without the GIL, which that run needs to finish.
            std::unique_lock lock(self.run_mutex, std::defer_lock);
            without_gil([&] { lock.lock(); });
            values_into(self.graph, values, self.given);
            value_or_raise(without_gil([&] { return self.prepared.run(self.given, self.outputs); }));
            // The arrays get copies: the kept lists serve the next run.
            return outputs_to_python(self.graph, TensorValues(self.outputs), chosen);
          },
          "values"_a, "keys"_a = "name",
          "The graph's outputs for `values`, exactly as evaluate(graph, values, keys) returns them, with its "
          "errors. Runs without the GIL; runs of one object wait for each other.")
      .def_property_readonly(
          "threads", [](const PreparedBinding& self) { return self.prepared.threads(); },
          "The threads runs use, the caller's included.")
      .def_property_readonly(
          "arena_bytes", [](const PreparedBinding& self) { return self.prepared.arena_bytes(); },
          "The bytes of the arena holding every intermediate value.")
      .def_property_readonly(
          "passes", [](const PreparedBinding& self) { return self.prepared.passes(); },
          "The passes a run makes: an operation, or a chain of fused element-wise ones.");
}

}  // namespace orvo_compiler::python
