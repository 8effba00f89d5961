// Bindings of kernels.hpp on numpy float32 arrays: inputs are read in place,
// results handed over without copies. The kernels' Result forms check the
// counts against the arrays; their refusals become ValueError with the
// library's message. Every kernel runs without the GIL.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

py::array matmul_binding(const py::array& left, const py::array& right, std::uint64_t rows, std::uint64_t inner,
                         std::uint64_t columns) {
  const std::span<const float> left_values = float_values(left, "left");
  const std::span<const float> right_values = float_values(right, "right");
  // Refused before the kernel allocates rows x columns floats.
  std::vector<py::ssize_t> shape = numpy_shape({rows, columns});
  std::vector<float> output = value_or_value_error(
      without_gil([&] { return try_matmul(left_values, right_values, rows, inner, columns); }));
  return owning_array<float>(std::move(output), std::move(shape));
}

py::array layer_norm_binding(const py::array& input, std::uint64_t rows, std::uint64_t columns, float epsilon) {
  const std::span<const float> values = float_values(input, "input");
  std::vector<float> output =
      value_or_value_error(without_gil([&] { return try_layer_norm(values, rows, columns, epsilon); }));
  return owning_array<float>(std::move(output), shape_of(input));
}

void softmax_rows_binding(py::array& values, std::uint64_t rows, std::uint64_t columns) {
  const std::span<float> elements = writable_float_values(values, "values");
  value_or_value_error(without_gil([&] { return try_softmax_rows(elements, rows, columns); }));
}

py::array gelu_array(const py::array& values) {
  const std::span<const float> elements = float_values(values, "values");
  std::vector<float> output = without_gil([&] {
    std::vector<float> results;
    results.reserve(elements.size());
    for (const float value : elements) {
      results.push_back(gelu(value));
    }
    return results;
  });
  return owning_array<float>(std::move(output), shape_of(values));
}

}  // namespace

void bind_kernels(py::module_& module) {
  module
      .def("matmul", &matmul_binding, "left"_a, "right"_a, "rows"_a, "inner"_a, "columns"_a,
           "rows x inner times inner x columns from float32 C-contiguous arrays (read flat, in C order); "
           "returns a (rows, columns) float32 array. Each sum runs from +0.0 in ascending k. ValueError "
           "when an array holds too few values.")
      .def("layer_norm", &layer_norm_binding, "input"_a, "rows"_a, "columns"_a, "epsilon"_a,
           "Each of `rows` rows of `columns` values normalised to zero mean and unit population variance; "
           "returns a float32 array shaped as `input`, positions past rows x columns +0.0.")
      .def("softmax_rows", &softmax_rows_binding, "values"_a, "rows"_a, "columns"_a,
           "Softmax of each row, in place on a writable float32 C-contiguous array; returns None.")
      .def("gelu", &gelu_array, "values"_a,
           "GELU (tanh form) of every element of a float32 C-contiguous array, as a new array of its shape.")
      .def(
          "gelu", [](float value) { return gelu(value); }, "value"_a,
          "GELU (tanh form) of one value, rounded to float32 first; returns a Python float.");
}

}  // namespace orvo_compiler::python
