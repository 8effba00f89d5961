// Graph assembly around the mapping pass: inputs first, outputs named as the
// model names them, and the weights' values moved (not copied) into place.
#include "onnx/build_graph.hpp"

#include <algorithm>
#include <iterator>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "onnx/map_operators.hpp"

namespace orvo_compiler::onnx_import {
namespace {

// `[1, sequence, 32]`, `?` for an axis neither fixed nor named.
std::string declared_text(const ValueInfo& output) {
  std::vector<std::string> axes;
  for (const Dimension& dimension : *output.shape) {
    axes.push_back(dimension.value ? fmt::format("{}", *dimension.value)
                                   : (dimension.symbol.empty() ? std::string("?") : dimension.symbol));
  }
  return fmt::format("[{}]", fmt::join(axes, ", "));
}

Result<void> check_declared(const ValueInfo& output, const Tensor& tensor,
                            const std::map<std::string, std::uint64_t>& dimensions) {
  const Shape& shape = tensor.shape;
  if (output.data_type != 0 && graph_dtype(output.data_type) != tensor.dtype) {
    return std::unexpected(model_error(fmt::format("graph output {} is computed as {}, but the model declares it {}",
                                                   output.name, tensor.dtype, data_type_name(output.data_type))));
  }
  const auto declared = declared_shape(output, dimensions);
  if (!declared) {
    return {};
  }
  bool agrees = declared->size() == shape.size();
  for (std::size_t axis = 0; agrees && axis < shape.size(); ++axis) {
    agrees = !(*declared)[axis] || *(*declared)[axis] == shape[axis];
  }
  if (!agrees) {
    return std::unexpected(model_error(fmt::format("graph output {} has shape [{}], but the model declares {}",
                                                   output.name, fmt::join(shape, ", "), declared_text(output))));
  }
  return {};
}

// The tensor to mark as output `name`: `id` itself, renamed along with its
// operation when it is an intermediate value, else a copy named `name`. A
// graph input or weight is always copied: marking it would make it an output
// and leave the graph without that input, or a weight without its values.
Result<TensorId> named_output(Graph& graph, TensorId id, const std::string& name,
                              const std::set<std::string>& output_names) {
  Tensor& tensor = graph.tensors[id.index];
  if (tensor.name == name && tensor.kind != TensorKind::Input && tensor.kind != TensorKind::Weight) {
    return id;
  }
  if (tensor.kind == TensorKind::Intermediate && tensor.producer && !output_names.contains(tensor.name)) {
    tensor.name = name;
    graph.ops[tensor.producer->index].name = name;
    return id;
  }
  Shape shape = tensor.shape;
  return graph.reshape(name, id, std::move(shape));
}

Result<void> mark_outputs(const Folded& folded, Mapping& mapping, std::span<const ValueInfo> outputs,
                          const std::map<std::string, std::uint64_t>& dimensions) {
  std::set<std::string> output_names;
  for (const ValueInfo& output : outputs) {
    output_names.insert(output.name);
  }
  for (const ValueInfo& output : outputs) {
    const std::string& value = resolve_alias(folded, output.name);
    const auto found = mapping.tensors.find(value);
    if (found == mapping.tensors.end()) {
      return std::unexpected(model_error(fmt::format(
          "graph output {} is {}", output.name,
          folded.constants.contains(value) ? "a constant; outputs must be computed at run time"
                                           : "not computed by the importer")));
    }
    if (Result<void> checked = check_declared(output, mapping.graph.tensors[found->second.index], dimensions);
        !checked) {
      return checked;
    }
    Result<TensorId> id = named_output(mapping.graph, found->second, output.name, output_names);
    if (!id) {
      return std::unexpected(id.error());
    }
    mapping.graph.mark_output(*id);
  }
  return {};
}

// The values of a constant as its weight of type `dtype` holds them: the
// float or int64 list moved, booleans as bytes 0 and 1.
TensorData weight_values(Constant& constant, DType dtype) {
  switch (dtype) {
    case DType::F32:
      return std::move(constant.floats);
    case DType::I64:
      return std::move(constant.integers);
    case DType::Bool: {
      std::vector<std::uint8_t> bytes(constant.integers.size());
      std::ranges::transform(constant.integers, bytes.begin(),
                             [](std::int64_t value) { return static_cast<std::uint8_t>(value != 0); });
      return bytes;
    }
  }
  return std::move(constant.floats);
}

TensorValues take_weights(Folded& folded, Mapping& mapping) {
  TensorValues weights;
  for (const auto& [id, key] : mapping.weight_sources) {
    const auto derived = mapping.derived.find(key);
    Constant& source = derived != mapping.derived.end() ? derived->second : folded.constants.at(key);
    weights.emplace(id, weight_values(source, mapping.graph.tensors[id.index].dtype));
  }
  return weights;
}

}  // namespace

Result<ImportedModel> build_graph(Folded folded, std::span<const BoundInput> inputs, std::span<const ValueInfo> outputs,
                                  const std::map<std::string, std::uint64_t>& dimensions) {
  Mapping mapping;
  for (const BoundInput& input : inputs) {
    mapping.tensors.emplace(input.name, mapping.graph.input(input.name, input.shape, input.dtype));
  }
  // As in folding, a refused node's dependents are left out and the rest
  // mapped, so that the error names every independent refusal.
  std::set<std::string> refused;
  const auto refuse = [&refused](const Node& node) {
    std::ranges::copy_if(node.outputs, std::inserter(refused, refused.end()),
                         [](const std::string& output) { return !output.empty(); });
  };
  std::vector<CompileError> errors;
  for (const Node& node : folded.nodes) {
    if (std::ranges::any_of(node.inputs, [&refused](const std::string& input) { return refused.contains(input); })) {
      refuse(node);
      continue;
    }
    if (Result<void> mapped = map_node(folded, mapping, node); !mapped) {
      errors.push_back(mapped.error());
      refuse(node);
    }
  }
  if (!errors.empty()) {
    return std::unexpected(joined_errors(errors));
  }
  if (Result<void> marked = mark_outputs(folded, mapping, outputs, dimensions); !marked) {
    return std::unexpected(marked.error());
  }
  if (Result<void> valid = mapping.graph.validate(); !valid) {
    return std::unexpected(model_error(fmt::format("the imported graph is invalid: {}", valid.error().message)));
  }
  TensorValues weights = take_weights(folded, mapping);
  return ImportedModel{std::move(mapping.graph), std::move(weights), 0, {}, {}};
}

}  // namespace orvo_compiler::onnx_import
