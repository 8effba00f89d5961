// Debug renderings of the compiler's options and schedule records, the wire
// form of one encoded tile command, and the schedule's stream accessors, which
// the command encoder (commands.hpp) carries out.
#include <cstddef>
#include <variant>

#include "orvo_compiler/commands.hpp"
#include "orvo_compiler/schedule.hpp"
#include "support/render.hpp"

namespace orvo_compiler {

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options) {
  return out << "CompilerOptions { tile_count: " << options.tile_count << ", data_base: " << options.data_base
             << ", data_limit: " << options.data_limit << " }";
}

std::ostream& operator<<(std::ostream& out, Sharding sharding) {
  switch (sharding) {
    case Sharding::Replicated:
      return out << "Replicated";
    case Sharding::Rows:
      return out << "Rows";
    case Sharding::Columns:
      return out << "Columns";
    case Sharding::Heads:
      return out << "Heads";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  out << "Layout { tensor: " << layout.tensor << ", tiles: ";
  detail::render_list(out, layout.tiles);
  return out << ", sharding: " << layout.sharding << ", alignment: " << layout.alignment << " }";
}

std::ostream& operator<<(std::ostream& out, const Transfer& transfer) {
  return out << "Transfer { source_tile: " << transfer.source_tile
             << ", destination_tile: " << transfer.destination_tile << ", tensor: " << transfer.tensor
             << ", bytes: " << transfer.bytes << " }";
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  out << "SpecializationKey { operation: ";
  detail::render_value(out, key.operation);
  out << ", shape: ";
  detail::render_list(out, key.shape);
  out << ", worker_count: ";
  detail::render_value(out, key.worker_count);
  out << ", role: ";
  detail::render_value(out, key.role);
  return out << ", alignment: " << key.alignment << " }";
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  out << "KernelCommand { tile: " << command.tile << ", output: " << command.output << ", inputs: ";
  detail::render_list(out, command.inputs);
  return out << ", specialization: " << command.specialization << " }";
}

std::ostream& operator<<(std::ostream& out, const Exchange& exchange) {
  out << "Exchange { transfers: ";
  detail::render_list(out, exchange.transfers);
  return out << " }";
}

std::ostream& operator<<(std::ostream& out, const Compute& compute) {
  out << "Compute { op: " << compute.op << ", commands: ";
  detail::render_list(out, compute.commands);
  return out << " }";
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  std::visit([&out](const auto& variant) { out << variant; }, phase);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Allocation& allocation) {
  return out << "Allocation { tensor: " << allocation.tensor << ", tile: " << allocation.tile
             << ", address: " << allocation.address << ", size: " << allocation.size
             << ", live_from: " << allocation.live_from << ", live_until: " << allocation.live_until << " }";
}

std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command) {
  out << "EncodedTileCommand { words: ";
  detail::render_list(out, command.words);
  return out << " }";
}

std::ostream& operator<<(std::ostream& out, const Schedule& schedule) {
  out << "Schedule { layouts: ";
  detail::render_list(out, schedule.layouts);
  out << ", phases: ";
  detail::render_list(out, schedule.phases);
  out << ", allocations: ";
  detail::render_list(out, schedule.allocations);
  out << ", tile_count: " << schedule.tile_count << ", peak_sram: {";
  bool first = true;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    if (!first) {
      out << ", ";
    }
    first = false;
    out << tile << ": " << bytes;
  }
  return out << "} }";
}

std::array<std::uint8_t, 32> EncodedTileCommand::to_le_bytes() const {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t word = 0; word < words.size(); ++word) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      bytes[4 * word + byte] = static_cast<std::uint8_t>(words[word] >> (8 * byte));
    }
  }
  return bytes;
}

Result<std::vector<EncodedTileCommand>> Schedule::tile_commands(std::uint16_t tile) const {
  return encode_tile_stream(*this, tile);
}

std::vector<std::vector<EncodedTileCommand>> Schedule::all_tile_commands() const { return encode_tile_streams(*this); }

}  // namespace orvo_compiler
