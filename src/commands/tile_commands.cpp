// Encoding of one tile's share of a schedule as a stream of eight-word
// commands: the transfers it sends or receives and the kernels it runs, in
// phase order, closed by the end command; for one tile, or for all at once.
#include <cstddef>
#include <variant>

#include <fmt/format.h>

#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint32_t exchange_command = 1;
constexpr std::uint32_t compute_command = 2;
constexpr std::uint32_t end_command = 0xFF;

// Ids and phase indices travel as their low 32 bits.
constexpr std::uint32_t low_word(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

EncodedTileCommand encode_transfer(std::uint64_t phase_index, const Transfer& transfer) {
  return EncodedTileCommand{{exchange_command, low_word(phase_index), transfer.source_tile,
                             transfer.destination_tile, low_word(transfer.tensor.index), transfer.bytes, 0, 0}};
}

// Words 5 to 7 hold the first three inputs; word 4 says how many inputs there
// are, so an input id of 0 is told apart from an unused word.
EncodedTileCommand encode_kernel(std::uint64_t phase_index, OpId op, const KernelCommand& command) {
  EncodedTileCommand encoded{{compute_command, low_word(phase_index), low_word(op.index),
                              low_word(command.output.index), low_word(command.inputs.size()), 0, 0, 0}};
  for (std::size_t input = 0; input < 3 && input < command.inputs.size(); ++input) {
    encoded.words[5 + input] = low_word(command.inputs[input].index);
  }
  return encoded;
}

struct TileEncoder {
  std::uint16_t tile;
  std::uint64_t phase_index;
  std::vector<EncodedTileCommand>& stream;

  void operator()(const Exchange& exchange) const {
    for (const Transfer& transfer : exchange.transfers) {
      if (transfer.source_tile == tile || transfer.destination_tile == tile) {
        stream.push_back(encode_transfer(phase_index, transfer));
      }
    }
  }
  void operator()(const Compute& compute) const {
    for (const KernelCommand& command : compute.commands) {
      if (command.tile == tile) {
        stream.push_back(encode_kernel(phase_index, compute.op, command));
      }
    }
  }
};

// Appends every command of a phase to the streams of the tiles it concerns;
// tiles without a stream are skipped.
struct AllTilesEncoder {
  std::uint64_t phase_index;
  std::vector<std::vector<EncodedTileCommand>>& streams;

  void append(std::uint16_t tile, const EncodedTileCommand& command) const {
    if (tile < streams.size()) {
      streams[tile].push_back(command);
    }
  }
  void operator()(const Exchange& exchange) const {
    for (const Transfer& transfer : exchange.transfers) {
      const EncodedTileCommand command = encode_transfer(phase_index, transfer);
      append(transfer.source_tile, command);
      if (transfer.destination_tile != transfer.source_tile) {
        append(transfer.destination_tile, command);
      }
    }
  }
  void operator()(const Compute& compute) const {
    for (const KernelCommand& command : compute.commands) {
      append(command.tile, encode_kernel(phase_index, compute.op, command));
    }
  }
};

// The most stream entries a phase can give: two per transfer, one per kernel.
struct CommandBound {
  std::size_t operator()(const Exchange& exchange) const { return 2 * exchange.transfers.size(); }
  std::size_t operator()(const Compute& compute) const { return compute.commands.size(); }
};

}  // namespace

Result<std::vector<EncodedTileCommand>> Schedule::tile_commands(std::uint16_t tile) const {
  if (tile >= tile_count) {
    return std::unexpected(CompileError::graph(fmt::format("tile {} is out of range", tile)));
  }
  std::vector<EncodedTileCommand> stream;
  for (std::uint64_t index = 0; index < phases.size(); ++index) {
    std::visit(TileEncoder{tile, index, stream}, phases[index]);
  }
  stream.push_back(EncodedTileCommand{{end_command, 0, 0, 0, 0, 0, 0, 0}});
  return stream;
}

std::vector<std::vector<EncodedTileCommand>> Schedule::all_tile_commands() const {
  std::vector<std::vector<EncodedTileCommand>> streams(tile_count);
  // Each stream starts with room for an even share of the commands, counted
  // from the list sizes alone, so that most streams never regrow; together
  // that is at most one command per transfer end and kernel.
  std::size_t commands = 0;
  for (const Phase& phase : phases) {
    commands += std::visit(CommandBound{}, phase);
  }
  for (std::vector<EncodedTileCommand>& stream : streams) {
    stream.reserve(commands / streams.size() + 1);
  }
  for (std::uint64_t index = 0; index < phases.size(); ++index) {
    std::visit(AllTilesEncoder{index, streams}, phases[index]);
  }
  for (std::vector<EncodedTileCommand>& stream : streams) {
    stream.push_back(EncodedTileCommand{{end_command, 0, 0, 0, 0, 0, 0, 0}});
  }
  return streams;
}

}  // namespace orvo_compiler
