// CompileError in Python: one exception class for every library error, with
// the error's kind ("graph" or "memory") and its exact message text.
#include <string>
#include <string_view>

#include "bindings.hpp"

namespace orvo_compiler::python {
namespace {

// The exception class, made when the module loads and kept for the life of
// the process, as the interpreter keeps the module.
py::handle& compile_error_type() {
  static py::handle type;
  return type;
}

std::string_view kind_name(CompileError::Kind kind) {
  switch (kind) {
    case CompileError::Kind::Graph:
      return "graph";
    case CompileError::Kind::Memory:
      return "memory";
  }
  return "graph";
}

CompileError::Kind kind_from(std::string_view name) {
  return choice<CompileError::Kind>("kind", name,
                                    {{"graph", CompileError::Kind::Graph}, {"memory", CompileError::Kind::Memory}});
}

constexpr const char* class_doc =
    "The error of every failed library call: `kind` is 'graph' for unacceptable input (graph,\n"
    "options, exchange, tile, encoder configuration, values) and 'memory' when a tile's SRAM\n"
    "cannot hold its pieces; `message` is the library's exact text, and str(error) == message.";

// The class body: an __init__ taking the message and the kind. It must be in
// the body the class is made with (an __init__ set later is passed over when
// the class is called with positional arguments only, in CPython 3.11), and
// it is left unnamed (pybind11 takes a function named __init__ for a
// constructor of a class of its own).
py::dict class_body() {
  py::dict body;
  body["__init__"] = py::cpp_function(
      [](py::handle self, const std::string& message, const std::string& kind) {
        kind_from(kind);
        py::handle(PyExc_Exception).attr("__init__")(self, message);
        self.attr("kind") = kind;
        self.attr("message") = message;
      },
      py::is_method(py::none()), py::arg("message"), py::arg("kind") = "graph",
      "CompileError(message, kind='graph'): an error with the library's text and kind.");
  return body;
}

}  // namespace

py::object compile_error_object(const CompileError& error) {
  return compile_error_type()(error.message, kind_name(error.kind));
}

CompileError compile_error_from(py::handle object) {
  if (!py::isinstance(object, compile_error_type())) {
    throw py::type_error("expected a CompileError");
  }
  const auto kind = object.attr("kind").cast<std::string>();
  return CompileError{kind_from(kind), object.attr("message").cast<std::string>()};
}

void bind_error(py::module_& module) {
  const py::dict body = class_body();
  PyObject* type = PyErr_NewExceptionWithDoc("orvo_compiler.CompileError", class_doc, PyExc_Exception, body.ptr());
  if (type == nullptr) {
    throw py::error_already_set();
  }
  compile_error_type() = type;
  module.add_object("CompileError", py::handle(type));

  py::register_exception_translator([](std::exception_ptr pointer) {
    if (!pointer) {
      return;
    }
    try {
      std::rethrow_exception(pointer);
    } catch (const RaisedCompileError& raised) {
      const py::object instance = compile_error_object(raised.error);
      PyErr_SetObject(compile_error_type().ptr(), instance.ptr());
    }
  });
}

}  // namespace orvo_compiler::python

namespace pybind11::detail {

bool type_caster<orvo_compiler::CompileError>::load(handle source, bool /*convert*/) {
  if (!isinstance(source, orvo_compiler::python::compile_error_type())) {
    return false;
  }
  value = orvo_compiler::python::compile_error_from(source);
  return true;
}

}  // namespace pybind11::detail
