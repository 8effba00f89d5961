// What the binding files share: the entry point of each (one per public
// header), the passage of a library error into Python as CompileError, the
// renderings a bound type's repr uses, and the shapes every record binding takes.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/schedule.hpp"

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

// A value, or its error's message as ValueError: for calls whose arguments
// were unacceptable values (a kernel's counts, a weight size), not a graph.
template <class T>
T value_or_value_error(Result<T> result) {
  if (!result) {
    throw py::value_error(result.error().message);
  }
  return std::move(*result);
}

inline void value_or_value_error(const Result<void>& result) {
  if (!result) {
    throw py::value_error(result.error().message);
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

// A record class the library does not render: each field added with `field`
// becomes an attribute (as def_field makes it) and a part of the repr
// `Name(field=repr(value), ...)`, in the order added; equality is the C++
// one where the record has one.
template <class Record>
class NamedRecord {
 public:
  NamedRecord(py::handle scope, const char* name, const char* doc)
      : type_(scope, name, doc), fields_(std::make_shared<std::vector<const char*>>()) {
    if constexpr (std::equality_comparable<Record>) {
      type_.def(py::self == py::self).def(py::self != py::self);
    }
    type_.def("__repr__", [name, fields = fields_](py::handle self) { return field_repr(self, name, *fields); });
  }

  template <class Field>
  NamedRecord& field(const char* name, Field Record::*member, const char* doc) {
    def_field(type_, name, member, doc);
    fields_->push_back(name);
    return *this;
  }

  py::class_<Record>& type() { return type_; }

 private:
  py::class_<Record> type_;
  std::shared_ptr<std::vector<const char*>> fields_;
};

// A value chosen by name from a string argument; ValueError naming the
// argument and the names it takes otherwise.
template <class Value>
Value choice(const char* argument, std::string_view name,
             std::initializer_list<std::pair<std::string_view, Value>> values) {
  std::string names;
  for (const auto& [known, value] : values) {
    if (known == name) {
      return value;
    }
    names += fmt::format("{}'{}'", names.empty() ? "" : " or ", known);
  }
  throw py::value_error(fmt::format("{} must be {}, not '{}'", argument, names, name));
}

// copy.copy and copy.deepcopy of a class whose C++ copy is already deep.
template <class Class>
void def_copies(py::class_<Class>& type, const char* doc) {
  type.def(
          "__copy__", [](const Class& self) { return self; }, doc)
      .def(
          "__deepcopy__", [](const Class& self, py::handle /*memo*/) { return self; }, py::arg("memo"), doc);
}

// The CompilerOptions a call means: `options` (None: the defaults) with each
// keyword argument naming one of its fields set in its place, so that
// `compile(graph, tile_count=1024)` reads as `compile(graph,
// CompilerOptions(tile_count=1024))`. TypeError naming `function` and the
// keywords it takes for any other keyword; a field's own TypeError for a
// value it cannot hold.
CompilerOptions compiler_options_from(py::handle options, const py::kwargs& fields, const char* function);

// A library byte vector as Python bytes.
py::bytes wire_bytes(const std::vector<std::uint8_t>& bytes);

// The Python exception CompileError for a library error.
py::object compile_error_object(const CompileError& error);

// The library error a CompileError instance carries; TypeError for anything else.
CompileError compile_error_from(py::handle object);

void bind_error(py::module_& module);
void bind_graph(py::module_& module);
void bind_schedule(py::module_& module);
void bind_compiler(py::module_& module);
void bind_memory(py::module_& module);
void bind_analysis(py::module_& module);
void bind_encoder(py::module_& module);
void bind_kernels(py::module_& module);
void bind_evaluate(py::module_& module);
void bind_prepared(py::module_& module);
void bind_views(py::module_& module);
void bind_session(py::module_& module);
void bind_schedule_json(py::module_& module);
void bind_onnx(py::module_& module);
void bind_commands(py::module_& module);
void bind_npy(py::module_& module);

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
