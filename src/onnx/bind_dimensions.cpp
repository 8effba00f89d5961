// Binding of symbolic dimensions: the caller names a value for each symbol;
// fixed dimensions are checked to be usable as they are.
#include "onnx/bind_dimensions.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace orvo_compiler::onnx_import {
namespace {

// Bound values stay far below 2^63 so that products of a few of them are
// still checked rather than wrapped.
constexpr std::uint64_t largest_dimension = std::uint64_t{1} << 32;

Result<std::uint64_t> bind_axis(const ValueInfo& input, const Dimension& dimension, std::size_t axis,
                                const std::map<std::string, std::uint64_t>& dimensions) {
  if (dimension.value) {
    if (*dimension.value < 1 || static_cast<std::uint64_t>(*dimension.value) > largest_dimension) {
      return std::unexpected(model_error(fmt::format("input {} has dimension {} at axis {}; dimensions must be 1 to {}",
                                                     input.name, *dimension.value, axis, largest_dimension)));
    }
    return static_cast<std::uint64_t>(*dimension.value);
  }
  if (dimension.symbol.empty()) {
    return std::unexpected(
        model_error(fmt::format("input {} has an unknown dimension at axis {} with no symbol to bind", input.name, axis)));
  }
  const auto bound = dimensions.find(dimension.symbol);
  if (bound->second < 1 || bound->second > largest_dimension) {
    return std::unexpected(model_error(fmt::format("dimension {} is bound to {}; dimensions must be 1 to {}",
                                                   dimension.symbol, bound->second, largest_dimension)));
  }
  return bound->second;
}

Result<BoundInput> bind_input(const ValueInfo& input, const std::map<std::string, std::uint64_t>& dimensions) {
  const bool accepted = input.data_type == float_type || input.data_type == int64_type ||
                        input.data_type == int32_type || input.data_type == bool_type;
  if (!accepted) {
    return std::unexpected(model_error(fmt::format("input {} has element type {}; only FLOAT, INT64, INT32 and BOOL "
                                                   "inputs are supported",
                                                   input.name, data_type_name(input.data_type))));
  }
  if (!input.shape) {
    return std::unexpected(model_error(fmt::format("input {} declares no shape", input.name)));
  }
  BoundInput bound{input.name, {}, graph_dtype(input.data_type).value_or(DType::F32)};
  if (input.shape->empty()) {
    // The graph holds a scalar in the importer's form of one, shape [1];
    // the fold pass still sees rank 0, so every shape rule reads it as the
    // model means it.
    bound.shape.push_back(1);
    bound.scalar = true;
    return bound;
  }
  for (std::size_t axis = 0; axis < input.shape->size(); ++axis) {
    Result<std::uint64_t> value = bind_axis(input, (*input.shape)[axis], axis, dimensions);
    if (!value) {
      return std::unexpected(value.error());
    }
    bound.shape.push_back(*value);
  }
  return bound;
}

// Where an unbound symbol first appears.
struct UnboundSymbol {
  std::string symbol;
  std::string input;
  std::size_t axis = 0;
};

std::vector<UnboundSymbol> find_unbound(std::span<const ValueInfo> inputs,
                                        const std::map<std::string, std::uint64_t>& dimensions) {
  std::vector<UnboundSymbol> unbound;
  for (const ValueInfo& input : inputs) {
    if (!input.shape) {
      continue;
    }
    for (std::size_t axis = 0; axis < input.shape->size(); ++axis) {
      const Dimension& dimension = (*input.shape)[axis];
      if (dimension.value || dimension.symbol.empty() || dimensions.contains(dimension.symbol) ||
          std::ranges::find(unbound, dimension.symbol, &UnboundSymbol::symbol) != unbound.end()) {
        continue;
      }
      unbound.push_back(UnboundSymbol{dimension.symbol, input.name, axis});
    }
  }
  return unbound;
}

// One symbol keeps the wording of a single input's axis; several are listed
// together, so that one run tells the caller every value to give.
CompileError unbound_error(const std::vector<UnboundSymbol>& unbound) {
  if (unbound.size() == 1) {
    return model_error(fmt::format("input {}: symbolic dimension {} (axis {}) is not bound; give it a value in "
                                   "ImportOptions::dimensions",
                                   unbound.front().input, unbound.front().symbol, unbound.front().axis));
  }
  std::vector<std::string> items;
  for (const UnboundSymbol& symbol : unbound) {
    items.push_back(fmt::format("{} (input {}, axis {})", symbol.symbol, symbol.input, symbol.axis));
  }
  return model_error(fmt::format("symbolic dimensions {} are not bound; give each a value in "
                                 "ImportOptions::dimensions",
                                 fmt::join(items, ", ")));
}

}  // namespace

std::vector<std::string> unbound_symbols(std::span<const ValueInfo> inputs,
                                         const std::map<std::string, std::uint64_t>& dimensions) {
  std::vector<std::string> symbols;
  for (UnboundSymbol& unbound : find_unbound(inputs, dimensions)) {
    symbols.push_back(std::move(unbound.symbol));
  }
  return symbols;
}

Result<std::vector<BoundInput>> bind_dimensions(std::span<const ValueInfo> inputs,
                                                const std::map<std::string, std::uint64_t>& dimensions) {
  if (const std::vector<UnboundSymbol> unbound = find_unbound(inputs, dimensions); !unbound.empty()) {
    return std::unexpected(unbound_error(unbound));
  }
  std::vector<BoundInput> bound;
  bound.reserve(inputs.size());
  for (const ValueInfo& input : inputs) {
    Result<BoundInput> shaped = bind_input(input, dimensions);
    if (!shaped) {
      return std::unexpected(shaped.error());
    }
    bound.push_back(std::move(*shaped));
  }
  return bound;
}

std::optional<std::vector<std::optional<std::uint64_t>>> declared_shape(
    const ValueInfo& output, const std::map<std::string, std::uint64_t>& dimensions) {
  if (!output.shape) {
    return std::nullopt;
  }
  std::vector<std::optional<std::uint64_t>> shape;
  for (const Dimension& dimension : *output.shape) {
    if (dimension.value) {
      shape.emplace_back(*dimension.value < 0 ? std::nullopt
                                              : std::optional<std::uint64_t>(static_cast<std::uint64_t>(*dimension.value)));
      continue;
    }
    const auto bound = dimensions.find(dimension.symbol);
    shape.push_back(bound == dimensions.end() ? std::nullopt : std::optional<std::uint64_t>(bound->second));
  }
  return shape;
}

}  // namespace orvo_compiler::onnx_import
