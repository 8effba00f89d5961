// Bindings of schedule_json.hpp: the JSON form of a schedule and its
// trace-event form, as strings that json.loads reads.
#include <string>

#include "bindings.hpp"
#include "orvo_compiler/schedule_json.hpp"

namespace orvo_compiler::python {

using namespace pybind11::literals;

void bind_schedule_json(py::module_& module) {
  module
      .def(
          "schedule_json",
          [](const Workload& workload, const py::object& options, const Graph& graph, const Schedule& schedule,
             int indent, const py::kwargs& fields) {
            return schedule_json(workload, compiler_options_from(options, fields, "schedule_json"), graph, schedule)
                .dump(indent);
          },
          "workload"_a, "options"_a, "graph"_a, "schedule"_a, "indent"_a = 2,
          "The whole schedule with its graph, options and statistics as JSON text (as `orvoc compile "
          "--json` writes it, without the final newline, for indent 2); -1 gives one line.")
      .def("trace_json", &trace_json, "graph"_a, "schedule"_a,
           "The schedule as a trace-event JSON document for timeline viewers.");
}

}  // namespace orvo_compiler::python
