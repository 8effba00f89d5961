// Values of tensors across the boundary, shared by the bindings of evaluate.hpp
// and prepared.hpp: dicts of numpy arrays keyed by TensorId or tensor name.
#pragma once

#include <cstdint>
#include <string_view>

#include "bindings.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::python {

// How a result's keys name the outputs.
enum class Keys : std::uint8_t { Name, Id };

// The choice `keys` names ("name" or "id"); ValueError otherwise.
Keys keys_from(std::string_view name);

// The values of a dict from TensorId or name to array, each of its tensor's
// element type; TypeError or ValueError naming the key otherwise.
TensorValues values_from(const Graph& graph, const py::dict& values);

// The same values written into `kept`, which afterwards holds exactly the
// dict's tensors: a float32 list already there keeps its storage, so a caller
// that passes the same `kept` on every call with values of the same sizes
// allocates nothing for them. Raises as values_from does; `kept` may then
// hold part of the new values.
void values_into(const Graph& graph, const py::dict& values, TensorValues& kept);

// Values as an array of `shape` and their element type (bool for Bool),
// owning the library's list.
py::array array_of(const Shape& shape, TensorData values);

// The outputs as arrays of their tensors' shapes, owning the library's lists.
py::dict outputs_to_python(const Graph& graph, TensorValues outputs, Keys keys);

}  // namespace orvo_compiler::python
