// Every operation kind's definition, and the calls that reach one through an
// OpKind: a kind of the variant without a complete OpDefinition fails to compile here.
#pragma once

#include <concepts>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "graph/op_definition.hpp"
#include "graph/ops_data_movement.hpp"
#include "graph/ops_elementwise.hpp"
#include "graph/ops_matmul.hpp"
#include "graph/ops_normalisation.hpp"
#include "graph/ops_reductions.hpp"
#include "graph/ops_vision.hpp"

namespace orvo_compiler::detail {

// Fields `First` and `Second` of `Kind` name the same member.
template <class Kind, std::size_t First, std::size_t Second>
consteval bool same_member() {
  constexpr auto fields = op_kind_fields<Kind>();
  if constexpr (std::is_same_v<decltype(std::get<First>(fields).member), decltype(std::get<Second>(fields).member)>) {
    return std::get<First>(fields).member == std::get<Second>(fields).member;
  } else {
    return false;
  }
}

template <class Kind, std::size_t First, std::size_t... Index>
consteval bool differs_from_later_fields(std::index_sequence<Index...> /*fields*/) {
  return (... && (Index <= First || !same_member<Kind, First, Index>()));
}

// No member is named by two fields of `Kind` (together with the count of
// fields, which the public header checks, every member is named once).
template <class Kind, std::size_t... Index>
consteval bool fields_name_distinct_members(std::index_sequence<Index...> /*fields*/) {
  return (... && differs_from_later_fields<Kind, Index>(std::index_sequence<Index...>{}));
}

template <class Kind>
concept DefinedOpKind =
    fields_name_distinct_members<Kind>(std::make_index_sequence<field_count<Kind>>{}) &&
    requires(const Kind& kind, const InputShapes& shapes, std::string_view name,
                                 KernelInputs& inputs) {
  { OpDefinition<Kind>::arity } -> std::convertible_to<std::size_t>;
  { OpDefinition<Kind>::output_shape(kind, shapes, name) } -> std::same_as<Result<Shape>>;
  { OpDefinition<Kind>::evaluate(kind, inputs) } -> std::convertible_to<Result<TensorData>>;
};

static_assert([]<class... Kinds>(std::type_identity<std::variant<Kinds...>>) {
  return (DefinedOpKind<Kinds> && ...);
}(std::type_identity<OpKind>{}), "every operation kind needs an OpDefinition (arity, output_shape and evaluate) and fields naming distinct members");

// The number of inputs an operation of `kind` takes (`variadic`: one or more).
inline std::size_t arity(const OpKind& kind) {
  return std::visit(
      []<class Kind>(const Kind& /*alternative*/) -> std::size_t { return OpDefinition<Kind>::arity; }, kind);
}

// Whether `count` inputs suit `kind`.
inline bool takes_inputs(const OpKind& kind, std::size_t count) {
  const std::size_t expected = arity(kind);
  return expected == variadic ? count >= 1 : count == expected;
}

// The element type of the output of `kind` for inputs of these types, or the
// error its builder gives.
inline Result<DType> output_dtype(const OpKind& kind, const InputTypes& types, std::string_view name) {
  return std::visit(
      [&]<class Kind>(const Kind& alternative) -> Result<DType> {
        if constexpr (requires { OpDefinition<Kind>::output_dtype(alternative, types, name); }) {
          return OpDefinition<Kind>::output_dtype(alternative, types, name);
        } else {
          return all_f32(Kind::info.operation, types, name);
        }
      },
      kind);
}

// The output shape of `kind` for inputs of these shapes (as many as its
// arity), or the error its builder gives.
inline Result<Shape> output_shape(const OpKind& kind, const InputShapes& inputs, std::string_view name) {
  return std::visit(
      [&]<class Kind>(const Kind& alternative) { return OpDefinition<Kind>::output_shape(alternative, inputs, name); },
      kind);
}

// The output values of `kind`, for inputs that obey its shape and type rules.
inline Result<TensorData> evaluate_kind(const OpKind& kind, KernelInputs& inputs) {
  return std::visit(
      [&]<class Kind>(const Kind& alternative) -> Result<TensorData> {
        return OpDefinition<Kind>::evaluate(alternative, inputs);
      },
      kind);
}

}  // namespace orvo_compiler::detail
