// The encoded command stream of one tile: the kinds of command, which of a
// command's eight words carries what, and a stream's wire form. A stream holds
// the tile's commands in phase order and ends with the one end command; it has
// no header, length or checksum and names no tile, address or specialization.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// Word 0 of every command.
enum class CommandKind : std::uint32_t {
  Exchange = 1,  // a transfer the tile sends or receives; one command if it does both
  Compute = 2,   // a kernel the tile runs
  End = 0xFF,    // the last command of every stream, and only there; words 1 to 7 are 0
};

// Positions of the words in an EncodedTileCommand. Every word is 32 bits: ids
// and phase indices keep their low 32 bits, tiles are zero-extended; a word
// that carries nothing is 0.
namespace command_word {

// Every command.
inline constexpr std::size_t kind = 0;  // its CommandKind

// Exchange and compute commands: the index of the phase in Schedule::phases,
// exchange and compute phases counted alike.
inline constexpr std::size_t phase = 1;

// Exchange command: the transfer's fields, the same words in the streams of
// its sender and its receiver.
inline constexpr std::size_t source_tile = 2;
inline constexpr std::size_t destination_tile = 3;
inline constexpr std::size_t tensor = 4;
inline constexpr std::size_t bytes = 5;

// Compute command: the phase's op and the kernel command's tensors. Word
// input_count holds the full number of inputs; the first three follow from
// word first_input on, and later ones are not encoded, so the count tells an
// input id of 0 from an unused word.
inline constexpr std::size_t op = 2;
inline constexpr std::size_t output = 3;
inline constexpr std::size_t input_count = 4;
inline constexpr std::size_t first_input = 5;

}  // namespace command_word

// What Schedule::tile_commands returns: the stream of one tile, its transfers
// and kernels in phase order closed by the end command; fails with "tile {} is
// out of range" for a tile at or past the schedule's tile count.
[[nodiscard]] Result<std::vector<EncodedTileCommand>> encode_tile_stream(const Schedule& schedule,
                                                                         std::uint16_t tile);

// What Schedule::all_tile_commands returns: every tile's stream, indexed by
// tile, built in one pass over the phases.
[[nodiscard]] std::vector<std::vector<EncodedTileCommand>> encode_tile_streams(const Schedule& schedule);

// A tile's stream in wire form: the 32 bytes of each command's to_le_bytes,
// in stream order. Fails as Schedule::tile_commands does, with "tile {} is
// out of range" for a tile at or past the schedule's tile count.
[[nodiscard]] Result<std::vector<std::uint8_t>> tile_stream_bytes(const Schedule& schedule, std::uint16_t tile);

}  // namespace orvo_compiler
