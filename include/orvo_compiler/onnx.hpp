// Import of ONNX models into the graph language. A library of its own
// (orvo_compiler::onnx), so that the core never depends on protobuf or ONNX.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

struct ImportOptions {
  // The value of each symbolic dimension the model's inputs name, such as
  // {"sequence", 128}; names the model does not use are ignored.
  std::map<std::string, std::uint64_t> dimensions;
  // The most elements one tensor of the imported graph may hold: a model
  // whose shapes (a Pad, Tile or Expand, say) ask for more fails to import.
  std::uint64_t max_elements = std::uint64_t{1} << 31;

  friend bool operator==(const ImportOptions&, const ImportOptions&) = default;
};

struct ImportedModel {
  // Inputs, weights and outputs carry the model's own names; each operation
  // is named after the ONNX value it computes, helpers it needs after that
  // value plus a suffix ("<value>/scaled"). An input of ONNX type FLOAT is
  // F32, BOOL is Bool, INT64 is I64 and so is INT32, widened: its values are
  // given as int64. Outputs may be of any of the three types.
  Graph graph;
  // The value of every weight tensor of `graph`, of the tensor's type: FLOAT
  // initializers and constants as F32, BOOL as Bool, integers as I64.
  TensorValues weights;
  // The version of the default ONNX operator set the model imports.
  std::int64_t opset = 0;
  // The producer, as "<name> <version>" (e.g. "pytorch 1.13.0"); may be empty.
  std::string producer;
  // One line per subgraph fused into a single operation, in model order,
  // e.g. "gelu (tanh) at /ff/Mul" or "batch normalization into conv at /conv1/Conv".
  std::vector<std::string> fused;

  friend bool operator==(const ImportedModel&, const ImportedModel&) = default;
};

// The graph and weights of a serialised ONNX model (default-domain opsets 7
// to 17, each operator at the opsets its forms handle), every dimension static once `options` binds the symbolic ones. Fails
// with a Graph error naming the model's own nodes and tensors when the bytes do
// not parse, the model is invalid, it uses what the importer does not map, or
// a tensor would hold more than `options.max_elements` elements.
[[nodiscard]] Result<ImportedModel> import_onnx(std::span<const std::uint8_t> bytes,
                                                const ImportOptions& options = {});
// The same for a model file; also fails when the file cannot be read.
[[nodiscard]] Result<ImportedModel> import_onnx(const std::filesystem::path& path,
                                                const ImportOptions& options = {});

// The symbolic dimensions the model's inputs name that `options` does not
// bind, each once, in the order the inputs name them. import_onnx fails for
// want of dimensions exactly when this is not empty, with an error naming
// them after ImportOptions::dimensions; front ends that take the values
// another way (`--dim NAME=N`, a `dimensions=` argument) word their own advice
// from this list. Fails as import_onnx does when the model does not parse.
[[nodiscard]] Result<std::vector<std::string>> unbound_dimensions(std::span<const std::uint8_t> bytes,
                                                                  const ImportOptions& options = {});
// The same for a model file; also fails when the file cannot be read.
[[nodiscard]] Result<std::vector<std::string>> unbound_dimensions(const std::filesystem::path& path,
                                                                  const ImportOptions& options = {});

}  // namespace orvo_compiler
