// The extension module orvo_compiler._core, which the package orvo_compiler
// re-exports: the bindings of every public header, in dependency order.
#include <string>

#include "bindings.hpp"

namespace orvo_compiler::python {

std::string field_repr(py::handle self, const char* type_name, const std::vector<const char*>& fields) {
  std::string text = fmt::format("{}(", type_name);
  const char* separator = "";
  for (const char* field : fields) {
    text += fmt::format("{}{}={}", separator, field, py::repr(self.attr(field)).cast<std::string>());
    separator = ", ";
  }
  return text + ")";
}

}  // namespace orvo_compiler::python

PYBIND11_MODULE(_core, module) {
  using namespace orvo_compiler::python;
  module.doc() =
      "orvo_compiler: an ahead-of-time compiler for tile processors. Build a Graph, compile it\n"
      "with CompilerOptions into a Schedule, read its records, streams, analysis and pictures.";
  module.attr("__version__") = ORVO_VERSION;
  // Classes take their __module__ from the module's name while they are
  // defined: name them after the package that re-exports them.
  const py::object own_name = module.attr("__name__");
  module.attr("__name__") = "orvo_compiler";
  bind_error(module);
  bind_graph(module);
  bind_schedule(module);
  bind_commands(module);
  bind_compiler(module);
  bind_memory(module);
  bind_analysis(module);
  bind_encoder(module);
  bind_kernels(module);
  bind_evaluate(module);
  bind_prepared(module);
  bind_npy(module);
  bind_views(module);
#ifdef ORVO_PYTHON_JSON
  bind_schedule_json(module);
#endif
#ifdef ORVO_PYTHON_ONNX
  bind_onnx(module);
  bind_session(module);
#endif
  module.attr("__name__") = own_name;
}
