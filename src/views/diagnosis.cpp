// The memory diagnosis as the lines a user reads: the tile, its window and
// what is live there at the peak, then the window that would suffice. The
// facts come from memory_diagnosis; this file only words them.
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

}  // namespace

std::vector<std::string> diagnosis_lines(const MemoryDiagnosis& diagnosis) {
  return {window_line(diagnosis), largest_tensors_line(diagnosis), needed_window_line(diagnosis)};
}

std::vector<std::string> diagnose_memory_error(const Graph& graph, const CompilerOptions& options,
                                               const CompileError& error) {
  if (error.kind != CompileError::Kind::Memory) {
    return {};
  }
  const std::optional<MemoryDiagnosis> diagnosis = memory_diagnosis(graph, options);
  if (!diagnosis) {
    return {};
  }
  return diagnosis_lines(*diagnosis);
}

}  // namespace orvo_compiler
