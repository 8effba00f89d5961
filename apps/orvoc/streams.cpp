// Tile streams as files: the name of each tile's file (the bytes come from
// the library's tile_stream_bytes).
#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

std::string stream_file_name(std::uint16_t tile) { return fmt::format("tile-{:04}.bin", tile); }

}  // namespace orvo_compiler::orvoc
