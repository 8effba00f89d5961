// The schedule report: one HTML page that needs nothing but itself. It holds
// the summary, a bar chart of every tile's peak, the memory map of each tile
// that holds data (kept in <template> elements; the page's script shows the
// one chosen in the selector, by a bar or by "#tile=N" in the address) and the
// list of phases with their transfers and kernel commands, filtered as one
// types or by "search=TEXT" in the address ("#tile=5&search=ffn_up").
#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "embedded/report_css.hpp"
#include "embedded/report_js.hpp"
#include "orvo_compiler/views.hpp"
#include "support/render.hpp"
#include "views/drawing.hpp"

namespace orvo_compiler {
namespace {

using detail::px;
using detail::svg_line;
using detail::svg_text;
using detail::tensor_name;

// One bar per tile up to this many tiles; beyond, one bar per run of equal peak.
constexpr std::uint32_t max_single_bars = 256;

// The peak chart's plot: where it sits and how tiles and bytes map to pixels.
struct PeakChart {
  double left = 76;
  double top = 12;
  double width = 0;
  std::uint32_t tiles = 1;
  double tile_width = 0;
  detail::ByteScale scale;

  [[nodiscard]] double x(std::uint32_t tile) const { return left + static_cast<double>(tile) * tile_width; }
};

// At least 14 pixels a tile within 320 to 960, 200 pixels for bytes up to the
// first tick at or above the highest peak.
PeakChart peak_chart_for(std::uint16_t tile_count, std::uint64_t highest) {
  PeakChart chart;
  const double height = 200;
  chart.tiles = std::max<std::uint32_t>(tile_count, 1);
  chart.width = std::clamp(static_cast<double>(chart.tiles) * 14.0, 320.0, 960.0);
  chart.tile_width = chart.width / static_cast<double>(chart.tiles);
  const std::uint64_t step = byte_tick_step(std::max<std::uint64_t>(highest, 1), 5);
  chart.scale = {chart.top + height, height, std::max<std::uint64_t>((highest + step - 1) / step * step, step), step};
  return chart;
}

// A bar for tiles `first` to `last`, all with a peak of `bytes`, `gap` pixels narrower than they are.
std::string peak_bar(const PeakChart& chart, std::uint16_t first, std::uint16_t last, std::uint32_t bytes,
                     double gap) {
  const std::string tiles_text =
      first == last ? fmt::format("tile {}", first) : fmt::format("tiles {}-{}", first, last);
  const double y = chart.scale.y(bytes);
  return fmt::format(R"(<rect class="bar" data-first="{}" data-last="{}" x="{}" y="{}" width="{}" height="{}">)"
                     R"(<title>{}: peak {} B</title></rect>)",
                     first, last, px(chart.x(first) + gap / 2), px(y),
                     px(static_cast<double>(last - first + 1) * chart.tile_width - gap), px(chart.scale.y(0) - y),
                     tiles_text, group_thousands(bytes)) +
         '\n';
}

// One bar per tile with data while there are few tiles, else one per run of equal peak.
void append_peak_bars(std::string& out, const PeakChart& chart, const std::vector<TileRun>& runs,
                      std::uint16_t tile_count) {
  const bool single_bars = tile_count <= max_single_bars;
  const double gap = single_bars && chart.tile_width >= 4 ? 1.5 : 0;
  for (const TileRun& run : runs) {
    if (!run.bytes) {
      continue;
    }
    if (!single_bars) {
      out += peak_bar(chart, run.first_tile, run.last_tile, *run.bytes, gap);
      continue;
    }
    for (std::uint32_t tile = run.first_tile; tile <= run.last_tile; ++tile) {
      out += peak_bar(chart, static_cast<std::uint16_t>(tile), static_cast<std::uint16_t>(tile), *run.bytes, gap);
    }
  }
}

// The axes, and tile ticks every 1, 2, 5, 10, 20, ... tiles, at least 36 pixels apart.
void append_tile_axis(std::string& out, const PeakChart& chart) {
  const double bottom = chart.scale.y(0);
  out += svg_line("axis", chart.left, chart.top, chart.left, bottom);
  out += svg_line("axis", chart.left, bottom, chart.left + chart.width, bottom);
  out += '\n';
  const std::uint64_t tick = detail::unit_tick_step(chart.tile_width, 36);
  for (std::uint64_t tile = 0; tile < chart.tiles; tile += tick) {
    out += svg_text("x-tick", chart.left + (static_cast<double>(tile) + 0.5) * chart.tile_width, bottom + 16,
                    fmt::format("{}", tile));
  }
  out += svg_text("x-tick", chart.left + chart.width / 2, bottom + 36, "tile");
}

void append_peak_chart(std::string& out, const Schedule& schedule) {
  const std::vector<TileRun> runs = peak_runs(schedule);
  std::uint64_t highest = 0;
  for (const TileRun& run : runs) {
    highest = std::max<std::uint64_t>(highest, run.bytes.value_or(0));
  }
  const PeakChart chart = peak_chart_for(schedule.tile_count, highest);
  out += fmt::format(R"(<svg class="peak-chart" width="{0}" height="{1}" viewBox="0 0 {0} {1}" role="img" )"
                     R"(aria-label="peak SRAM of each tile">)",
                     px(chart.left + chart.width + 16), px(chart.scale.bottom + 44));
  out += '\n';
  detail::append_byte_grid(out, chart.scale, chart.left, chart.left + chart.width, "y-tick");
  append_peak_bars(out, chart, runs, schedule.tile_count);
  append_tile_axis(out, chart);
  out += "\n</svg>\n";
}

void append_tile_selector(std::string& out, const Schedule& schedule, const std::vector<TileMap>& maps) {
  out += R"(<div class="controls"><label for="tile-select">Tile</label> <select id="tile-select">)";
  out += '\n';
  for (const TileMap& map : maps) {
    const auto peak = schedule.peak_sram.find(map.tile);
    out += fmt::format(R"(<option value="{0}">tile {0}{1}</option>)", map.tile,
                       peak == schedule.peak_sram.end() ? "" : fmt::format(", peak {} B", group_thousands(peak->second)));
    out += '\n';
  }
  // Shown while the map is of a tile without data, which has no option of its own.
  out += R"(<option value="" disabled>a tile without data</option>)";
  out += "\n</select>";
  out += fmt::format(R"(<span class="hint">{} of {} tiles hold data; the others are not listed.</span></div>)",
                     group_thousands(maps.size()), group_thousands(schedule.tile_count));
  out += '\n';
}

std::string transfer_rows(const Graph& graph, const Exchange& exchange) {
  std::string rows = "<thead><tr><th>from</th><th>to</th><th>tensor</th><th>bytes</th></tr></thead><tbody>\n";
  for (const Transfer& transfer : exchange.transfers) {
    rows += fmt::format(R"(<tr><td>tile {}</td><td>tile {}</td><td>{}</td><td class="number">{}</td></tr>)",
                        transfer.source_tile, transfer.destination_tile,
                        xml_escape(tensor_name(graph, transfer.tensor)), group_thousands(transfer.bytes));
    rows += '\n';
  }
  return rows + "</tbody>";
}

std::string command_rows(const Graph& graph, const Compute& compute) {
  std::string rows =
      "<thead><tr><th>tile</th><th>output</th><th>inputs</th><th>kernel</th><th>shape</th><th>workers</th>"
      "<th>role</th></tr></thead><tbody>\n";
  for (const KernelCommand& command : compute.commands) {
    std::string inputs;
    for (const TensorId input : command.inputs) {
      inputs += (inputs.empty() ? "" : ", ") + xml_escape(tensor_name(graph, input));
    }
    const SpecializationKey& key = command.specialization;
    rows += fmt::format(
        R"(<tr><td>tile {}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td class="number">{}</td><td>{}</td></tr>)",
        command.tile, xml_escape(tensor_name(graph, command.output)), inputs, xml_escape(key.operation),
        detail::shape_text(key.shape), key.worker_count, xml_escape(key.role));
    rows += '\n';
  }
  return rows + "</tbody>";
}

// An exchange phase: its transfers and bytes, and a row per transfer.
std::string phase_entry(const Graph& graph, std::uint64_t index, std::string_view description,
                        const Exchange& exchange) {
  std::uint64_t bytes = 0;
  for (const Transfer& transfer : exchange.transfers) {
    bytes += transfer.bytes;
  }
  return fmt::format(
      R"(<details class="phase exchange" data-phase="{0}"><summary><span class="kind">phase {0}</span> )"
      R"({1}: {2} {3}, {4} B</summary><table>{5}</table></details>)",
      index, xml_escape(description), group_thousands(exchange.transfers.size()),
      exchange.transfers.size() == 1 ? "transfer" : "transfers", group_thousands(bytes),
      transfer_rows(graph, exchange));
}

// A compute phase: its operation and commands, and a row per command.
std::string phase_entry(const Graph& graph, std::uint64_t index, std::string_view description,
                        const Compute& compute) {
  const std::string operation =
      compute.op.index < graph.ops.size() ? std::string(operation_name(graph.ops[compute.op.index].kind)) : "";
  return fmt::format(
      R"(<details class="phase compute" data-phase="{0}"><summary><span class="kind">phase {0}</span> )"
      R"({1}{2}: {3} {4}</summary><table>{5}</table></details>)",
      index, xml_escape(description), operation.empty() ? "" : " (" + operation + ")",
      group_thousands(compute.commands.size()), compute.commands.size() == 1 ? "command" : "commands",
      command_rows(graph, compute));
}

void append_phase_list(std::string& out, const Graph& graph, const Schedule& schedule) {
  out += R"(<div class="controls"><input type="search" id="phase-search" )"
         R"(placeholder="Filter: operation, tensor, tile 5, exchange" aria-label="filter the phases">)";
  out += fmt::format(R"( <span id="phase-count" class="hint">{0} of {0} phases</span></div>)",
                     schedule.phases.size());
  out += "\n<div id=\"phase-list\">\n";
  for (std::uint64_t index = 0; index < schedule.phases.size(); ++index) {
    const std::string description = phase_description(graph, schedule, index);
    out += std::visit([&](const auto& body) { return phase_entry(graph, index, description, body); },
                      schedule.phases[index]);
    out += '\n';
  }
  out += "</div>\n";
}

std::string workload_text(const Workload& workload) {
  if (!workload.model.empty()) {
    return fmt::format("model {}", workload.model);
  }
  const EncoderConfig& config = workload.config;
  return fmt::format("encoder, sequence {}, hidden {}, heads {}, feed-forward {}, {} {}", config.sequence,
                     config.hidden, config.heads, config.feed_forward, workload.layers,
                     workload.layers == 1 ? "layer" : "layers");
}

// From the doctype to the end of <head>, with both style sheets.
void append_head(std::string& out, const Workload& workload, const Schedule& schedule) {
  out += R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
)";
  out += fmt::format("<title>Schedule report: {}, {} tiles</title>\n", xml_escape(workload_text(workload)),
                     schedule.tile_count);
  out += "<style>";
  out += detail::report_css;
  out += memory_map_style();
  out += "</style>\n</head>\n";
}

void append_summary_section(std::string& out, const Workload& workload, const CompilerOptions& options,
                            const Graph& graph, const Schedule& schedule) {
  out += "\n<section id=\"summary\"><h2>Summary</h2>\n<pre class=\"summary\">";
  out += xml_escape(schedule_summary(workload, options, schedule, schedule_statistics(graph, schedule)));
  out += "</pre></section>\n";
}

// A section's start: its heading and the hint under it, which is markup already.
void open_section(std::string& out, std::string_view id, std::string_view title, std::string_view hint) {
  out += fmt::format("<section id=\"{}\"><h2>{}</h2>\n<p class=\"hint\">{}</p>\n", id, title, hint);
}

void append_peaks_section(std::string& out, const CompilerOptions& options, const Schedule& schedule) {
  open_section(out, "peaks", "Peak SRAM per tile",
               fmt::format("Highest address in use, above the data base, of each of the {} tiles; the window holds "
                           "{} per tile. Click a bar to see that tile's memory map.",
                           group_thousands(schedule.tile_count), kib_text(detail::window_bytes(options))));
  append_peak_chart(out, schedule);
  out += "</section>\n";
}

// The selector and every map that has data, each in a <template> for the page's script to show.
void append_map_section(std::string& out, const CompilerOptions& options, const Graph& graph,
                        const Schedule& schedule) {
  const std::vector<TileMap> maps = memory_maps(graph, schedule, options, SvgForm::Inline);
  open_section(out, "map-section", "Memory map",
               "Each rectangle is one tensor's piece on the tile, from the phase that first holds it to the last; "
               "hover over it for its name, bytes and lifetime.");
  append_tile_selector(out, schedule, maps);
  out += "<div class=\"scroll\"><div id=\"memory-map\"></div></div>\n";
  for (const TileMap& map : maps) {
    out += fmt::format(R"(<template id="map-tile-{}">)", map.tile);
    out += '\n';
    out += map.svg;
    out += "</template>\n";
  }
  out += "</section>\n";
}

void append_phases_section(std::string& out, const Graph& graph, const Schedule& schedule) {
  open_section(out, "phases", "Phases",
               "Each exchange moves tensor pieces between tiles; each compute phase runs one operation as one "
               "kernel command per tile. Open a phase for its transfers or commands.");
  append_phase_list(out, graph, schedule);
  out += "</section>\n";
}

}  // namespace

std::string report_html(const Workload& workload, const CompilerOptions& options, const Graph& graph,
                        const Schedule& schedule, std::uint16_t tile) {
  std::string out;
  append_head(out, workload, schedule);
  out += fmt::format(R"(<body data-tile-count="{}" data-default-tile="{}">)", schedule.tile_count, tile);
  out += "\n<h1>Schedule report</h1>\n";
  out += fmt::format(R"(<p class="subtitle">{}, compiled for {} tiles</p>)", xml_escape(workload_text(workload)),
                     schedule.tile_count);
  append_summary_section(out, workload, options, graph, schedule);
  append_peaks_section(out, options, schedule);
  append_map_section(out, options, graph, schedule);
  append_phases_section(out, graph, schedule);
  // The script shows the chosen tile's map, keeps the selector, the bars and
  // the address in step, and filters the phase list.
  out += "<script>";
  out += detail::report_js;
  out += "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace orvo_compiler
