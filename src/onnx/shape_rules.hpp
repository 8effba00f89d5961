// ONNX's shape rules that several operators or passes share, on int64 dims:
// folding applies them to constants, and to run-time values to learn every
// shape statically; mapping reads the same resolved parameters (slice ranges,
// permutations, split sizes) so both passes agree by construction.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "onnx/model.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

using Dims = std::vector<std::int64_t>;

// One input of a node: its dims, and its values when known at import time.
// An omitted optional input is absent. `dtype` is the element type a run-time
// value has in the graph (F32 for known values, whose ONNX type is in
// `constant`).
struct Operand {
  bool present = false;
  Dims dims;
  const Constant* constant = nullptr;
  DType dtype = DType::F32;
};

// The operand at `index`, or an absent one past the end.
const Operand& operand_at(std::span<const Operand> operands, std::size_t index);

// The integer values of input `index`, which must be known at import time;
// `role` names the input in errors ("shape", "axes").
[[nodiscard]] Result<std::vector<std::int64_t>> integer_input(const Node& node, std::span<const Operand> operands,
                                                              std::size_t index, std::string_view role);

// `axis` counted from the front, for negative ones from the back.
[[nodiscard]] Result<std::size_t> normalize_axis(const Node& node, std::int64_t axis, std::size_t rank);
// The node's "axis" attribute (`fallback` when absent), normalised.
[[nodiscard]] Result<std::size_t> axis_attribute(const Node& node, std::int64_t fallback, std::size_t rank);
// numpy's broadcast of two shapes.
[[nodiscard]] Result<Dims> broadcast_dims(const Node& node, const Dims& left, const Dims& right);
// A Reshape target resolved against the input: 0 copies the input's axis
// (unless `allow_zero`), one -1 takes the remaining count.
[[nodiscard]] Result<Dims> reshape_dims(const Node& node, const Dims& input, std::span<const std::int64_t> target,
                                        bool allow_zero);
// Transpose's permutation (the attribute, else the axes reversed).
[[nodiscard]] Result<std::vector<std::uint64_t>> transpose_permutation(const Node& node, std::size_t rank);
Dims permute(const Dims& dims, std::span<const std::uint64_t> permutation);

// Split's axis and piece sizes, one per output.
struct SplitPieces {
  std::size_t axis = 0;
  std::vector<std::int64_t> sizes;
};
[[nodiscard]] Result<SplitPieces> split_pieces(const Node& node, std::span<const Operand> operands);
[[nodiscard]] Result<Dims> unsqueeze_dims(const Node& node, std::span<const Operand> operands);
[[nodiscard]] Result<Dims> squeeze_dims(const Node& node, std::span<const Operand> operands);

// MatMul's numpy-style product shape (rank-1 operands promoted, batch axes
// broadcast).
[[nodiscard]] Result<Dims> matmul_dims(const Node& node, const Dims& left, const Dims& right);
// Gemm's attributes and its [M, N] output.
struct GemmForm {
  bool transpose_a = false;
  bool transpose_b = false;
  float alpha = 1.0F;
  float beta = 1.0F;
  Dims output;
};
[[nodiscard]] Result<GemmForm> gemm_form(const Node& node, std::span<const Operand> operands);
// Pow's exponent, which must be the constant 2 or 3.
[[nodiscard]] Result<int> pow_exponent(const Node& node, std::span<const Operand> operands);
// Whether ReduceMean keeps the reduced axis; fails unless it reduces exactly
// the last axis of a tensor of rank `rank`.
[[nodiscard]] Result<bool> reduce_mean_keeps_axis(const Node& node, std::size_t rank);

}  // namespace orvo_compiler::onnx_import
