// Why a workload does not fit a data window, as data. Layouts, phases, piece
// sizes and lifetimes do not depend on the window, so compiling again with the
// widest window shows what the failing tile has to hold and when; and since
// the planner places pieces at the same offsets from any data base that every
// layout's alignment divides, that compilation's peak is exactly the window
// the schedule needs.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/analysis.hpp"
#include "analysis/widest_limit.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"

namespace orvo_compiler {
namespace {

using detail::widest_limit;
constexpr std::size_t listed_tensors = 5;

// The failing tile when the planner names one, else the fullest tile.
std::uint16_t diagnosed_tile(const std::optional<MemoryFailure>& failure, const Schedule& wide) {
  if (failure && failure->cause == MemoryFailure::Cause::DataLimit) {
    return failure->tile;
  }
  return max_live_bound(wide).tile;
}

// Fills the largest tensors live on the diagnosed tile at its peak.
void list_largest_tensors(const Graph& graph, const Schedule& wide, MemoryDiagnosis& diagnosis) {
  std::vector<Allocation> live = live_allocations(wide, diagnosis.tile, diagnosis.peak.phase);
  std::stable_sort(live.begin(), live.end(),
                   [](const Allocation& left, const Allocation& right) { return left.size > right.size; });
  for (std::size_t i = 0; i < live.size() && i < listed_tensors; ++i) {
    const std::uint64_t id = live[i].tensor.index;
    std::string name = id < graph.tensors.size() ? graph.tensors[id].name : fmt::format("tensor {}", id);
    diagnosis.largest_tensors.push_back(LiveTensor{live[i].tensor, std::move(name), live[i].size});
  }
  diagnosis.other_tensors = live.size() - diagnosis.largest_tensors.size();
}

bool aligned_for_every_layout(std::uint32_t address, const Schedule& schedule) {
  return std::all_of(schedule.layouts.begin(), schedule.layouts.end(), [address](const Layout& layout) {
    return layout.alignment != 0 && address % layout.alignment == 0;
  });
}

// Fills the window the schedule needs and the data limit that gives it.
void size_needed_window(const Schedule& wide, MemoryDiagnosis& diagnosis) {
  for (const auto& [tile, bytes] : wide.peak_sram) {
    diagnosis.needed_bytes = std::max(diagnosis.needed_bytes, bytes);
  }
  const std::uint64_t limit = std::uint64_t{diagnosis.data_base} + diagnosis.needed_bytes;
  if (limit > widest_limit) {
    diagnosis.fit = WindowFit::PastAddressSpace;
    return;
  }
  if (!aligned_for_every_layout(diagnosis.data_base, wide)) {
    diagnosis.fit = WindowFit::BaseNotAligned;
    return;
  }
  diagnosis.fit = WindowFit::Fits;
  diagnosis.fitting_limit = static_cast<std::uint32_t>(limit);
}

}  // namespace

std::optional<MemoryDiagnosis> memory_diagnosis(const Graph& graph, const CompilerOptions& options) {
  const Result<Schedule> wide = compile(graph, CompilerOptions{options.tile_count, 0, widest_limit});
  if (!wide || wide->peak_sram.empty()) {
    return std::nullopt;
  }
  const std::optional<MemoryFailure> failure = memory_failure(graph, wide->layouts, wide->phases, options);

  MemoryDiagnosis diagnosis;
  diagnosis.tile = diagnosed_tile(failure, *wide);
  diagnosis.data_base = options.data_base;
  diagnosis.data_limit = options.data_limit;
  diagnosis.window_bytes = options.data_limit > options.data_base ? options.data_limit - options.data_base : 0;
  diagnosis.peak = live_peak(*wide, diagnosis.tile);
  diagnosis.phase_description = phase_description(graph, *wide, diagnosis.peak.phase);
  if (diagnosis.peak.bytes > diagnosis.window_bytes) {
    diagnosis.excess_bytes = diagnosis.peak.bytes - diagnosis.window_bytes;
  } else {
    diagnosis.spare_bytes = diagnosis.window_bytes - diagnosis.peak.bytes;
  }
  list_largest_tensors(graph, *wide, diagnosis);
  size_needed_window(*wide, diagnosis);
  diagnosis.tile_advice = tile_count_advice(graph, options);
  return diagnosis;
}

}  // namespace orvo_compiler
