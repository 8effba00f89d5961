// ONNX's shape rules shared by the operators' registrations. Each rule
// checks its own inputs, so that a malformed model fails with a message
// naming the node rather than reaching the graph builder.
#include "onnx/shape_rules.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include <fmt/format.h>

namespace orvo_compiler::onnx_import {
namespace {

constexpr Operand absent_operand{};

// The values of an optional integer input; nothing when it is omitted.
Result<std::optional<std::vector<std::int64_t>>> optional_integers(const Node& node, std::span<const Operand> operands,
                                                                   std::size_t index, std::string_view role) {
  if (!operand_at(operands, index).present) {
    return std::optional<std::vector<std::int64_t>>{};
  }
  Result<std::vector<std::int64_t>> values = integer_input(node, operands, index, role);
  if (!values) {
    return std::unexpected(values.error());
  }
  return std::optional<std::vector<std::int64_t>>{std::move(*values)};
}

// Axes normalised against `rank`, each at most once.
Result<std::vector<std::size_t>> distinct_axes(const Node& node, std::span<const std::int64_t> axes, std::size_t rank) {
  std::vector<std::size_t> normalized;
  for (const std::int64_t axis : axes) {
    Result<std::size_t> one = normalize_axis(node, axis, rank);
    if (!one) {
      return std::unexpected(one.error());
    }
    if (std::ranges::find(normalized, *one) != normalized.end()) {
      return fail(node, fmt::format("axis {} is listed twice", axis));
    }
    normalized.push_back(*one);
  }
  return normalized;
}

}  // namespace

const Operand& operand_at(std::span<const Operand> operands, std::size_t index) {
  return index < operands.size() ? operands[index] : absent_operand;
}

Result<std::vector<std::int64_t>> integer_input(const Node& node, std::span<const Operand> operands, std::size_t index,
                                                std::string_view role) {
  const Operand& operand = operand_at(operands, index);
  if (!operand.present) {
    return fail(node, fmt::format("has no {} input", role));
  }
  if (operand.constant == nullptr) {
    return fail(node, fmt::format("{} input {} is computed at run time, but {} is accepted only when its {} input is "
                                  "known at import",
                                  role, input_name(node, index), node.op_type, role));
  }
  if (!operand.constant->is_integer()) {
    return fail(node, fmt::format("{} input {} has element type {} where integers are needed", role,
                                  input_name(node, index), data_type_name(operand.constant->data_type)));
  }
  return operand.constant->integers;
}

Result<std::size_t> normalize_axis(const Node& node, std::int64_t axis, std::size_t rank) {
  const auto signed_rank = static_cast<std::int64_t>(rank);
  if (axis < -signed_rank || axis >= signed_rank) {
    return fail(node, fmt::format("axis {} is out of range for rank {}", axis, rank));
  }
  return static_cast<std::size_t>(axis < 0 ? axis + signed_rank : axis);
}

Result<std::size_t> axis_attribute(const Node& node, std::int64_t fallback, std::size_t rank) {
  Result<std::int64_t> axis = int_attribute(node, "axis", fallback);
  if (!axis) {
    return std::unexpected(axis.error());
  }
  return normalize_axis(node, *axis, rank);
}

Result<Dims> broadcast_dims(const Node& node, const Dims& left, const Dims& right) {
  const std::size_t rank = std::max(left.size(), right.size());
  Dims result(rank, 1);
  for (std::size_t position = 0; position < rank; ++position) {
    const std::int64_t a = position < rank - left.size() ? 1 : left[position - (rank - left.size())];
    const std::int64_t b = position < rank - right.size() ? 1 : right[position - (rank - right.size())];
    if (a != b && a != 1 && b != 1) {
      return fail(node, fmt::format("shapes {} and {} do not broadcast", dims_text(left), dims_text(right)));
    }
    result[position] = a == 1 ? b : a;
  }
  return result;
}

Result<Dims> reshape_dims(const Node& node, const Dims& input, std::span<const std::int64_t> target,
                          bool allow_zero) {
  Dims output;
  std::optional<std::size_t> inferred;
  const std::string target_text = fmt::format("[{}]", fmt::join(target, ", "));
  for (std::size_t index = 0; index < target.size(); ++index) {
    const std::int64_t entry = target[index];
    if (entry == 0 && !allow_zero) {
      if (index >= input.size()) {
        return fail(node, fmt::format("target {} copies axis {}, which the input {} lacks", target_text, index,
                                      dims_text(input)));
      }
      output.push_back(input[index]);
    } else if (entry == -1) {
      if (inferred) {
        return fail(node, fmt::format("target {} has more than one -1", target_text));
      }
      inferred = index;
      output.push_back(1);
    } else if (entry < 0) {
      return fail(node, fmt::format("target {} has the negative entry {}", target_text, entry));
    } else {
      output.push_back(entry);
    }
  }
  const std::optional<std::uint64_t> total = element_count(input);
  const std::optional<std::uint64_t> known = element_count(output);
  if (total && known && inferred && *known != 0 && *total % *known == 0) {
    output[*inferred] = static_cast<std::int64_t>(*total / *known);
    return output;
  }
  if (total && known && !inferred && *total == *known) {
    return output;
  }
  return fail(node, fmt::format("cannot reshape {} to {}", dims_text(input), target_text));
}

Result<std::vector<std::uint64_t>> transpose_permutation(const Node& node, std::size_t rank) {
  Result<std::optional<std::vector<std::int64_t>>> perm = ints_attribute(node, "perm");
  if (!perm) {
    return std::unexpected(perm.error());
  }
  std::vector<std::uint64_t> permutation(rank);
  if (!*perm) {
    for (std::size_t axis = 0; axis < rank; ++axis) {
      permutation[axis] = rank - 1 - axis;
    }
    return permutation;
  }
  const std::set<std::int64_t> distinct((*perm)->begin(), (*perm)->end());
  const bool in_range = std::ranges::all_of(
      **perm, [rank](std::int64_t axis) { return axis >= 0 && static_cast<std::uint64_t>(axis) < rank; });
  if ((*perm)->size() != rank || distinct.size() != rank || !in_range) {
    return fail(node, fmt::format("perm {} is not a permutation of {} axes", dims_text(**perm), rank));
  }
  std::ranges::transform(**perm, permutation.begin(),
                         [](std::int64_t axis) { return static_cast<std::uint64_t>(axis); });
  return permutation;
}

Dims permute(const Dims& dims, std::span<const std::uint64_t> permutation) {
  Dims result;
  result.reserve(permutation.size());
  for (const std::uint64_t axis : permutation) {
    result.push_back(dims[axis]);
  }
  return result;
}

Result<SplitPieces> split_pieces(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::size_t> axis = axis_attribute(node, 0, input.size());
  if (!axis) {
    return std::unexpected(axis.error());
  }
  const std::size_t pieces = node.outputs.size();
  const std::int64_t size = input[*axis];
  Result<std::optional<std::vector<std::int64_t>>> split = optional_integers(node, operands, 1, "split");
  if (!split) {
    return std::unexpected(split.error());
  }
  if (!*split) {
    if (pieces == 0 || size % static_cast<std::int64_t>(pieces) != 0) {
      return fail(node, fmt::format("axis {} of size {} does not split into {} equal pieces", *axis, size, pieces));
    }
    return SplitPieces{*axis, std::vector<std::int64_t>(pieces, size / static_cast<std::int64_t>(pieces))};
  }
  std::int64_t total = 0;
  for (const std::int64_t piece : **split) {
    if (piece < 0 || piece > size - total) {
      return fail(node, fmt::format("split {} does not divide axis {} of size {}", dims_text(**split), *axis, size));
    }
    total += piece;
  }
  if ((*split)->size() != pieces || total != size) {
    return fail(node, fmt::format("split {} does not divide axis {} of size {} into {} outputs", dims_text(**split),
                                  *axis, size, pieces));
  }
  return SplitPieces{*axis, std::move(**split)};
}

Result<Dims> unsqueeze_dims(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::vector<std::int64_t>> axes = integer_input(node, operands, 1, "axes");
  if (!axes) {
    return std::unexpected(axes.error());
  }
  const std::size_t rank = input.size() + axes->size();
  Result<std::vector<std::size_t>> normalized = distinct_axes(node, *axes, rank);
  if (!normalized) {
    return std::unexpected(normalized.error());
  }
  Dims output;
  auto next = input.begin();
  for (std::size_t axis = 0; axis < rank; ++axis) {
    output.push_back(std::ranges::find(*normalized, axis) != normalized->end() ? 1 : *next++);
  }
  return output;
}

Result<Dims> squeeze_dims(const Node& node, std::span<const Operand> operands) {
  const Dims& input = operand_at(operands, 0).dims;
  Result<std::optional<std::vector<std::int64_t>>> axes = optional_integers(node, operands, 1, "axes");
  if (!axes) {
    return std::unexpected(axes.error());
  }
  std::vector<std::size_t> removed;
  if (*axes) {
    Result<std::vector<std::size_t>> normalized = distinct_axes(node, **axes, input.size());
    if (!normalized) {
      return std::unexpected(normalized.error());
    }
    removed = std::move(*normalized);
  } else {
    for (std::size_t axis = 0; axis < input.size(); ++axis) {
      if (input[axis] == 1) {
        removed.push_back(axis);
      }
    }
  }
  Dims output;
  for (std::size_t axis = 0; axis < input.size(); ++axis) {
    const bool drop = std::ranges::find(removed, axis) != removed.end();
    if (drop && input[axis] != 1) {
      return fail(node, fmt::format("axis {} has size {}, so it cannot be squeezed", axis, input[axis]));
    }
    if (!drop) {
      output.push_back(input[axis]);
    }
  }
  return output;
}

Result<Dims> matmul_dims(const Node& node, const Dims& left, const Dims& right) {
  if (left.empty() || right.empty()) {
    return fail(node, "operands of rank 0 have no product");
  }
  const Dims a = left.size() == 1 ? Dims{1, left[0]} : left;
  const Dims b = right.size() == 1 ? Dims{right[0], 1} : right;
  if (a[a.size() - 1] != b[b.size() - 2]) {
    return fail(node, fmt::format("inner dimensions differ: {} x {}", dims_text(left), dims_text(right)));
  }
  Result<Dims> batch = broadcast_dims(node, Dims(a.begin(), a.end() - 2), Dims(b.begin(), b.end() - 2));
  if (!batch) {
    return batch;
  }
  Dims output = std::move(*batch);
  if (left.size() > 1) {
    output.push_back(a[a.size() - 2]);
  }
  if (right.size() > 1) {
    output.push_back(b[b.size() - 1]);
  }
  return output;
}

Result<GemmForm> gemm_form(const Node& node, std::span<const Operand> operands) {
  Result<std::int64_t> transpose_a = int_attribute(node, "transA", 0);
  Result<std::int64_t> transpose_b = int_attribute(node, "transB", 0);
  Result<float> alpha = float_attribute(node, "alpha", 1.0F);
  Result<float> beta = float_attribute(node, "beta", 1.0F);
  if (!transpose_a || !transpose_b || !alpha || !beta) {
    return std::unexpected(!transpose_a   ? transpose_a.error()
                           : !transpose_b ? transpose_b.error()
                           : !alpha       ? alpha.error()
                                          : beta.error());
  }
  const Dims& a = operand_at(operands, 0).dims;
  const Dims& b = operand_at(operands, 1).dims;
  if (a.size() != 2 || b.size() != 2) {
    return fail(node, fmt::format("operands {} and {} are not both of rank 2", dims_text(a), dims_text(b)));
  }
  GemmForm form{*transpose_a != 0, *transpose_b != 0, *alpha, *beta, {}};
  const std::int64_t rows = form.transpose_a ? a[1] : a[0];
  const std::int64_t inner_a = form.transpose_a ? a[0] : a[1];
  const std::int64_t inner_b = form.transpose_b ? b[1] : b[0];
  const std::int64_t columns = form.transpose_b ? b[0] : b[1];
  if (inner_a != inner_b) {
    return fail(node, fmt::format("inner dimensions differ: {} x {} (transA {}, transB {})", dims_text(a), dims_text(b),
                                  *transpose_a, *transpose_b));
  }
  form.output = {rows, columns};
  const Operand& bias = operand_at(operands, 2);
  if (bias.present) {
    Result<Dims> joined = broadcast_dims(node, form.output, bias.dims);
    if (!joined) {
      return std::unexpected(joined.error());
    }
    if (*joined != form.output) {
      return fail(node, fmt::format("C {} does not broadcast to {}", dims_text(bias.dims), dims_text(form.output)));
    }
  }
  return form;
}

Result<int> pow_exponent(const Node& node, std::span<const Operand> operands) {
  const Operand& exponent = operand_at(operands, 1);
  if (exponent.constant == nullptr || !exponent.constant->is_float() || exponent.constant->floats.size() != 1) {
    return fail(node, "the exponent must be a single float known when importing");
  }
  const float value = exponent.constant->floats[0];
  if (value != 2.0F && value != 3.0F) {
    return fail(node, fmt::format("exponent {} is not supported; only 2 and 3 are", value));
  }
  return static_cast<int>(value);
}

Result<bool> reduce_mean_keeps_axis(const Node& node, std::size_t rank) {
  Result<std::optional<std::vector<std::int64_t>>> axes = ints_attribute(node, "axes");
  Result<std::int64_t> keep = int_attribute(node, "keepdims", 1);
  if (!axes || !keep) {
    return std::unexpected(!axes ? axes.error() : keep.error());
  }
  std::vector<std::size_t> reduced;
  if (*axes) {
    Result<std::vector<std::size_t>> normalized = distinct_axes(node, **axes, rank);
    if (!normalized) {
      return std::unexpected(normalized.error());
    }
    reduced = std::move(*normalized);
  } else {
    for (std::size_t axis = 0; axis < rank; ++axis) {
      reduced.push_back(axis);
    }
  }
  if (rank == 0 || reduced != std::vector<std::size_t>{rank - 1}) {
    return fail(node, fmt::format("reduces axes {} of a rank-{} tensor; only the last axis is supported",
                                  *axes ? dims_text(**axes) : std::string("(all)"), rank));
  }
  return *keep != 0;
}

}  // namespace orvo_compiler::onnx_import
