// The planners' shared front end: input checks, tensor lifetimes, piece
// sizes and the planner's error values.
#include "memory/plan_memory_inputs.hpp"

#include <algorithm>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler::detail {
namespace {

std::unexpected<CompileError> invalid_input(std::string message) {
  return std::unexpected(CompileError::graph(std::move(message)));
}

bool names_tensor(const Graph& graph, TensorId id) { return id.index < graph.tensors.size(); }

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

}  // namespace

std::unexpected<CompileError> address_overflow() {
  return std::unexpected(CompileError::memory("address overflow"));
}

std::unexpected<CompileError> exceeds_data_limit(std::uint16_t tile, const std::string& tensor_name) {
  return std::unexpected(
      CompileError::memory(fmt::format("tile {} exceeds data limit allocating {}", tile, tensor_name)));
}

std::optional<std::uint32_t> checked_align(std::uint64_t value, std::uint32_t alignment) {
  // A value past 2^32 - 1 can only round higher; refusing it first also
  // keeps the rounding clear of 64-bit wrap-around.
  if (alignment == 0 || value > max_address) {
    return std::nullopt;
  }
  const std::uint64_t rounded = align_up(value, alignment);
  if (rounded > max_address) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(rounded);
}

std::unexpected<CompileError> memory_error(MemoryFailure::Cause cause, std::uint16_t tile,
                                          const std::string& tensor_name) {
  switch (cause) {
    case MemoryFailure::Cause::DataLimit:
      return exceeds_data_limit(tile, tensor_name);
    case MemoryFailure::Cause::AddressOverflow:
      return address_overflow();
  }
  return address_overflow();
}

std::expected<std::uint32_t, MemoryFailure::Cause> piece_bytes(const Tensor& tensor, const Layout& layout) {
  const std::uint64_t share = local_bytes(tensor, layout);
  if (share > max_address) {
    return std::unexpected(MemoryFailure::Cause::DataLimit);
  }
  const std::optional<std::uint32_t> size = checked_align(share, layout.alignment);
  if (!size) {
    return std::unexpected(MemoryFailure::Cause::AddressOverflow);
  }
  return *size;
}

Result<std::uint32_t> piece_size(const Tensor& tensor, const Layout& layout) {
  const std::expected<std::uint32_t, MemoryFailure::Cause> size = piece_bytes(tensor, layout);
  if (!size) {
    return memory_error(size.error(), layout.tiles.front(), tensor.name);
  }
  return *size;
}

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

}  // namespace orvo_compiler::detail
