// Every operation kind's definition, and the calls that reach one through an
// OpKind: a kind of the variant without a complete OpDefinition fails to compile here.
#pragma once

#include <concepts>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "graph/op_definition.hpp"
#include "graph/ops_data_movement.hpp"
#include "graph/ops_elementwise.hpp"
#include "graph/ops_matmul.hpp"
#include "graph/ops_normalisation.hpp"

namespace orvo_compiler::detail {

template <class Kind>
concept DefinedOpKind = requires(const Kind& kind, const InputShapes& shapes, std::string_view name,
                                 KernelInputs& inputs) {
  { OpDefinition<Kind>::arity } -> std::convertible_to<std::size_t>;
  { OpDefinition<Kind>::output_shape(kind, shapes, name) } -> std::same_as<Result<Shape>>;
  { OpDefinition<Kind>::evaluate(kind, inputs) } -> std::same_as<std::vector<float>>;
};

static_assert([]<class... Kinds>(std::type_identity<std::variant<Kinds...>>) {
  return (DefinedOpKind<Kinds> && ...);
}(std::type_identity<OpKind>{}), "every operation kind needs an OpDefinition: arity, output_shape and evaluate");

// The number of inputs an operation of `kind` takes.
inline std::size_t arity(const OpKind& kind) {
  return std::visit(
      []<class Kind>(const Kind& /*alternative*/) -> std::size_t { return OpDefinition<Kind>::arity; }, kind);
}

// The output shape of `kind` for inputs of these shapes (as many as its
// arity), or the error its builder gives.
inline Result<Shape> output_shape(const OpKind& kind, const InputShapes& inputs, std::string_view name) {
  return std::visit(
      [&]<class Kind>(const Kind& alternative) { return OpDefinition<Kind>::output_shape(alternative, inputs, name); },
      kind);
}

// The output values of `kind`, for inputs that obey its shape rule.
inline std::vector<float> evaluate_kind(const OpKind& kind, KernelInputs& inputs) {
  return std::visit(
      [&]<class Kind>(const Kind& alternative) { return OpDefinition<Kind>::evaluate(alternative, inputs); }, kind);
}

}  // namespace orvo_compiler::detail
