// Schedules shown to people: numbers as text, the summary, the explanation
// of a memory failure, and pictures (the SRAM map of a tile, the HTML report). Everything here is plain text built with {fmt}; equal
// inputs give identical text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// ---- Numbers as people read them -----------------------------------------

// Decimal digits grouped by three with commas: 581632 -> "581,632".
[[nodiscard]] std::string group_thousands(std::uint64_t value);

// An address as the tools print it: "0x52000".
[[nodiscard]] std::string hex_address(std::uint64_t value);

// ---- The workload --------------------------------------------------------

// What was compiled: the built-in encoder (its configuration and the number
// of stacked layers), or, when `model` is not empty, the model imported from
// the file it names; the configuration is then unused.
struct Workload {
  EncoderConfig config;
  std::uint64_t layers = 1;
  std::string model;
};

// ---- Text ----------------------------------------------------------------

// The multi-line summary of a compiled schedule, with no timing in it.
[[nodiscard]] std::string schedule_summary(const Workload& workload, const CompilerOptions& options,
                                           const Schedule& schedule, const ScheduleStatistics& statistics);

// A memory diagnosis as three lines: the tile, its window and its peak; the
// largest tensors live there; the window that would suffice; then, when it
// holds tile-count advice, that advice's line.
[[nodiscard]] std::vector<std::string> diagnosis_lines(const MemoryDiagnosis& diagnosis);

// Tile-count advice as one line: the fewest tiles that fit the window, or
// why no count does.
[[nodiscard]] std::string tile_advice_line(const TileCountAdvice& advice);

// Explains a Memory error of compiling `graph` with `options`: the lines of
// its memory_diagnosis, or when there is none, the line of its
// tile_count_advice; empty when the error is not a Memory error or there is
// neither.
[[nodiscard]] std::vector<std::string> diagnose_memory_error(const Graph& graph, const CompilerOptions& options,
                                                             const CompileError& error);

// ---- Pictures of a schedule -----------------------------------------------

// `text` with &, <, >, " and ' replaced by character references and control
// characters other than tab and line breaks by U+FFFD, safe inside XML and
// HTML text and attribute values.
[[nodiscard]] std::string xml_escape(std::string_view text);

// A byte count in KiB as the pictures label it: "9 KiB", "0.5 KiB", "1,536 KiB".
[[nodiscard]] std::string kib_text(std::uint64_t bytes);

// The step between ticks of an axis of bytes: the smallest power of two, at
// least 16, that divides `span` into at most `max_ticks` steps.
[[nodiscard]] std::uint64_t byte_tick_step(std::uint64_t span, std::uint64_t max_ticks);

// A standalone SVG file, or an <svg> element to place in an HTML page (no XML
// declaration, no namespace, no style sheet: the page supplies it).
enum class SvgForm : std::uint8_t { Document, Inline };

// The SRAM map of one tile: phase index across, address up, one rectangle per
// allocation on the tile over its lifetime and byte range, labelled with the
// tensor's name where the name fits and described in full in a tooltip; the
// data window's base and limit and the tile's peak as lines, exchange phases
// shaded. A tile past `tile_count` or holding no data gives an empty map
// saying so. Equal inputs give identical text.
[[nodiscard]] std::string memory_map_svg(const Graph& graph, const Schedule& schedule, const CompilerOptions& options,
                                         std::uint16_t tile, SvgForm form = SvgForm::Document);

// The memory map of every tile that holds data, in tile order, each as
// memory_map_svg draws it, from one pass over the allocations.
struct TileMap {
  std::uint16_t tile = 0;
  std::string svg;
};
[[nodiscard]] std::vector<TileMap> memory_maps(const Graph& graph, const Schedule& schedule,
                                               const CompilerOptions& options, SvgForm form);

// The style sheet of the memory map's classes, which an inline map relies on.
[[nodiscard]] std::string_view memory_map_style();

// One self-contained HTML page: the summary, a bar chart of every tile's peak,
// the memory map of the tile chosen in a selector (initially `tile`, or the
// one named by "#tile=N" in the page's address) and the list of phases,
// filtered by a search box (preset by "search=TEXT" in the address). It loads
// nothing from elsewhere. Equal inputs give identical text.
[[nodiscard]] std::string report_html(const Workload& workload, const CompilerOptions& options, const Graph& graph,
                                      const Schedule& schedule, std::uint16_t tile);


}  // namespace orvo_compiler
