// A tile's command stream in wire form: every command's 32 little-endian
// bytes one after another, as a file or a link carries it.
#include <array>

#include "orvo_compiler/commands.hpp"

namespace orvo_compiler {

Result<std::vector<std::uint8_t>> tile_stream_bytes(const Schedule& schedule, std::uint16_t tile) {
  const Result<std::vector<EncodedTileCommand>> commands = schedule.tile_commands(tile);
  if (!commands) {
    return std::unexpected(commands.error());
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(commands->size() * 32);
  for (const EncodedTileCommand& command : *commands) {
    const std::array<std::uint8_t, 32> wire = command.to_le_bytes();
    bytes.insert(bytes.end(), wire.begin(), wire.end());
  }
  return bytes;
}

}  // namespace orvo_compiler
