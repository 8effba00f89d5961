// Encoding of each tile's share of a schedule as a stream of eight-word
// commands: the transfers it sends or receives and the kernels it runs, in
// phase order, closed by the end command. One walk over the phases serves both
// one tile's stream and all tiles' streams at once.
#include <cstddef>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "orvo_compiler/commands.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint32_t code(CommandKind kind) { return std::to_underlying(kind); }

// Ids and phase indices travel as their low 32 bits.
constexpr std::uint32_t low_word(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

EncodedTileCommand encode_transfer(std::uint64_t phase_index, const Transfer& transfer) {
  EncodedTileCommand encoded;
  encoded.words[command_word::kind] = code(CommandKind::Exchange);
  encoded.words[command_word::phase] = low_word(phase_index);
  encoded.words[command_word::source_tile] = transfer.source_tile;
  encoded.words[command_word::destination_tile] = transfer.destination_tile;
  encoded.words[command_word::tensor] = low_word(transfer.tensor.index);
  encoded.words[command_word::bytes] = transfer.bytes;
  return encoded;
}

// Inputs past the last word are counted but not encoded.
EncodedTileCommand encode_kernel(std::uint64_t phase_index, OpId op, const KernelCommand& command) {
  EncodedTileCommand encoded;
  encoded.words[command_word::kind] = code(CommandKind::Compute);
  encoded.words[command_word::phase] = low_word(phase_index);
  encoded.words[command_word::op] = low_word(op.index);
  encoded.words[command_word::output] = low_word(command.output.index);
  encoded.words[command_word::input_count] = low_word(command.inputs.size());
  std::size_t word = command_word::first_input;
  for (auto input = command.inputs.begin(); input != command.inputs.end() && word < encoded.words.size(); ++input) {
    encoded.words[word++] = low_word(input->index);
  }
  return encoded;
}

EncodedTileCommand end_command() {
  EncodedTileCommand encoded;
  encoded.words[command_word::kind] = code(CommandKind::End);
  return encoded;
}

// The walk over one phase that decides which tile gets which command.
// `Streams` names the tiles it collects (`wants`) and takes each command for
// one of them (`take`). A command is encoded only when a wanted tile gets it;
// a transfer goes to its sender and to its receiver, once when they are the
// same tile.
template <class Streams>
struct PhaseEncoder {
  std::uint64_t phase_index;
  Streams& streams;

  void operator()(const Exchange& exchange) const {
    for (const Transfer& transfer : exchange.transfers) {
      // Most transfers concern neither end of a single tile's stream: two
      // comparisons decide that.
      if (!streams.wants(transfer.source_tile) && !streams.wants(transfer.destination_tile)) {
        continue;
      }
      const EncodedTileCommand command = encode_transfer(phase_index, transfer);
      if (streams.wants(transfer.source_tile)) {
        streams.take(transfer.source_tile, command);
      }
      if (transfer.destination_tile != transfer.source_tile && streams.wants(transfer.destination_tile)) {
        streams.take(transfer.destination_tile, command);
      }
    }
  }
  void operator()(const Compute& compute) const {
    for (const KernelCommand& command : compute.commands) {
      if (streams.wants(command.tile)) {
        streams.take(command.tile, encode_kernel(phase_index, compute.op, command));
      }
    }
  }
};

// Hands every command of every phase, in stream order, to `streams`.
template <class Streams>
void encode_phases(const std::vector<Phase>& phases, Streams& streams) {
  for (std::uint64_t index = 0; index < phases.size(); ++index) {
    std::visit(PhaseEncoder<Streams>{index, streams}, phases[index]);
  }
}

// The stream of one tile.
struct OneStream {
  std::uint16_t tile;
  std::vector<EncodedTileCommand> commands;

  [[nodiscard]] bool wants(std::uint16_t candidate) const { return candidate == tile; }
  void take(std::uint16_t /*tile*/, const EncodedTileCommand& command) { commands.push_back(command); }
};

// The streams of tiles 0 to size - 1; commands for later tiles are dropped.
struct AllStreams {
  std::vector<std::vector<EncodedTileCommand>> streams;

  [[nodiscard]] bool wants(std::uint16_t tile) const { return tile < streams.size(); }
  void take(std::uint16_t tile, const EncodedTileCommand& command) { streams[tile].push_back(command); }
};

// The most stream entries a phase can give: two per transfer, one per kernel.
struct CommandBound {
  std::size_t operator()(const Exchange& exchange) const { return 2 * exchange.transfers.size(); }
  std::size_t operator()(const Compute& compute) const { return compute.commands.size(); }
};

}  // namespace

Result<std::vector<EncodedTileCommand>> encode_tile_stream(const Schedule& schedule, std::uint16_t tile) {
  if (tile >= schedule.tile_count) {
    return std::unexpected(CompileError::graph(fmt::format("tile {} is out of range", tile)));
  }
  OneStream stream{tile, {}};
  encode_phases(schedule.phases, stream);
  stream.commands.push_back(end_command());
  return std::move(stream.commands);
}

std::vector<std::vector<EncodedTileCommand>> encode_tile_streams(const Schedule& schedule) {
  AllStreams all{std::vector<std::vector<EncodedTileCommand>>(schedule.tile_count)};
  // Each stream starts with room for an even share of the commands, counted
  // from the list sizes alone, so that most streams never regrow; together
  // that is at most one command per transfer end and kernel.
  std::size_t commands = 0;
  for (const Phase& phase : schedule.phases) {
    commands += std::visit(CommandBound{}, phase);
  }
  for (std::vector<EncodedTileCommand>& stream : all.streams) {
    stream.reserve(commands / all.streams.size() + 1);
  }
  encode_phases(schedule.phases, all);
  const EncodedTileCommand end = end_command();
  for (std::vector<EncodedTileCommand>& stream : all.streams) {
    stream.push_back(end);
  }
  return std::move(all.streams);
}

}  // namespace orvo_compiler
