// The second pass of the importer: every graph input gets a static shape,
// each symbolic dimension taking the value the caller gives its name.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

struct BoundInput {
  std::string name;
  Shape shape;
  DType dtype = DType::F32;
  // A rank-0 input, whose `shape` is [1].
  bool scalar = false;

  friend bool operator==(const BoundInput&, const BoundInput&) = default;
};

// The inputs in model order with their shapes. Fails first, naming every one
// of them at once, when `dimensions` leaves symbols unbound (exactly when
// unbound_symbols is not empty); then, naming the input, for an element type
// other than FLOAT, INT64, INT32 (an I64 input) and BOOL, a missing shape, a dimension below 1 or an
// unknown dimension without a symbol. Values above 2^32 are refused as well.
[[nodiscard]] Result<std::vector<BoundInput>> bind_dimensions(std::span<const ValueInfo> inputs,
                                                              const std::map<std::string, std::uint64_t>& dimensions);

// The symbols of the inputs' shapes that `dimensions` does not bind, each
// once, in the order they first appear.
std::vector<std::string> unbound_symbols(std::span<const ValueInfo> inputs,
                                         const std::map<std::string, std::uint64_t>& dimensions);

// The shape a graph output declares once its symbols are bound: an axis is
// nothing when it is unknown or its symbol is not bound. Nothing at all when
// the output declares no shape.
std::optional<std::vector<std::optional<std::uint64_t>>> declared_shape(
    const ValueInfo& output, const std::map<std::string, std::uint64_t>& dimensions);

}  // namespace orvo_compiler::onnx_import
