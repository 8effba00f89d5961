// Tensors found by name, for the front-ends that take values keyed by the
// names a model gives its tensors (the command line's --input, Python's
// evaluate). A name is an answer only when exactly one tensor bears it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "orvo_compiler/evaluate.hpp"

namespace orvo_compiler {
namespace {

// "tensor", or "input tensor" and so on when the search is limited to a kind.
std::string tensor_word(std::optional<TensorKind> kind) {
  if (!kind) {
    return "tensor";
  }
  switch (*kind) {
    case TensorKind::Input:
      return "input tensor";
    case TensorKind::Weight:
      return "weight tensor";
    case TensorKind::Intermediate:
      return "intermediate tensor";
    case TensorKind::Output:
      return "output tensor";
  }
  return "tensor";
}

}  // namespace

Result<TensorId> tensor_by_name(const Graph& graph, std::string_view name, std::optional<TensorKind> kind) {
  std::optional<TensorId> found;
  std::uint64_t count = 0;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.name == name && (!kind || tensor.kind == *kind)) {
      if (!found) {
        found = tensor.id;
      }
      ++count;
    }
  }
  if (count == 0) {
    return std::unexpected(CompileError::graph(fmt::format("no {} is named '{}'", tensor_word(kind), name)));
  }
  if (count > 1) {
    return std::unexpected(
        CompileError::graph(fmt::format("{} {}s are named '{}': use a TensorId", count, tensor_word(kind), name)));
  }
  return *found;
}

}  // namespace orvo_compiler
