// Facts about a compiled schedule that do not depend on how it is shown:
// counts, the runs of tiles with equal peak SRAM, and the bytes live on a
// tile at each phase, which bound from below what any placement needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// Consecutive tiles with the same peak SRAM; `bytes` is empty for tiles that
// hold no data (no entry in `peak_sram`).
struct TileRun {
  std::uint16_t first_tile = 0;
  std::uint16_t last_tile = 0;
  std::optional<std::uint32_t> bytes;

  friend bool operator==(const TileRun&, const TileRun&) = default;
};

// Tiles 0..tile_count-1 grouped into runs of equal peak, in tile order.
[[nodiscard]] std::vector<TileRun> peak_runs(const Schedule& schedule);

// The most bytes live on one tile at any one phase index. Phase indices run
// from 0 to phases.size(), the last being where graph outputs stay live; the
// earliest phase wins a tie.
struct LivePeak {
  std::uint64_t phase = 0;
  std::uint64_t bytes = 0;

  friend bool operator==(const LivePeak&, const LivePeak&) = default;
};

[[nodiscard]] LivePeak live_peak(const Schedule& schedule, std::uint16_t tile);
// The live peak of every tile, indexed by tile; one pass over the allocations.
[[nodiscard]] std::vector<LivePeak> live_peaks(const Schedule& schedule);

// The allocations on `tile` live at `phase`, in allocation order.
[[nodiscard]] std::vector<Allocation> live_allocations(const Schedule& schedule, std::uint16_t tile,
                                                       std::uint64_t phase);

// The tile with the highest peak SRAM (the lowest such tile on a tie), its
// peak and its live-bytes lower bound.
struct WorstTile {
  std::uint16_t tile = 0;
  std::uint32_t peak_bytes = 0;
  LivePeak live;

  friend bool operator==(const WorstTile&, const WorstTile&) = default;
};

struct ScheduleStatistics {
  std::uint64_t tensors = 0;
  std::uint64_t operations = 0;
  std::uint64_t phases = 0;
  std::uint64_t exchange_phases = 0;
  std::uint64_t compute_phases = 0;
  std::uint64_t transfers = 0;
  std::uint64_t transfer_bytes = 0;
  std::uint64_t kernel_commands = 0;
  std::uint64_t allocations = 0;
  // Empty when no tile holds data.
  std::optional<WorstTile> worst_tile;

  friend bool operator==(const ScheduleStatistics&, const ScheduleStatistics&) = default;
};

[[nodiscard]] ScheduleStatistics schedule_statistics(const Graph& graph, const Schedule& schedule);

// "compute attention_softmax", "exchange", or "after the last phase" for the
// index one past the last phase.
[[nodiscard]] std::string phase_description(const Graph& graph, const Schedule& schedule, std::uint64_t phase);

}  // namespace orvo_compiler
