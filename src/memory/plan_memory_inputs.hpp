// The front end every tile SRAM planner shares: the checks that a graph,
// its layouts and its phases fit together, the lifetime of each tensor over
// the phases, and the planner's own error values and rounding.
#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orvo_compiler/memory.hpp"

namespace orvo_compiler::detail {

inline constexpr std::uint64_t max_address = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] std::unexpected<CompileError> address_overflow();
[[nodiscard]] std::unexpected<CompileError> exceeds_data_limit(std::uint16_t tile, const std::string& tensor_name);
// The error of a failure's cause: the data-limit error naming `tile` and the
// tensor, or "address overflow".
[[nodiscard]] std::unexpected<CompileError> memory_error(MemoryFailure::Cause cause, std::uint16_t tile,
                                                         const std::string& tensor_name);

// `value` rounded up to a multiple of `alignment` (at least 1), in 64 bits:
// for values below 2^32 the result stays below 2^33. The one rounding of the
// planners; a power of two takes a mask instead of a division.
[[nodiscard]] inline std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
  if ((alignment & (alignment - 1)) == 0) {
    return (value + alignment - 1) & ~std::uint64_t{alignment - 1};
  }
  const std::uint64_t remainder = value % alignment;
  return remainder == 0 ? value : value + (alignment - remainder);
}

// `value` rounded up to a multiple of `alignment`; nothing for alignment 0 or
// a result past 2^32 - 1. The value may itself lie past 32 bits.
[[nodiscard]] std::optional<std::uint32_t> checked_align(std::uint64_t value, std::uint32_t alignment);

// The bytes one piece of `tensor` takes on each tile of `layout`: its share
// rounded up to the alignment. A share past 32 bits can never fit a tile's
// window and is refused as such (DataLimit) rather than cut down to its low
// bits; a rounding that fails is an AddressOverflow.
[[nodiscard]] std::expected<std::uint32_t, MemoryFailure::Cause> piece_bytes(const Tensor& tensor,
                                                                             const Layout& layout);

// piece_bytes with its failure as the planner reports it: "tile {} exceeds
// data limit allocating {}" naming the layout's first tile, or "address
// overflow".
[[nodiscard]] Result<std::uint32_t> piece_size(const Tensor& tensor, const Layout& layout);

// The first id or layout that does not fit the graph, as a Graph error, so
// that planning itself can index freely.
[[nodiscard]] Result<void> check_inputs(const Graph& graph, std::span<const Layout> layouts,
                                        std::span<const Phase> phases);

// Inclusive phase interval of every tensor, indexed by tensor id.
struct Lifetimes {
  std::vector<std::uint64_t> produced;
  std::vector<std::uint64_t> consumed;
};

// Lifetimes of inputs that passed check_inputs.
[[nodiscard]] Lifetimes tensor_lifetimes(const Graph& graph, std::span<const Phase> phases);

}  // namespace orvo_compiler::detail
