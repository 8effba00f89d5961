// The last pass of the importer: the graph with its inputs, one mapping per
// node left after folding and fusion, its outputs, and the weights' values.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "onnx/bind_dimensions.hpp"
#include "onnx/fold_constants.hpp"
#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler::onnx_import {

// Builds the graph: an input per bound input, in model order; the mapping of
// each node; each graph output marked, keeping its ONNX name (a value whose
// operation bears another name is renamed, or copied by a Reshape when it is
// an input or another output already); the weights' values moved out of
// `folded` (of each weight's type). Fails with every node whose mapping is
// refused, in model order and joined as joined_errors does (nodes that read a
// refused node's outputs left out); else when an output is a constant,
// disagrees with its declared element type or shape (`dimensions` binding its
// symbols), or the graph does not validate. Leaves `opset`, `producer` and `fused` empty.
[[nodiscard]] Result<ImportedModel> build_graph(Folded folded, std::span<const BoundInput> inputs,
                                                std::span<const ValueInfo> outputs,
                                                const std::map<std::string, std::uint64_t>& dimensions);

}  // namespace orvo_compiler::onnx_import
