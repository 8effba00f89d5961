// The command-line compiler's own building blocks: number text, the workload
// it compiles, schedule statistics, the summary, the JSON form of a schedule,
// tile streams, the diagnosis of a memory error, pictures of the schedule (SRAM
// map, HTML report, trace events) and all-or-nothing output files.
// They live in a small library so that the tests reach them directly.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "orvo_compiler/orvo_compiler.hpp"

namespace orvo_compiler::orvoc {

// ---- Numbers as people read and write them -------------------------------

// Decimal digits grouped by three with commas: 581632 -> "581,632".
[[nodiscard]] std::string group_thousands(std::uint64_t value);

// A decimal ("335872") or 0x-prefixed hexadecimal ("0x52000") number; nothing
// else (no sign, spaces or suffix). Empty for malformed text or a value past 2^64 - 1.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The value of option `name` (e.g. "--tiles") given as `text`, checked to lie
// within [minimum, maximum]; the error is a one-line message naming the option.
[[nodiscard]] std::expected<std::uint64_t, std::string> option_number(std::string_view name, std::string_view text,
                                                                      std::uint64_t minimum, std::uint64_t maximum);

// An address as the tool prints it: "0x52000".
[[nodiscard]] std::string hex_address(std::uint64_t value);

// ---- The workload --------------------------------------------------------

// The encoder configuration and the number of stacked layers.
struct Workload {
  EncoderConfig config;
  std::uint64_t layers = 1;
};

// The workload's graph: the single encoder layer, or `layers` of them in
// sequence; fails as the encoder builders do.
[[nodiscard]] Result<Graph> workload_graph(const Workload& workload);

// ---- Statistics ----------------------------------------------------------

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

// ---- Output --------------------------------------------------------------

// The multi-line summary of a compiled schedule, with no timing in it.
[[nodiscard]] std::string schedule_summary(const Workload& workload, const CompilerOptions& options,
                                           const Schedule& schedule, const ScheduleStatistics& statistics);

// The summary printed after a successful compile: schedule_summary and the compile time.
[[nodiscard]] std::string summary_text(const Workload& workload, const CompilerOptions& options,
                                       const Schedule& schedule, const ScheduleStatistics& statistics,
                                       double compile_seconds);

// The whole schedule with its graph, options and statistics. Holds no timing,
// so equal inputs give byte-identical documents.
[[nodiscard]] nlohmann::ordered_json schedule_json(const Workload& workload, const CompilerOptions& options,
                                                   const Graph& graph, const Schedule& schedule);

// "tile-0000.bin" for tile 0; at least four digits.
[[nodiscard]] std::string stream_file_name(std::uint16_t tile);

// A tile's encoded stream in its wire form, 32 bytes per command.
[[nodiscard]] Result<std::vector<std::uint8_t>> tile_stream_bytes(const Schedule& schedule, std::uint16_t tile);

// Explains a Memory error of compiling `graph` with `options`: the tile, its
// window, the phase where its live bytes peak and the largest tensors live
// there, plus the window that would suffice. Recompiles with the widest
// window to learn sizes and lifetimes; empty when that fails too or the error
// is not a Memory error.
[[nodiscard]] std::vector<std::string> diagnose_memory_error(const Graph& graph, const CompilerOptions& options,
                                                             const CompileError& error);

// The reference's input or output as raw little-endian float32.
[[nodiscard]] std::vector<std::uint8_t> float_bytes(std::span<const float> values);
// Empty when the byte count is not a multiple of 4.
[[nodiscard]] std::optional<std::vector<float>> floats_from_bytes(std::span<const std::uint8_t> bytes);

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

// The schedule as a trace-event JSON document: one track per tile, one slice
// per phase in which the tile sends, receives or computes, named after the
// operation or "exchange" with the tensors and bytes as arguments. There is no
// cost model, so each phase lasts one microsecond. One event per line; equal
// inputs give identical text.
[[nodiscard]] std::string trace_json(const Graph& graph, const Schedule& schedule);

// ---- Files ---------------------------------------------------------------

// The whole content of a file; the error names the path and the reason.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> read_file(const std::filesystem::path& path);

// Output files written all or nothing: each is staged under a temporary name in
// its own directory, and `commit` renames them all into place. Files staged but
// not committed are removed when the object goes away, so a failure leaves no
// partial output behind.
class StagedFiles {
 public:
  StagedFiles() = default;
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles();

  // Writes `bytes` to a fresh temporary file beside `path`.
  [[nodiscard]] std::expected<void, std::string> stage(const std::filesystem::path& path,
                                                       std::span<const std::uint8_t> bytes);
  // Renames every staged file to its final path, in staging order.
  [[nodiscard]] std::expected<void, std::string> commit();

 private:
  struct Entry {
    std::filesystem::path temporary;
    std::filesystem::path final_path;
  };
  std::vector<Entry> entries_;
};

}  // namespace orvo_compiler::orvoc
