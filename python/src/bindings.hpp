// What the binding files share: the entry point of each (one per public
// header), the passage of a library error into Python as CompileError, and
// the two renderings a bound type's repr uses.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "orvo_compiler/error.hpp"

namespace orvo_compiler::python {

namespace py = pybind11;

// A library error on its way out of a binding; the module's translator
// raises it as the Python exception CompileError.
struct RaisedCompileError {
  CompileError error;
};

template <class T>
T value_or_raise(Result<T> result) {
  if (!result) {
    throw RaisedCompileError{std::move(result.error())};
  }
  return std::move(*result);
}

inline void value_or_raise(const Result<void>& result) {
  if (!result) {
    throw RaisedCompileError{result.error()};
  }
}

// What `call` returns, computed without the GIL: `call` must touch no Python object.
template <class Call>
auto without_gil(Call&& call) {
  const py::gil_scoped_release release;
  return call();
}

// The library's debug rendering of a value (`TensorId(7)`, `Layout { ... }`).
template <class T>
std::string debug_text(const T& value) {
  return fmt::format("{}", value);
}

// Docstrings of constructors.
inline constexpr const char* record_init_doc =
    "The record from its fields as keywords; those left out take the C++ defaults.";
inline constexpr const char* plain_kind_doc = "The operation kind, which has no fields.";

// A read-write attribute for a record's field. Reading gives a copy (a record
// is a value, as in C++), so no Python object ever points into a record that
// a later assignment could change under it.
template <class Class, class Field>
void def_field(py::class_<Class>& type, const char* name, Field Class::*member, const char* doc) {
  type.def_property(
      name, [member](const Class& self) { return self.*member; },
      [member](Class& self, Field value) { self.*member = std::move(value); }, doc);
}

// An enum class whose repr is its Python spelling, `DType.F32`.
template <class Enum>
py::enum_<Enum> bind_enum(py::handle scope, const char* name, const char* doc) {
  py::enum_<Enum> type(scope, name, doc);
  // Replaces the generic repr py::enum_ defines (a further def would only add an overload behind it).
  type.attr("__repr__") = py::cpp_function(
      [name](py::handle self) { return fmt::format("{}.{}", name, py::str(self.attr("name")).cast<std::string>()); },
      py::name("__repr__"), py::is_method(type));
  return type;
}

// `Name(field=repr(value), ...)` for types the library does not render.
std::string field_repr(py::handle self, const char* type_name, const std::vector<const char*>& fields);

// The Python exception CompileError for a library error.
py::object compile_error_object(const CompileError& error);

// The library error a CompileError instance carries; TypeError for anything else.
CompileError compile_error_from(py::handle object);

void bind_error(py::module_& module);
void bind_graph(py::module_& module);
void bind_schedule(py::module_& module);
void bind_compiler(py::module_& module);
void bind_analysis(py::module_& module);
void bind_encoder(py::module_& module);
void bind_kernels(py::module_& module);
void bind_evaluate(py::module_& module);
void bind_views(py::module_& module);
void bind_schedule_json(py::module_& module);
void bind_timing(py::module_& module);

}  // namespace orvo_compiler::python

// CompileError crosses as the Python exception of the same name, both ways.
namespace pybind11::detail {
template <>
struct type_caster<orvo_compiler::CompileError> {
  PYBIND11_TYPE_CASTER(orvo_compiler::CompileError, const_name("CompileError"));

  bool load(handle source, bool /*convert*/);
  static handle cast(const orvo_compiler::CompileError& error, return_value_policy /*policy*/, handle /*parent*/) {
    return orvo_compiler::python::compile_error_object(error).release();
  }
};
}  // namespace pybind11::detail
