// The summary `orvoc compile` prints: what was compiled for which target, the
// schedule's counts, the peak SRAM of every tile in runs of equal value and
// the worst tile's peak beside the least any placement could reach there.
#include <string>

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

std::string plural(std::uint64_t count, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", group_thousands(count), count == 1 ? one : many);
}

std::string tile_range(const TileRun& run) {
  if (run.first_tile == run.last_tile) {
    return fmt::format("tile {}", run.first_tile);
  }
  return fmt::format("tiles {}-{}", run.first_tile, run.last_tile);
}

// One decimal of a percentage; the window is never 0 bytes for options that compiled.
std::string percent_of(std::uint64_t bytes, std::uint64_t window) {
  return fmt::format("{:.1f}%", 100.0 * static_cast<double>(bytes) / static_cast<double>(window));
}

}  // namespace

std::string schedule_summary(const Workload& workload, const CompilerOptions& options, const Schedule& schedule,
                             const ScheduleStatistics& statistics) {
  const EncoderConfig& config = workload.config;
  const std::uint64_t window = std::uint64_t{options.data_limit} - options.data_base;
  std::string text;
  auto line = [&text](std::string_view content) {
    text += content;
    text += '\n';
  };

  if (workload.model.empty()) {
    line(fmt::format("workload:     encoder, sequence {}, hidden {}, heads {}, feed-forward {}, {}",
                     group_thousands(config.sequence), group_thousands(config.hidden), group_thousands(config.heads),
                     group_thousands(config.feed_forward), plural(workload.layers, "layer", "layers")));
  } else {
    line(fmt::format("workload:     model {}", workload.model));
  }
  line(fmt::format("target:       {}, data window {} to {} ({} B per tile)",
                   plural(options.tile_count, "tile", "tiles"), hex_address(options.data_base),
                   hex_address(options.data_limit), group_thousands(window)));
  line(fmt::format("graph:        {}, {}", plural(statistics.tensors, "tensor", "tensors"),
                   plural(statistics.operations, "operation", "operations")));
  line(fmt::format("phases:       {} ({} exchange, {} compute)", group_thousands(statistics.phases),
                   group_thousands(statistics.exchange_phases), group_thousands(statistics.compute_phases)));
  line(fmt::format("transfers:    {}, {} B moved", group_thousands(statistics.transfers),
                   group_thousands(statistics.transfer_bytes)));
  line(fmt::format("kernels:      {}", plural(statistics.kernel_commands, "command", "commands")));
  line(fmt::format("allocations:  {}", group_thousands(statistics.allocations)));
  line("peak SRAM per tile:");
  for (const TileRun& run : peak_runs(schedule)) {
    if (!run.bytes) {
      line(fmt::format("  {}: no data", tile_range(run)));
      continue;
    }
    line(fmt::format("  {}: {} B ({} of {})", tile_range(run), group_thousands(*run.bytes),
                     percent_of(*run.bytes, window), group_thousands(window)));
  }
  if (statistics.worst_tile) {
    const WorstTile& worst = *statistics.worst_tile;
    line(fmt::format("worst tile:   tile {}, peak {} B, lower bound {} B (live at phase {})", worst.tile,
                     group_thousands(worst.peak_bytes), group_thousands(worst.live.bytes), worst.live.phase));
  }
  return text;
}

}  // namespace orvo_compiler
