// Bindings of onnx.hpp: import_onnx from a path or from the model's bytes,
// and the imported model, whose weights are numpy views onto its own values.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <pybind11/stl/filesystem.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "import_advice.hpp"
#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/session.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// The tensor's shape where it holds `count` elements, else flat.
std::vector<py::ssize_t> weight_shape(const Graph& graph, TensorId id, std::size_t count) {
  if (id.index < graph.tensors.size() && graph.tensors[id.index].elements() == count) {
    return numpy_shape(graph.tensors[id.index].shape);
  }
  return {static_cast<py::ssize_t>(count)};
}

// Read-only numpy views onto the model's weights (float32, int64 or bool by
// the weight's type), which the model object keeps alive; it never changes them.
py::dict weight_views(py::handle self) {
  const auto& model = self.cast<const ImportedModel&>();
  py::dict views;
  for (const auto& [id, data] : model.weights) {
    py::array view = std::visit(
        [&]<class T>(const std::vector<T>& values) -> py::array {
          py::array typed = py::array_t<T>(weight_shape(model.graph, id, values.size()), values.data(), self);
          if constexpr (std::is_same_v<T, std::uint8_t>) {
            return typed.attr("view")("bool").template cast<py::array>();
          } else {
            return typed;
          }
        },
        data);
    py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    views[py::cast(id)] = view;
  }
  return views;
}

ImportOptions import_options(std::map<std::string, std::uint64_t> dimensions, std::uint64_t max_elements) {
  ImportOptions options;
  options.dimensions = std::move(dimensions);
  options.max_elements = max_elements;
  return options;
}

constexpr const char* import_doc =
    "Imports an ONNX model: its graph, weights and opset. `dimensions` binds the model's symbolic "
    "dimensions to sizes. Raises CompileError (naming the model's own nodes and tensors) for a "
    "model it cannot read or map. `model` is a path, the model's bytes or an onnx.ModelProto; "
    "`max_elements` bounds one tensor's elements. Runs without the GIL.";

}  // namespace

void bind_onnx(py::module_& module) {
  py::class_<ImportedModel>(module, "ImportedModel", "A model imported from ONNX.")
      .def_property_readonly(
          "graph", [](const ImportedModel& self) -> const Graph& { return self.graph; }, py::return_value_policy::copy,
          "The model's graph (a copy, to extend or compile).")
      .def_property_readonly("weights", &weight_views,
                             "The initialisers' values by TensorId: read-only arrays of each tensor's shape "
                             "and type (float32, int64 or bool) over the model's own values.")
      .def_readonly("opset", &ImportedModel::opset, "The version of the default ONNX operator set the model imports.")
      .def_readonly("producer", &ImportedModel::producer, "The producer, as '<name> <version>'; may be empty.")
      .def_readonly("fused", &ImportedModel::fused,
                    "One line per subgraph fused into a single operation, in model order.")
      .def_property_readonly(
          "inputs", [](const ImportedModel& self) { return input_infos(self.graph); },
          "The model's inputs: TensorInfo records (name, shape, dtype), in model order.")
      .def_property_readonly(
          "outputs", [](const ImportedModel& self) { return output_infos(self.graph); },
          "The model's outputs: TensorInfo records (name, shape, dtype), in model order.")
      .def("__repr__", [](const ImportedModel& self) {
        return fmt::format("ImportedModel(opset={}, tensors={}, ops={}, weights={})", self.opset,
                           self.graph.tensors.size(), self.graph.ops.size(), self.weights.size());
      });
  module
      .def(
          "import_onnx",
          [](const py::buffer& model, std::map<std::string, std::uint64_t> dimensions, std::uint64_t max_elements) {
            const py::buffer_info bytes = model.request();
            const std::span<const std::uint8_t> view = byte_view(bytes, "model");
            const ImportOptions options = import_options(std::move(dimensions), max_elements);
            return value_or_raise(
                without_gil([&] { return with_dimension_advice(import_onnx(view, options), view, options); }));
          },
          "model"_a, "dimensions"_a = std::map<std::string, std::uint64_t>{},
          "max_elements"_a = ImportOptions{}.max_elements, import_doc)
      .def(
          "import_onnx",
          [](const std::filesystem::path& path, std::map<std::string, std::uint64_t> dimensions,
             std::uint64_t max_elements) {
            const ImportOptions options = import_options(std::move(dimensions), max_elements);
            return value_or_raise(
                without_gil([&] { return with_dimension_advice(import_onnx(path, options), path, options); }));
          },
          "path"_a, "dimensions"_a = std::map<std::string, std::uint64_t>{},
          "max_elements"_a = ImportOptions{}.max_elements, import_doc)
      .def(
          "import_onnx",
          [](const py::object& model, std::map<std::string, std::uint64_t> dimensions, std::uint64_t max_elements) {
            // A protobuf message such as onnx.ModelProto, serialised; its text
            // (weights included) never reaches an error message.
            if (!py::hasattr(model, "SerializeToString")) {
              throw py::type_error(fmt::format(
                  "import_onnx(): model must be a path, the model's bytes or an onnx.ModelProto, not {}",
                  py::str(py::type::of(model).attr("__name__")).cast<std::string>()));
            }
            const auto bytes = model.attr("SerializeToString")().cast<std::string>();
            const std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            const ImportOptions options = import_options(std::move(dimensions), max_elements);
            return value_or_raise(
                without_gil([&] { return with_dimension_advice(import_onnx(view, options), view, options); }));
          },
          "model"_a, "dimensions"_a = std::map<std::string, std::uint64_t>{},
          "max_elements"_a = ImportOptions{}.max_elements, import_doc);
}

}  // namespace orvo_compiler::python
