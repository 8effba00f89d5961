// The memory diagnosis as the lines a user reads: the tile, its window and
// what is live there at the peak, then the window and the tile count that
// would suffice. The facts come from memory_diagnosis and tile_count_advice;
// this file only words them.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

// How the peak compares with the window, and why it fails within it.
std::string excess_text(const MemoryDiagnosis& diagnosis) {
  if (diagnosis.excess_bytes > 0) {
    return fmt::format("{} B more than the window holds", group_thousands(diagnosis.excess_bytes));
  }
  const std::string comparison = diagnosis.spare_bytes == 0
                                     ? std::string("as much as the window holds")
                                     : fmt::format("{} B less than the window", group_thousands(diagnosis.spare_bytes));
  return comparison + ", but placed pieces never move and the gaps between them leave no room";
}

std::string window_line(const MemoryDiagnosis& diagnosis) {
  return fmt::format(
      "tile {} has a data window of {} B ({} to {}); its live data peaks at phase {} ({}) with {} B, {}",
      diagnosis.tile, group_thousands(diagnosis.window_bytes), hex_address(diagnosis.data_base),
      hex_address(diagnosis.data_limit), diagnosis.peak.phase, diagnosis.phase_description,
      group_thousands(diagnosis.peak.bytes), excess_text(diagnosis));
}

std::string largest_tensors_line(const MemoryDiagnosis& diagnosis) {
  std::vector<std::string> named;
  for (const LiveTensor& tensor : diagnosis.largest_tensors) {
    named.push_back(fmt::format("{} {} B", tensor.name, group_thousands(tensor.bytes)));
  }
  std::string line = fmt::format("largest tensors live on tile {} at phase {}: {}", diagnosis.tile,
                                 diagnosis.peak.phase, fmt::join(named, ", "));
  if (diagnosis.other_tensors > 0) {
    line += fmt::format(", and {} more", diagnosis.other_tensors);
  }
  return line;
}

std::string needed_window_line(const MemoryDiagnosis& diagnosis) {
  const std::string needed = group_thousands(diagnosis.needed_bytes);
  switch (diagnosis.fit) {
    case WindowFit::Fits:
      return fmt::format("the schedule fits a data window of {} B per tile: --data-limit {} or higher", needed,
                         hex_address(diagnosis.fitting_limit));
    case WindowFit::PastAddressSpace:
      return fmt::format(
          "the schedule needs a data window of {} B per tile, which does not fit between data base {} "
          "and the end of the 32-bit address space",
          needed, hex_address(diagnosis.data_base));
    case WindowFit::BaseNotAligned:
      return fmt::format("the schedule needs a data window of about {} B per tile", needed);
  }
  return {};
}

std::string tiles_text(std::uint64_t count) {
  return fmt::format("{} {}", group_thousands(count), count == 1 ? "tile" : "tiles");
}

// Why more tiles stop helping at `spread_tiles`.
std::string spread_reason(const TileCountAdvice& advice) {
  return advice.spread_tiles == std::numeric_limits<std::uint16_t>::max() ? "the most the compiler takes"
                                                                          : "as many as any tensor spreads over";
}

}  // namespace

std::string tile_advice_line(const TileCountAdvice& advice) {
  const std::string window = group_thousands(advice.window_bytes);
  switch (advice.fit) {
    case TileCountFit::Fits:
      return fmt::format("the fewest tiles that fit a data window of {} B: --tiles {}", window, advice.tile_count);
    case TileCountFit::PieceTooLarge:
      return fmt::format(
          "no tile count fits a data window of {} B: with {}, {}, a piece of {} still takes {} B, {} B more "
          "than the window holds",
          window, tiles_text(advice.spread_tiles), spread_reason(advice), advice.largest_name,
          group_thousands(advice.largest_piece_bytes), group_thousands(advice.piece_excess_bytes));
    case TileCountFit::NoneFits:
      return fmt::format("no tile count fits a data window of {} B: with {}, {}, the schedule still needs {}",
                         window, tiles_text(advice.spread_tiles), spread_reason(advice),
                         advice.spread_needed_bytes
                             ? fmt::format("{} B per tile", group_thousands(*advice.spread_needed_bytes))
                             : std::string("more than the 32-bit address space holds"));
  }
  return {};
}

std::vector<std::string> diagnosis_lines(const MemoryDiagnosis& diagnosis) {
  std::vector<std::string> lines{window_line(diagnosis), largest_tensors_line(diagnosis),
                                 needed_window_line(diagnosis)};
  if (diagnosis.tile_advice) {
    lines.push_back(tile_advice_line(*diagnosis.tile_advice));
  }
  return lines;
}

std::vector<std::string> diagnose_memory_error(const Graph& graph, const CompilerOptions& options,
                                               const CompileError& error) {
  if (error.kind != CompileError::Kind::Memory) {
    return {};
  }
  const std::optional<MemoryDiagnosis> diagnosis = memory_diagnosis(graph, options);
  if (diagnosis) {
    return diagnosis_lines(*diagnosis);
  }
  // Even the widest window fails (a share or a tile's data past 32 bits):
  // more tiles may still help.
  const std::optional<TileCountAdvice> advice = tile_count_advice(graph, options);
  if (!advice) {
    return {};
  }
  return {tile_advice_line(*advice)};
}

}  // namespace orvo_compiler
