// The numpy side of the bindings: float32 arrays read or written in place
// without copies, and vectors handed to numpy without copies.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "bindings.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::python {

// The elements of a numpy float32 array in C order, read in place. TypeError
// for another dtype (nothing is converted, so nothing is copied behind the
// caller's back), ValueError for an array that is not C-contiguous and
// aligned; `argument` names it in the message.
std::span<const float> float_values(const py::array& array, const char* argument);

// As float_values, for writing in place; ValueError for a read-only array.
std::span<float> writable_float_values(py::array& array, const char* argument);

// The array's shape as numpy reports it.
std::vector<py::ssize_t> shape_of(const py::array& array);

// A library shape as numpy's; ValueError for a dimension numpy cannot hold.
std::vector<py::ssize_t> numpy_shape(const Shape& shape);

// The bytes of a buffer (bytes, bytearray, memoryview, ...), read in place;
// ValueError unless they are contiguous. `buffer` must outlive the view.
std::span<const std::uint8_t> byte_view(const py::buffer_info& buffer, const char* argument);

// A numpy array of `Element`s over the storage of `values`, which it takes
// over (moved, not copied) and frees with the array. `Stored` is `Element`
// or a record of packed `Element`s, such as a command's eight words.
template <class Element, class Stored>
py::array owning_array(std::vector<Stored> values, std::vector<py::ssize_t> shape) {
  static_assert(sizeof(Stored) % sizeof(Element) == 0 && alignof(Stored) >= alignof(Element));
  auto owner = std::make_unique<std::vector<Stored>>(std::move(values));
  const auto* data = reinterpret_cast<const Element*>(owner->data());
  py::capsule capsule(owner.get(), [](void* pointer) { delete static_cast<std::vector<Stored>*>(pointer); });
  owner.release();
  return py::array_t<Element>(std::move(shape), data, capsule);
}

}  // namespace orvo_compiler::python
