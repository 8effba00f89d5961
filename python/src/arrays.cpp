// Checks of the numpy arrays the bindings read and write in place.
#include "arrays.hpp"

#include <limits>
#include <string>

namespace orvo_compiler::python {
namespace {

// The array's buffer as floats, once its dtype and memory order are checked.
float* checked_data(const py::array& array, const char* argument) {
  if (!array.dtype().equal(py::dtype::of<float>())) {
    throw py::type_error(
        fmt::format("{} must be a numpy float32 array, not {}", argument, py::str(array.dtype()).cast<std::string>()));
  }
  constexpr int wanted = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  if ((array.flags() & wanted) != wanted) {
    throw py::value_error(fmt::format("{} must be C-contiguous and aligned (numpy.ascontiguousarray)", argument));
  }
  return static_cast<float*>(const_cast<void*>(array.data()));
}

}  // namespace

std::span<const float> float_values(const py::array& array, const char* argument) {
  const float* data = checked_data(array, argument);
  return {data, static_cast<std::size_t>(array.size())};
}

std::span<float> writable_float_values(py::array& array, const char* argument) {
  float* data = checked_data(array, argument);
  if (!array.writeable()) {
    throw py::value_error(fmt::format("{} must be writable", argument));
  }
  return {data, static_cast<std::size_t>(array.size())};
}

std::vector<py::ssize_t> shape_of(const py::array& array) { return {array.shape(), array.shape() + array.ndim()}; }

std::vector<py::ssize_t> numpy_shape(const Shape& shape) {
  std::vector<py::ssize_t> dimensions;
  dimensions.reserve(shape.size());
  for (const std::uint64_t dimension : shape) {
    if (dimension > static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
      throw py::value_error(fmt::format("dimension {} too large for numpy", dimension));
    }
    dimensions.push_back(static_cast<py::ssize_t>(dimension));
  }
  return dimensions;
}

std::span<const std::uint8_t> byte_view(const py::buffer_info& buffer, const char* argument) {
  if (PyBuffer_IsContiguous(buffer.view(), 'C') == 0) {
    throw py::value_error(fmt::format("{} must be contiguous bytes", argument));
  }
  return {static_cast<const std::uint8_t*>(buffer.ptr), static_cast<std::size_t>(buffer.size * buffer.itemsize)};
}

}  // namespace orvo_compiler::python
