// Bindings of evaluate.hpp: values in and out as dicts of numpy arrays
// (float32, int64 and bool; int32 in is widened to int64), keyed by TensorId
// or by tensor name. evaluate runs without the GIL on its own copy of the
// graph.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <fmt/ranges.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "tensor_values.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/npy.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// The tensor a key names: a TensorId as it is (evaluate reports ids the
// graph does not hold), a name as `tensor_by_name` finds it.
TensorId tensor_of(const Graph& graph, py::handle key) {
  if (py::isinstance<TensorId>(key)) {
    return key.cast<TensorId>();
  }
  if (!py::isinstance<py::str>(key)) {
    throw py::type_error("value keys must be TensorId or str, not " +
                         py::str(py::type::of(key).attr("__name__")).cast<std::string>());
  }
  const Result<TensorId> named = tensor_by_name(graph, key.cast<std::string>());
  if (!named) {
    throw py::value_error(named.error().message);
  }
  return *named;
}

// The array's elements as T, read from its buffer as Wire.
template <class T, class Wire = T>
std::vector<T> elements_of(const py::array& array) {
  const auto* data = static_cast<const Wire*>(array.data());
  return std::vector<T>(data, data + array.size());
}

// The element type of `array` as the value of `tensor`: float32, int64,
// int32 (widened) or bool, of the tensor's own type when the graph holds it;
// TypeError naming the key, the array's dtype and the one expected otherwise,
// and ValueError for an array not C-contiguous and aligned.
DType value_type(const Graph& graph, TensorId tensor, py::handle key, const py::array& array) {
  std::optional<DType> dtype;
  if (array.dtype().equal(py::dtype::of<float>())) {
    dtype = DType::F32;
  } else if (array.dtype().equal(py::dtype::of<std::int64_t>()) || array.dtype().equal(py::dtype::of<std::int32_t>())) {
    dtype = DType::I64;
  } else if (array.dtype().equal(py::dtype::of<bool>())) {
    dtype = DType::Bool;
  }
  const bool known = tensor.index < graph.tensors.size();
  if (!dtype || (known && *dtype != graph.tensors[tensor.index].dtype)) {
    const std::string expected =
        known ? fmt::format("{}{}", numpy_name(graph.tensors[tensor.index].dtype),
                            graph.tensors[tensor.index].dtype == DType::I64 ? " (int32 is widened to int64)" : "")
              : std::string("float32, int64, int32 or bool");
    throw py::type_error(fmt::format("the value for {} has dtype {}; expected {}", py::repr(key).cast<std::string>(),
                                     py::str(array.dtype()).cast<std::string>(), expected));
  }
  // An array of several axes must have the tensor's shape: read flat, a
  // transposed or permuted array would give a wrong result silently. A flat
  // array is taken as the elements in C order.
  if (known && array.ndim() > 1) {
    const Shape& expected = graph.tensors[tensor.index].shape;
    bool same = static_cast<std::size_t>(array.ndim()) == expected.size();
    for (py::ssize_t axis = 0; same && axis < array.ndim(); ++axis) {
      same = static_cast<std::uint64_t>(array.shape(axis)) == expected[static_cast<std::size_t>(axis)];
    }
    if (!same) {
      throw py::value_error(fmt::format("the value for {} has shape {}; the tensor's shape is [{}] (or give its {} "
                                        "elements as a flat array)",
                                        py::repr(key).cast<std::string>(), py::str(array.attr("shape")).cast<std::string>(),
                                        fmt::join(expected, ", "), graph.tensors[tensor.index].elements()));
    }
  }
  constexpr int wanted = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  if ((array.flags() & wanted) != wanted) {
    throw py::value_error("a value must be C-contiguous and aligned (numpy.ascontiguousarray)");
  }
  return *dtype;
}

// The value of `tensor` from `array`, checked by value_type.
TensorData typed_value(const Graph& graph, TensorId tensor, py::handle key, const py::array& array) {
  switch (value_type(graph, tensor, key, array)) {
    case DType::F32: {
      const std::span<const float> elements = float_values(array, "a value");
      return std::vector<float>(elements.begin(), elements.end());
    }
    case DType::I64:
      return array.dtype().equal(py::dtype::of<std::int32_t>()) ? elements_of<std::int64_t, std::int32_t>(array)
                                                                 : elements_of<std::int64_t>(array);
    case DType::Bool:
      return elements_of<std::uint8_t>(array);
  }
  return {};
}

}  // namespace

Keys keys_from(std::string_view name) { return choice<Keys>("keys", name, {{"name", Keys::Name}, {"id", Keys::Id}}); }

TensorValues values_from(const Graph& graph, const py::dict& values) {
  TensorValues converted;
  for (const auto& [key, value] : values) {
    const TensorId tensor = tensor_of(graph, key);
    if (!py::isinstance<py::array>(value)) {
      throw py::type_error(fmt::format("the value for {} must be a numpy array (float32, int64, int32 or bool)",
                                       py::repr(key).cast<std::string>()));
    }
    if (!converted.emplace(tensor, typed_value(graph, tensor, key, value.cast<py::array>())).second) {
      throw py::value_error(fmt::format("two values given for {}", debug_text(tensor)));
    }
  }
  return converted;
}

void values_into(const Graph& graph, const py::dict& values, TensorValues& kept) {
  std::vector<TensorId> given;
  given.reserve(values.size());
  for (const auto& [key, value] : values) {
    const TensorId tensor = tensor_of(graph, key);
    if (!py::isinstance<py::array>(value)) {
      throw py::type_error(fmt::format("the value for {} must be a numpy array (float32, int64, int32 or bool)",
                                       py::repr(key).cast<std::string>()));
    }
    if (std::ranges::find(given, tensor) != given.end()) {
      throw py::value_error(fmt::format("two values given for {}", debug_text(tensor)));
    }
    given.push_back(tensor);
    const auto array = value.cast<py::array>();
    TensorData& target = kept[tensor];
    auto* const floats = std::get_if<std::vector<float>>(&target);
    if (value_type(graph, tensor, key, array) == DType::F32 && floats != nullptr) {
      // assign keeps the list's storage when it is large enough.
      const std::span<const float> elements = float_values(array, "a value");
      floats->assign(elements.begin(), elements.end());
    } else {
      target = typed_value(graph, tensor, key, array);
    }
  }
  std::erase_if(kept, [&](const auto& entry) { return std::ranges::find(given, entry.first) == given.end(); });
}

py::array array_of(const Shape& shape, TensorData values) {
  const auto dimensions = numpy_shape(shape);
  return std::visit(
      [&dimensions]<class T>(std::vector<T>& list) -> py::array {
        if constexpr (std::is_same_v<T, std::uint8_t>) {
          return owning_array<std::uint8_t>(std::move(list), dimensions)
              .attr("view")("bool")
              .template cast<py::array>();
        } else {
          return owning_array<T>(std::move(list), dimensions);
        }
      },
      values);
}

py::dict outputs_to_python(const Graph& graph, TensorValues outputs, Keys keys) {
  py::dict result;
  for (auto& [id, values] : outputs) {
    py::array array = array_of(graph.tensors[id.index].shape, std::move(values));
    switch (keys) {
      case Keys::Id:
        result[py::cast(id)] = array;
        break;
      case Keys::Name: {
        const py::str name(graph.tensors[id.index].name);
        if (result.contains(name)) {
          throw py::value_error(fmt::format("two outputs are named '{}': use keys='id'", std::string(name)));
        }
        result[name] = array;
        break;
      }
    }
  }
  return result;
}

void bind_evaluate(py::module_& module) {
  module.def(
      "evaluate",
      [](const Graph& graph, const py::dict& values, std::string_view keys) {
        const Keys chosen = keys_from(keys);
        const Graph own = graph;
        const TensorValues given = values_from(own, values);
        TensorValues outputs = value_or_raise(without_gil([&] { return evaluate(own, given); }));
        return outputs_to_python(own, std::move(outputs), chosen);
      },
      "graph"_a, "values"_a, "keys"_a = "name",
      "Computes the graph's outputs on the host, bit-reproducibly, from `values`: a dict from "
      "TensorId or tensor name (unique in the graph) to a C-contiguous array of the tensor's "
      "element count and type (float32, int64 (int32 is widened) or bool), for every input and "
      "weight; TypeError for an array of another dtype, ValueError for an array of several axes "
      "whose shape is not the tensor's (a flat array is read in C order). Returns each output as an array of its "
      "tensor's shape and type, keyed by name (keys='name') or TensorId (keys='id'). "
      "CompileError for the library's refusals. Runs without the GIL.");
}

}  // namespace orvo_compiler::python
