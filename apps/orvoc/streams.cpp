// Tile streams as files: the name of each tile's file and the stream's wire
// form, every command's 32 little-endian bytes one after another.
#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

std::string stream_file_name(std::uint16_t tile) { return fmt::format("tile-{:04}.bin", tile); }

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

}  // namespace orvo_compiler::orvoc
