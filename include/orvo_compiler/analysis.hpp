// Facts about a compiled schedule that do not depend on how it is shown:
// counts, the runs of tiles with equal peak SRAM, the bytes live on a tile at
// each phase, which bound from below what any placement needs, and why a
// workload does not fit a data window, as data for the views to render; and
// the independent check of a schedule's invariants.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvo_compiler/error.hpp"
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

// The bytes of `tile`'s allocations live at each phase index, indexed 0 to
// phases.size(), the last being where graph outputs stay live; all zero for a
// tile that holds nothing. Lifetimes reaching past the last index count up to it.
[[nodiscard]] std::vector<std::uint64_t> live_bytes(const Schedule& schedule, std::uint16_t tile);

// The most bytes live on one tile at any one phase index (as live_bytes
// indexes them); the earliest phase wins a tie.
struct LivePeak {
  std::uint64_t phase = 0;
  std::uint64_t bytes = 0;

  friend bool operator==(const LivePeak&, const LivePeak&) = default;
};

// The live peak of `tile`; phase 0 with no bytes for a tile that holds nothing.
[[nodiscard]] LivePeak live_peak(const Schedule& schedule, std::uint16_t tile);
// The live peak of every tile, indexed by tile; one pass over the allocations.
[[nodiscard]] std::vector<LivePeak> live_peaks(const Schedule& schedule);

// The tile whose live bytes peak highest, and that peak.
struct LiveBound {
  std::uint16_t tile = 0;
  LivePeak live;

  friend bool operator==(const LiveBound&, const LiveBound&) = default;
};

// The most bytes live at once on any tile, a lower bound on the data window
// any placement of the schedule's pieces needs; the lowest tile wins a tie,
// and tile 0 with nothing live stands for a schedule without data.
[[nodiscard]] LiveBound max_live_bound(const Schedule& schedule);

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

// The counts of a schedule and its worst tile.
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

// The statistics of `schedule` as compiled from `graph`; never fails.
[[nodiscard]] ScheduleStatistics schedule_statistics(const Graph& graph, const Schedule& schedule);

// "compute attention_softmax", "exchange for attention_context", "exchange",
// or "after the last phase" for the index one past the last phase.
[[nodiscard]] std::string phase_description(const Graph& graph, const Schedule& schedule, std::uint64_t phase);

// ---- Why a workload does not fit a data window ----------------------------

// A tensor piece live on the diagnosed tile at the diagnosed phase; `name` is
// "tensor {id}" for an id the graph does not hold.
struct LiveTensor {
  TensorId tensor;
  std::string name;
  std::uint32_t bytes = 0;

  friend bool operator==(const LiveTensor&, const LiveTensor&) = default;
};

// Whether a data limit can be named that makes the schedule fit.
enum class WindowFit : std::uint8_t {
  Fits,              // data_base + needed_bytes, no less, is enough
  PastAddressSpace,  // data_base + needed_bytes lies past the 32-bit address space
  BaseNotAligned,    // data_base is not a multiple of every layout's alignment, so
                     // pieces shift and needed_bytes is only approximate
};

// Whether some tile count makes a workload fit the caller's data window.
enum class TileCountFit : std::uint8_t {
  Fits,           // `tile_count` tiles fit
  PieceTooLarge,  // none fits: even over `spread_tiles`, the largest piece alone passes the window
  NoneFits,       // none fits, though every piece alone fits the window
};

// The fewest tiles with which a workload fits a data window, or why no tile
// count does. A tensor spreads over one more tile per started KiB, up to the
// tile count, so from `spread_tiles` on (the most any tensor takes, at most
// the compiler's limit of 65,535) more tiles change nothing. The largest
// piece is the largest one tile holds of one tensor there, as allocated
// (rounded up to its alignment); the first such tensor in graph order.
struct TileCountAdvice {
  std::uint64_t window_bytes = 0;  // data_limit - data_base, unchanged
  TileCountFit fit = TileCountFit::Fits;
  std::uint16_t tile_count = 0;  // the fewest tiles found to fit; 0 unless `fit` is Fits
  std::uint16_t spread_tiles = 0;
  TensorId largest_tensor;
  std::string largest_name;
  std::uint64_t largest_piece_bytes = 0;
  std::uint64_t piece_excess_bytes = 0;  // bytes of that piece past the window; 0 when it fits
  // For NoneFits, the data window the schedule needs over `spread_tiles`;
  // empty otherwise, or when no 32-bit window holds it.
  std::optional<std::uint32_t> spread_needed_bytes;

  friend bool operator==(const TileCountAdvice&, const TileCountAdvice&) = default;
};

// The fewest tiles with which `graph` compiles with `options`' data window
// (its tile count is not used), or why none does. Steps:
//   1. The pieces over spread_tiles, from each tensor's bytes: one larger
//      than the window rules out every count (PieceTooLarge, no compile).
//   2. One compile over spread_tiles: a Memory failure means no count fits
//      (NoneFits, with one more compile to size the window it needs).
//   3. Without compiling, by binary searches (both only fall as tiles are
//      added): the fewest tiles whose pieces each fit the window, and the
//      fewest whose pieces live at once on tile 0 (which holds a piece of
//      every tensor) fit it, with step 2's lifetimes. That is the hint.
//   4. Compiles: the hint, and when it fits, one count below it; otherwise
//      one, two, four, ... counts above it until one fits, and a binary
//      search between that one and the last that did not.
// Typically 3 compiles (steps 2 and 4), at most about 3 + 2 log2(spread_tiles).
// The count given always compiles. It is the fewest when fitting is monotone
// in the tile count, which holds for the bytes live at once (pieces only
// shrink) but not exactly for placement, since placed pieces never move: a
// count below the answer (or below spread_tiles, for NoneFits) that the
// search did not try may fit where the one above it does not. Empty when
// the graph is invalid, the window empty, or compiling fails with a Graph
// error.
[[nodiscard]] std::optional<TileCountAdvice> tile_count_advice(const Graph& graph, const CompilerOptions& options);

// Why a workload does not fit: one tile, its data window, the phase where its
// live bytes peak with what is live there, and the window that would suffice.
// `excess_bytes` (live bytes past the window) and `spare_bytes` (window bytes
// past the live ones) are both 0 when they are equal. `needed_bytes` is the
// highest peak the schedule reaches with a window that holds everything.
struct MemoryDiagnosis {
  std::uint16_t tile = 0;
  std::uint32_t data_base = 0;
  std::uint32_t data_limit = 0;
  std::uint64_t window_bytes = 0;
  LivePeak peak;
  std::string phase_description;
  std::uint64_t excess_bytes = 0;
  std::uint64_t spare_bytes = 0;
  // The five largest, largest first (allocation order among equals), and the
  // number of the others.
  std::vector<LiveTensor> largest_tensors;
  std::uint64_t other_tensors = 0;
  std::uint32_t needed_bytes = 0;
  WindowFit fit = WindowFit::Fits;
  std::uint32_t fitting_limit = 0;  // the smallest data limit that fits; 0 unless `fit` is Fits
  // With the data window unchanged, the fewest tiles that fit (tile_count_advice).
  std::optional<TileCountAdvice> tile_advice;

  friend bool operator==(const MemoryDiagnosis&, const MemoryDiagnosis&) = default;
};

// Diagnoses compiling `graph` with `options`. Layouts, phases, piece sizes and
// lifetimes do not depend on the data window, so it compiles with the widest
// window (data base 0, limit 2^32 - 1) to learn them, and asks the planner
// which piece fails with `options`. The tile is the one a data-limit failure
// names, otherwise (an address overflow, or no failure) the one max_live_bound
// picks; `tile_advice` is tile_count_advice's. Empty when the widest window
// fails to compile too or holds no data; tile_count_advice may still have
// advice for such a workload.
[[nodiscard]] std::optional<MemoryDiagnosis> memory_diagnosis(const Graph& graph, const CompilerOptions& options);

// Checks a schedule against the graph and target it claims to implement,
// independently of the passes that built it: layouts, phases, exchanges,
// kernel commands, allocations, lifetimes, peaks and tile streams. Succeeds
// for every schedule `compile` returns; otherwise the first broken invariant
// as a Graph error.
[[nodiscard]] Result<void> verify_schedule(const Graph& graph, const Schedule& schedule,
                                           const CompilerOptions& options);

}  // namespace orvo_compiler
