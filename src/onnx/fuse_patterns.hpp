// The fourth pass of the importer: subgraphs that exporters write for one
// operation the graph language has are rewritten into that operation.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "onnx/fold_constants.hpp"

namespace orvo_compiler::onnx_import {

// Rewrites in `folded.nodes`:
// - the tanh form of GELU, x * 0.5 * (1 + tanh(sqrt(2/pi) * (x + 0.044715 * x^3))),
//   into one Gelu node: the products in any grouping and operand order, the
//   cube as Mul chains or Pow(x, 3), a division by a constant as a product,
//   each constant within a relative 1e-4 of its value;
// - layer normalisation as opsets 13 to 16 export it, ReduceMean -> Sub ->
//   Pow 2 (or Mul by itself) -> ReduceMean -> Add epsilon -> Sqrt -> Div, on
//   the last axis, into one LayerNorm node (a scale and bias after it stay as
//   their own Mul and Add);
// - BatchNormalization right after a Conv with known filters (and bias), whose
//   output nothing else reads, into that Conv with its filters and bias
//   scaled and shifted per output channel (worked in double, rounded once).
// A match is taken only when no value inside it is used outside it or is a
// graph output (`outputs`, resolved through aliases). The fused node keeps
// the output name of the pattern's last node and takes its place. Returns one
// line per fusion, in model order: "gelu (tanh) at <first node>",
// "layer norm at <first node>" or "batch normalization into conv at <conv>".
std::vector<std::string> fuse_patterns(Folded& folded, const std::set<std::string>& outputs);

}  // namespace orvo_compiler::onnx_import
