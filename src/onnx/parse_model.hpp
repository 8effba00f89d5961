// The first pass of the importer: serialised bytes to the importer's own
// model records, with every check that needs no dimension values.
#pragma once

#include <cstdint>
#include <span>

#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"

namespace orvo_compiler::onnx_import {

// Parses `bytes` as an ONNX ModelProto and checks, in this order: the default
// domain's opset is 7 to 17; every tensor is readable (no external data, as
// many values as its dims need); every name is defined once and before its
// use; every operator is registered for the model's opset (one error listing
// all others) and given inputs and outputs it takes; the ONNX checker accepts
// the model. Initializer values are
// copied once, into the returned records, after every check has passed.
[[nodiscard]] Result<Model> parse_model(std::span<const std::uint8_t> bytes);

}  // namespace orvo_compiler::onnx_import
