// The tile SRAM planner in its straightforward form, kept beside the tests
// as the oracle that the fast planner must match allocation for allocation
// and error for error.
//
// Lifetimes run from the producing phase (0 for inputs and weights) to the
// last phase that reads the tensor, a graph output one index past the last
// phase. Placement, tensor by tensor in graph order and tile by tile in layout
// order: the candidate address starts at data_base; while a piece already on
// the tile overlaps the candidate both in lifetime and in bytes, the
// candidate moves to the end of that piece rounded up to the alignment, and
// the scan starts again from the first piece. Each tile's pieces are scanned
// linearly and rescanned after every bump, so the cost grows with the cube of
// the pieces on one tile in the worst case.
#include "plan_memory_oracle.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

namespace orvo_compiler::testing_oracle {
namespace {

constexpr std::uint64_t max_address = std::numeric_limits<std::uint32_t>::max();

std::unexpected<CompileError> address_overflow() {
  return std::unexpected(CompileError::memory("address overflow"));
}

std::unexpected<CompileError> exceeds_data_limit(std::uint16_t tile, const std::string& tensor_name) {
  return std::unexpected(
      CompileError::memory(fmt::format("tile {} exceeds data limit allocating {}", tile, tensor_name)));
}

std::unexpected<CompileError> invalid_input(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

// `value` rounded up to a multiple of `alignment`; nothing for alignment 0 or
// a result past 2^32 - 1. The value may itself lie past 32 bits.
std::optional<std::uint32_t> checked_align(std::uint64_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    return std::nullopt;
  }
  const std::uint64_t remainder = value % alignment;
  const std::uint64_t rounded = remainder == 0 ? value : value + (alignment - remainder);
  if (rounded > max_address) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(rounded);
}

bool names_tensor(const Graph& graph, TensorId id) { return id.index < graph.tensors.size(); }

// The first id or layout that does not fit the graph, as a Graph error, so
// that planning itself can index freely.
Result<void> check_inputs(const Graph& graph, std::span<const Layout> layouts, std::span<const Phase> phases) {
  for (const Tensor& tensor : graph.tensors) {
    if (!names_tensor(graph, tensor.id)) {
      return invalid_input(fmt::format("invalid tensor {}", tensor.name));
    }
    if (tensor.id.index >= layouts.size()) {
      return invalid_input(fmt::format("missing layout for tensor {}", tensor.name));
    }
    if (layouts[tensor.id.index].tiles.empty()) {
      return invalid_input(fmt::format("layout of tensor {} has no tiles", tensor.name));
    }
  }
  for (const Phase& phase : phases) {
    if (const auto* exchange = std::get_if<Exchange>(&phase)) {
      for (const Transfer& transfer : exchange->transfers) {
        if (!names_tensor(graph, transfer.tensor)) {
          return invalid_input(fmt::format("invalid tensor {}", transfer.tensor.index));
        }
      }
      continue;
    }
    const OpId op_id = std::get<Compute>(phase).op;
    if (op_id.index >= graph.ops.size()) {
      return invalid_input(fmt::format("invalid op {}", op_id.index));
    }
    const Op& op = graph.ops[op_id.index];
    if (!names_tensor(graph, op.output) ||
        !std::ranges::all_of(op.inputs, [&graph](TensorId input) { return names_tensor(graph, input); })) {
      return invalid_input(fmt::format("invalid op {}", op.name));
    }
  }
  for (const TensorId output : graph.outputs) {
    if (!names_tensor(graph, output)) {
      return invalid_input(fmt::format("invalid output {}", output.index));
    }
  }
  return {};
}

// Inclusive phase interval of every tensor, indexed by tensor id.
struct Lifetimes {
  std::vector<std::uint64_t> produced;
  std::vector<std::uint64_t> consumed;
};

struct LifetimeRecorder {
  const Graph& graph;
  Lifetimes& lifetimes;
  std::uint64_t phase_index;

  void read(TensorId tensor) const {
    std::uint64_t& consumed = lifetimes.consumed[tensor.index];
    consumed = std::max(consumed, phase_index);
  }
  void operator()(const Exchange& exchange) const {
    for (const Transfer& transfer : exchange.transfers) {
      read(transfer.tensor);
    }
  }
  void operator()(const Compute& compute) const {
    const Op& op = graph.ops[compute.op.index];
    lifetimes.produced[op.output.index] = phase_index;
    for (const TensorId input : op.inputs) {
      read(input);
    }
  }
};

Lifetimes tensor_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  Lifetimes lifetimes{std::vector<std::uint64_t>(graph.tensors.size(), 0),
                      std::vector<std::uint64_t>(graph.tensors.size(), 0)};
  for (std::uint64_t index = 0; index < phases.size(); ++index) {
    std::visit(LifetimeRecorder{graph, lifetimes, index}, phases[index]);
  }
  for (const TensorId output : graph.outputs) {
    lifetimes.consumed[output.index] = phases.size();
  }
  // A tensor written at phase p and never read afterwards still occupies its
  // bytes at p; without this its interval would run backwards.
  for (std::size_t tensor = 0; tensor < graph.tensors.size(); ++tensor) {
    lifetimes.consumed[tensor] = std::max(lifetimes.consumed[tensor], lifetimes.produced[tensor]);
  }
  return lifetimes;
}

// The lowest address, from data_base up through multiples of `alignment`, at
// which a piece of `size` bytes live over [live_from, live_until] clashes with
// no piece in `existing`. Fails when a candidate would end past 2^32 - 1.
Result<std::uint32_t> lowest_free_address(std::span<const Allocation> existing, std::uint64_t live_from,
                                          std::uint64_t live_until, std::uint32_t size, std::uint32_t alignment,
                                          std::uint32_t data_base) {
  std::uint64_t address = data_base;
  for (;;) {
    const std::uint64_t end = address + size;
    if (end > max_address) {
      return address_overflow();
    }
    const auto conflict = std::ranges::find_if(existing, [&](const Allocation& placed) {
      return lifetimes_overlap(live_from, live_until, placed.live_from, placed.live_until) &&
             address < std::uint64_t{placed.address} + placed.size && placed.address < end;
    });
    if (conflict == existing.end()) {
      return static_cast<std::uint32_t>(address);
    }
    const std::optional<std::uint32_t> bumped =
        checked_align(std::uint64_t{conflict->address} + conflict->size, alignment);
    if (!bumped) {
      return address_overflow();
    }
    address = *bumped;
  }
}

}  // namespace

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  if (const Result<void> checked = check_inputs(graph, layouts, phases); !checked) {
    return std::unexpected(checked.error());
  }
  const Lifetimes lifetimes = tensor_lifetimes(graph, phases);

  std::map<std::uint16_t, std::vector<Allocation>> by_tile;
  std::vector<Allocation> allocations;
  for (const Tensor& tensor : graph.tensors) {
    const std::uint64_t id = tensor.id.index;
    const Layout& layout = layouts[id];
    // A share past 32 bits can never fit a tile's window; it is refused as
    // such rather than cut down to its low bits.
    const std::uint64_t share = local_bytes(tensor, layout);
    if (share > max_address) {
      return exceeds_data_limit(layout.tiles.front(), tensor.name);
    }
    const std::optional<std::uint32_t> size = checked_align(share, layout.alignment);
    if (!size) {
      return address_overflow();
    }
    for (const std::uint16_t tile : layout.tiles) {
      std::vector<Allocation>& existing = by_tile[tile];
      const Result<std::uint32_t> address = lowest_free_address(
          existing, lifetimes.produced[id], lifetimes.consumed[id], *size, layout.alignment, options.data_base);
      if (!address) {
        return std::unexpected(address.error());
      }
      if (std::uint64_t{*address} + *size > options.data_limit) {
        return exceeds_data_limit(tile, tensor.name);
      }
      const Allocation allocation{tensor.id, tile, *address, *size, lifetimes.produced[id], lifetimes.consumed[id]};
      existing.push_back(allocation);
      allocations.push_back(allocation);
    }
  }
  return allocations;
}

}  // namespace orvo_compiler::testing_oracle
