// Counts and SRAM figures derived from a schedule: the runs of equal peak, the
// live bytes of a tile at each phase (a lower bound for any placement) and the
// totals the summary and the JSON report.
#include <algorithm>
#include <string>
#include <variant>

#include "orvo_compiler/analysis.hpp"

namespace orvo_compiler {
namespace {

bool live_at(const Allocation& allocation, std::uint64_t phase) {
  return allocation.live_from <= phase && phase <= allocation.live_until;
}

// The sum of sizes live at each phase index from 0 to `phase_count`: each
// allocation adds its size where its lifetime starts and takes it off one past
// where it ends, and a running sum over the indices gives the live bytes.
std::vector<std::uint64_t> live_bytes_of(const std::vector<const Allocation*>& on_tile, std::uint64_t phase_count) {
  std::vector<std::uint64_t> bytes(phase_count + 2, 0);
  for (const Allocation* allocation : on_tile) {
    if (allocation->live_from > allocation->live_until || allocation->live_from > phase_count) {
      continue;
    }
    bytes[allocation->live_from] += allocation->size;
    bytes[std::min(allocation->live_until, phase_count) + 1] -= allocation->size;
  }
  // Sums in unsigned arithmetic wrap in between and come out exact.
  for (std::size_t phase = 1; phase < bytes.size(); ++phase) {
    bytes[phase] += bytes[phase - 1];
  }
  bytes.pop_back();
  return bytes;
}

// The first phase with the most live bytes; phase 0 when nothing is live.
LivePeak peak_of(const std::vector<std::uint64_t>& bytes) {
  LivePeak peak;
  for (std::uint64_t phase = 0; phase < bytes.size(); ++phase) {
    if (bytes[phase] > peak.bytes) {
      peak = LivePeak{phase, bytes[phase]};
    }
  }
  return peak;
}

std::vector<const Allocation*> allocations_on(const Schedule& schedule, std::uint16_t tile) {
  std::vector<const Allocation*> on_tile;
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile) {
      on_tile.push_back(&allocation);
    }
  }
  return on_tile;
}

}  // namespace

std::vector<TileRun> peak_runs(const Schedule& schedule) {
  std::vector<TileRun> runs;
  for (std::uint32_t tile = 0; tile < schedule.tile_count; ++tile) {
    const auto tile16 = static_cast<std::uint16_t>(tile);
    const auto found = schedule.peak_sram.find(tile16);
    const std::optional<std::uint32_t> bytes =
        found == schedule.peak_sram.end() ? std::nullopt : std::optional<std::uint32_t>(found->second);
    if (!runs.empty() && runs.back().bytes == bytes && runs.back().last_tile + 1U == tile) {
      runs.back().last_tile = tile16;
      continue;
    }
    runs.push_back(TileRun{tile16, tile16, bytes});
  }
  return runs;
}

std::vector<std::uint64_t> live_bytes(const Schedule& schedule, std::uint16_t tile) {
  return live_bytes_of(allocations_on(schedule, tile), schedule.phases.size());
}

LivePeak live_peak(const Schedule& schedule, std::uint16_t tile) { return peak_of(live_bytes(schedule, tile)); }

std::vector<LivePeak> live_peaks(const Schedule& schedule) {
  std::vector<std::vector<const Allocation*>> by_tile(schedule.tile_count);
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile < by_tile.size()) {
      by_tile[allocation.tile].push_back(&allocation);
    }
  }
  std::vector<LivePeak> peaks;
  peaks.reserve(by_tile.size());
  for (const std::vector<const Allocation*>& on_tile : by_tile) {
    peaks.push_back(peak_of(live_bytes_of(on_tile, schedule.phases.size())));
  }
  return peaks;
}

LiveBound max_live_bound(const Schedule& schedule) {
  const std::vector<LivePeak> peaks = live_peaks(schedule);
  LiveBound bound;
  for (std::size_t tile = 0; tile < peaks.size(); ++tile) {
    if (peaks[tile].bytes > bound.live.bytes) {
      bound = LiveBound{static_cast<std::uint16_t>(tile), peaks[tile]};
    }
  }
  return bound;
}

std::vector<Allocation> live_allocations(const Schedule& schedule, std::uint16_t tile, std::uint64_t phase) {
  std::vector<Allocation> live;
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile && live_at(allocation, phase)) {
      live.push_back(allocation);
    }
  }
  return live;
}

ScheduleStatistics schedule_statistics(const Graph& graph, const Schedule& schedule) {
  ScheduleStatistics statistics;
  statistics.tensors = graph.tensors.size();
  statistics.operations = graph.ops.size();
  statistics.phases = schedule.phases.size();
  statistics.allocations = schedule.allocations.size();
  for (const Phase& phase : schedule.phases) {
    std::visit(
        [&statistics](const auto& body) {
          using Body = std::decay_t<decltype(body)>;
          if constexpr (std::is_same_v<Body, Exchange>) {
            ++statistics.exchange_phases;
            statistics.transfers += body.transfers.size();
            for (const Transfer& transfer : body.transfers) {
              statistics.transfer_bytes += transfer.bytes;
            }
          } else {
            ++statistics.compute_phases;
            statistics.kernel_commands += body.commands.size();
          }
        },
        phase);
  }
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    if (!statistics.worst_tile || bytes > statistics.worst_tile->peak_bytes) {
      statistics.worst_tile = WorstTile{tile, bytes, {}};
    }
  }
  if (statistics.worst_tile) {
    statistics.worst_tile->live = live_peak(schedule, statistics.worst_tile->tile);
  }
  return statistics;
}

std::string phase_description(const Graph& graph, const Schedule& schedule, std::uint64_t phase) {
  if (phase >= schedule.phases.size()) {
    return "after the last phase";
  }
  // An exchange brings the inputs of the compute phase right after it.
  const bool exchange = std::holds_alternative<Exchange>(schedule.phases[phase]);
  const std::uint64_t compute_phase = exchange ? phase + 1 : phase;
  const Compute* compute =
      compute_phase < schedule.phases.size() ? std::get_if<Compute>(&schedule.phases[compute_phase]) : nullptr;
  const std::string op_name =
      compute != nullptr && compute->op.index < graph.ops.size() ? graph.ops[compute->op.index].name : "";
  if (exchange) {
    return op_name.empty() ? "exchange" : "exchange for " + op_name;
  }
  return op_name.empty() ? "compute" : "compute " + op_name;
}

}  // namespace orvo_compiler
