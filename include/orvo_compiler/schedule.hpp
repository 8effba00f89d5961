// The compiler's vocabulary: the options that describe a target and the
// records of a compiled schedule. All are plain values that name tensors and
// operations by index only, so a schedule outlives the graph it came from.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include <fmt/ostream.h>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

// The target: tiles 0..tile_count-1, each with the data window
// [data_base, data_limit) of its SRAM. Valid when tile_count >= 1 and
// data_base < data_limit.
struct CompilerOptions {
  std::uint16_t tile_count = 64;
  std::uint32_t data_base = 0x52000;
  std::uint32_t data_limit = 0xE0000;

  friend bool operator==(const CompilerOptions&, const CompilerOptions&) = default;
};

enum class Sharding : std::uint8_t { Replicated, Rows, Columns, Heads };

// Placement of one tensor: every tile of `tiles` holds the same byte share.
struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 16;

  friend bool operator==(const Layout&, const Layout&) = default;
};

// One point-to-point copy of a tensor's per-tile share within an exchange.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;

  friend bool operator==(const Transfer&, const Transfer&) = default;
};

// The kernel variant one command needs.
struct SpecializationKey {
  std::string operation;
  Shape shape;
  std::uint8_t worker_count = 1;
  std::string role;
  std::uint32_t alignment = 16;

  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

// One kernel launch on one tile.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  std::vector<TensorId> inputs;
  SpecializationKey specialization;

  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

// Data movement between tiles: all transfers take place in one epoch.
struct Exchange {
  std::vector<Transfer> transfers;

  friend bool operator==(const Exchange&, const Exchange&) = default;
};

// One operation computed on every tile of its output layout.
struct Compute {
  OpId op;
  std::vector<KernelCommand> commands;

  friend bool operator==(const Compute&, const Compute&) = default;
};

using Phase = std::variant<Exchange, Compute>;

// One tensor piece in one tile's SRAM: bytes [address, address + size), live
// at the phases live_from..live_until inclusive.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

// One 32-byte command of a tile's stream. Word 0 is its kind; commands.hpp
// names the kinds and what each word carries.
struct EncodedTileCommand {
  std::array<std::uint32_t, 8> words{};

  // The wire form: word k at bytes 4k..4k+3, least significant byte first.
  [[nodiscard]] std::array<std::uint8_t, 32> to_le_bytes() const;

  friend bool operator==(const EncodedTileCommand&, const EncodedTileCommand&) = default;
};

// The result of a compilation. Phase indices (positions in `phases`) are the
// time axis of allocation lifetimes and of the encoded commands.
struct Schedule {
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  std::vector<Allocation> allocations;
  std::uint16_t tile_count = 0;
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  // The stream of one tile: its transfers and kernels in phase order, closed
  // by the end command (encoded as commands.hpp describes); fails with "tile {} is out of range" for a tile at or
  // past `tile_count`.
  [[nodiscard]] Result<std::vector<EncodedTileCommand>> tile_commands(std::uint16_t tile) const;

  // The streams of all tiles, indexed by tile (`tile_count` of them), built in
  // one pass over the phases; entry t equals `tile_commands(t)`. Transfers and
  // commands naming tiles at or past `tile_count` appear in no stream.
  [[nodiscard]] std::vector<std::vector<EncodedTileCommand>> all_tile_commands() const;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

// Debug renderings naming each type and its fields in declaration order, e.g.
// `Layout { tensor: TensorId(0), tiles: [0, 1], sharding: Rows, alignment: 16 }`.
std::ostream& operator<<(std::ostream& out, const CompilerOptions& options);
std::ostream& operator<<(std::ostream& out, Sharding sharding);
std::ostream& operator<<(std::ostream& out, const Layout& layout);
std::ostream& operator<<(std::ostream& out, const Transfer& transfer);
std::ostream& operator<<(std::ostream& out, const SpecializationKey& key);
std::ostream& operator<<(std::ostream& out, const KernelCommand& command);
std::ostream& operator<<(std::ostream& out, const Exchange& exchange);
std::ostream& operator<<(std::ostream& out, const Compute& compute);
std::ostream& operator<<(std::ostream& out, const Phase& phase);
std::ostream& operator<<(std::ostream& out, const Allocation& allocation);
std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command);
std::ostream& operator<<(std::ostream& out, const Schedule& schedule);

}  // namespace orvo_compiler

template <>
struct fmt::formatter<orvo_compiler::CompilerOptions> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Sharding> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Layout> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Transfer> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::SpecializationKey> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::KernelCommand> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Exchange> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Compute> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Phase> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Allocation> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::EncodedTileCommand> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::Schedule> : fmt::ostream_formatter {};
