// Bindings of npy.hpp: numpy's .npy format as the library reads and writes
// it, with numpy arrays on the Python side.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <span>
#include <vector>

#include <pybind11/stl/filesystem.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "orvo_compiler/npy.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

py::array numpy_array(NpyArray array) {
  std::vector<py::ssize_t> shape = numpy_shape(array.shape);
  return owning_array<float>(std::move(array.values), std::move(shape));
}

// npy_bytes stops the process unless `values` holds the shape's element
// count exactly; refuse other counts first.
void require_shape_count(const Shape& shape, std::size_t count) {
  std::uint64_t product = 1;
  for (const std::uint64_t dimension : shape) {
    if (dimension != 0 && product > std::numeric_limits<std::uint64_t>::max() / dimension) {
      throw py::value_error("shape holds more elements than can be counted");
    }
    product *= dimension;
  }
  if (product != count) {
    throw py::value_error(fmt::format("values hold {} elements, the shape {}", count, product));
  }
}

}  // namespace

void bind_npy(py::module_& module) {
  module
      .def(
          "parse_npy",
          [](const py::buffer& bytes) {
            const py::buffer_info buffer = bytes.request();
            return numpy_array(value_or_raise(parse_npy(byte_view(buffer, "bytes"))));
          },
          "bytes"_a,
          "The float32 array in the bytes of a .npy file ('<f4', C order); CompileError starting 'npy: ' "
          "for anything else.")
      .def(
          "read_npy", [](const std::filesystem::path& path) { return numpy_array(value_or_raise(read_npy(path))); },
          "path"_a, "The float32 array in a .npy file; CompileError as parse_npy, or naming the path.")
      .def(
          "npy_bytes",
          [](const Shape& shape, const py::array& values) {
            const std::span<const float> elements = float_values(values, "values");
            require_shape_count(shape, elements.size());
            return wire_bytes(npy_bytes(shape, elements));
          },
          "shape"_a, "values"_a,
          "`values` (a float32 C-contiguous array of exactly the shape's element count) as a version 1.0 "
          ".npy file of `shape`.");
}

}  // namespace orvo_compiler::python
