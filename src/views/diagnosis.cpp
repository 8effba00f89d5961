// Explains a Memory error in terms a user can act on. Layouts, phases, piece
// sizes and lifetimes do not depend on the data window, so compiling again with
// the widest window shows what the failing tile has to hold and when; and
// since the planner places pieces at the same offsets from any 16-aligned data
// base, that compilation's peak is exactly the window the schedule needs.
#include <algorithm>
#include <charconv>
#include <system_error>
#include <string>

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint32_t widest_limit = 0xFFFFFFFF;
constexpr std::size_t listed_tensors = 5;

// The tile a "tile {} exceeds data limit allocating {}" message names.
std::optional<std::uint16_t> failing_tile(std::string_view message, std::uint16_t tile_count) {
  constexpr std::string_view prefix = "tile ";
  constexpr std::string_view rest = " exceeds data limit allocating ";
  if (!message.starts_with(prefix)) {
    return std::nullopt;
  }
  message.remove_prefix(prefix.size());
  const std::size_t end = message.find(rest);
  if (end == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view digits = message.substr(0, end);
  std::uint64_t tile = 0;
  const auto [rest_of_digits, status] = std::from_chars(digits.data(), digits.data() + digits.size(), tile);
  if (status != std::errc{} || rest_of_digits != digits.data() + digits.size() || tile >= tile_count) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(tile);
}

// The tile whose live bytes peak highest, the lowest such tile on a tie.
std::uint16_t fullest_tile(const Schedule& schedule) {
  const std::vector<LivePeak> peaks = live_peaks(schedule);
  std::size_t fullest = 0;
  for (std::size_t tile = 1; tile < peaks.size(); ++tile) {
    if (peaks[tile].bytes > peaks[fullest].bytes) {
      fullest = tile;
    }
  }
  return static_cast<std::uint16_t>(fullest);
}

std::string largest_tensors_line(const Graph& graph, const Schedule& schedule, std::uint16_t tile,
                                 std::uint64_t phase) {
  std::vector<Allocation> live = live_allocations(schedule, tile, phase);
  std::stable_sort(live.begin(), live.end(),
                   [](const Allocation& left, const Allocation& right) { return left.size > right.size; });
  std::vector<std::string> named;
  for (std::size_t i = 0; i < live.size() && i < listed_tensors; ++i) {
    const std::uint64_t id = live[i].tensor.index;
    const std::string name = id < graph.tensors.size() ? graph.tensors[id].name : fmt::format("tensor {}", id);
    named.push_back(fmt::format("{} {} B", name, group_thousands(live[i].size)));
  }
  std::string line =
      fmt::format("largest tensors live on tile {} at phase {}: {}", tile, phase, fmt::join(named, ", "));
  if (live.size() > listed_tensors) {
    line += fmt::format(", and {} more", live.size() - listed_tensors);
  }
  return line;
}

bool aligned_for_every_layout(std::uint32_t address, const Schedule& schedule) {
  return std::all_of(schedule.layouts.begin(), schedule.layouts.end(), [address](const Layout& layout) {
    return layout.alignment != 0 && address % layout.alignment == 0;
  });
}

std::string needed_window_line(const CompilerOptions& options, const Schedule& schedule) {
  std::uint32_t needed = 0;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    needed = std::max(needed, bytes);
  }
  const std::uint64_t limit = std::uint64_t{options.data_base} + needed;
  if (limit > widest_limit) {
    return fmt::format(
        "the schedule needs a data window of {} B per tile, which does not fit between data base {} "
        "and the end of the 32-bit address space",
        group_thousands(needed), hex_address(options.data_base));
  }
  if (!aligned_for_every_layout(options.data_base, schedule)) {
    return fmt::format("the schedule needs a data window of about {} B per tile", group_thousands(needed));
  }
  return fmt::format("the schedule fits a data window of {} B per tile: --data-limit {} or higher",
                     group_thousands(needed), hex_address(limit));
}

}  // namespace

std::vector<std::string> diagnose_memory_error(const Graph& graph, const CompilerOptions& options,
                                               const CompileError& error) {
  if (error.kind != CompileError::Kind::Memory) {
    return {};
  }
  const Result<Schedule> wide = compile(graph, CompilerOptions{options.tile_count, 0, widest_limit});
  if (!wide || wide->peak_sram.empty()) {
    return {};
  }
  const std::optional<std::uint16_t> named = failing_tile(error.message, options.tile_count);
  const std::uint16_t tile = named ? *named : fullest_tile(*wide);
  const LivePeak peak = live_peak(*wide, tile);
  const std::uint64_t window = options.data_limit > options.data_base ? options.data_limit - options.data_base : 0;
  std::string excess;
  if (peak.bytes > window) {
    excess = fmt::format("{} B more than the window holds", group_thousands(peak.bytes - window));
  } else {
    excess = peak.bytes == window ? "as much as the window holds"
                                  : fmt::format("{} B less than the window", group_thousands(window - peak.bytes));
    excess += ", but placed pieces never move and the gaps between them leave no room";
  }

  std::vector<std::string> lines;
  lines.push_back(
      fmt::format("tile {} has a data window of {} B ({} to {}); its live data peaks at phase {} ({}) "
                  "with {} B, {}",
                  tile, group_thousands(window), hex_address(options.data_base), hex_address(options.data_limit),
                  peak.phase, phase_description(graph, *wide, peak.phase), group_thousands(peak.bytes), excess));
  lines.push_back(largest_tensors_line(graph, *wide, tile, peak.phase));
  lines.push_back(needed_window_line(options, *wide));
  return lines;
}

}  // namespace orvo_compiler
