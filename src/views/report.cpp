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

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

// One bar per tile up to this many tiles; beyond, one bar per run of equal peak.
constexpr std::uint32_t max_single_bars = 256;

std::string px(double value) { return fmt::format("{:.1f}", value); }

std::string tensor_name(const Graph& graph, TensorId tensor) {
  return tensor.index < graph.tensors.size() ? graph.tensors[tensor.index].name
                                             : fmt::format("tensor {}", tensor.index);
}

std::string shape_text(const Shape& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text += fmt::format("{}{}", i == 0 ? "" : ", ", shape[i]);
  }
  return text + "]";
}

constexpr std::string_view page_style = R"(
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; color: #1d2430; margin: 24px 32px;
       background: #f4f5f8; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 0 0 10px; }
section { background: #ffffff; border: 1px solid #dde1e8; border-radius: 6px; padding: 16px 20px; margin: 16px 0; }
.subtitle, .hint { color: #4a5261; font-size: 13px; margin: 0 0 10px; }
pre.summary { font-size: 13px; margin: 0; line-height: 1.45; }
.controls { display: flex; gap: 12px; align-items: center; margin-bottom: 10px; font-size: 14px; }
select, input[type=search] { font: inherit; padding: 3px 6px; }
input[type=search] { width: 24em; }
.scroll { overflow: auto; max-height: 90vh; border: 1px solid #eef0f4; }
#memory-map p.empty { color: #4a5261; padding: 24px; margin: 0; }
.peak-chart text { font-size: 11px; fill: #4a5261; }
.peak-chart .y-tick { text-anchor: end; }
.peak-chart .x-tick { text-anchor: middle; }
.peak-chart .axis { stroke: #4a5261; }
.peak-chart .grid { stroke: #e3e6ec; }
.peak-chart .bar { fill: #7d9fd6; cursor: pointer; }
.peak-chart .bar:hover { fill: #4f78bd; }
.peak-chart .bar.selected { fill: #d62728; }
.phase { border-top: 1px solid #eef0f4; padding: 4px 0; font-size: 13px; }
.phase summary { cursor: pointer; padding: 2px 0; }
.phase.exchange summary { color: #2b4c9b; }
.phase .kind { display: inline-block; min-width: 6.5em; font-weight: bold; }
.phase table { border-collapse: collapse; margin: 6px 0 8px 22px; }
.phase th, .phase td { text-align: left; padding: 1px 14px 1px 0; font-size: 12px; }
.phase th { color: #4a5261; font-weight: normal; border-bottom: 1px solid #dde1e8; }
.phase td.number { text-align: right; }
)";

// Shows the chosen tile's map, keeps the selector, the bars and the address in
// step, and filters the phase list.
constexpr std::string_view page_script = R"(
(function () {
  'use strict';
  var body = document.body;
  var tileCount = Number(body.getAttribute('data-tile-count'));
  var select = document.getElementById('tile-select');
  var map = document.getElementById('memory-map');
  var bars = Array.prototype.slice.call(document.querySelectorAll('.peak-chart .bar'));

  function requestedTile() {
    var match = /(?:^#|&)tile=(\d+)/.exec(location.hash) || /(?:^\?|&)tile=(\d+)/.exec(location.search);
    return match ? Number(match[1]) : null;
  }

  function showTile(tile) {
    var template = document.getElementById('map-tile-' + tile);
    while (map.firstChild) {
      map.removeChild(map.firstChild);
    }
    if (template) {
      map.appendChild(template.content.cloneNode(true));
    } else {
      var message = document.createElement('p');
      message.className = 'empty';
      message.textContent = tile < tileCount ? 'Tile ' + tile + ' holds no data.'
                                             : 'There is no tile ' + tile + ': the tiles are 0 to ' + (tileCount - 1) + '.';
      map.appendChild(message);
    }
    map.setAttribute('data-tile', String(tile));
    select.value = template ? String(tile) : '';
    bars.forEach(function (bar) {
      var first = Number(bar.getAttribute('data-first'));
      var last = Number(bar.getAttribute('data-last'));
      bar.classList.toggle('selected', first <= tile && tile <= last);
    });
  }

  function chooseTile(tile) {
    showTile(tile);
    try {
      history.replaceState(null, '', '#tile=' + tile);
    } catch (error) {
      /* Some viewers refuse to change the address of a local file; the map is shown all the same. */
    }
  }

  select.addEventListener('change', function () {
    chooseTile(Number(select.value));
  });
  bars.forEach(function (bar) {
    bar.addEventListener('click', function (event) {
      var first = Number(bar.getAttribute('data-first'));
      var last = Number(bar.getAttribute('data-last'));
      var box = bar.getBoundingClientRect();
      var share = box.width > 0 ? (event.clientX - box.left) / box.width : 0;
      chooseTile(Math.min(last, first + Math.floor(share * (last - first + 1))));
    });
  });
  window.addEventListener('hashchange', function () {
    var tile = requestedTile();
    if (tile !== null) {
      showTile(tile);
    }
  });
  var requested = requestedTile();
  showTile(requested === null ? Number(body.getAttribute('data-default-tile')) : requested);

  var search = document.getElementById('phase-search');
  var count = document.getElementById('phase-count');
  var phases = Array.prototype.slice.call(document.querySelectorAll('#phase-list .phase'));
  function filterPhases() {
    var query = search.value.trim().toLowerCase();
    var shown = 0;
    phases.forEach(function (phase) {
      var headMatches = query === '' || phase.querySelector('summary').textContent.toLowerCase().indexOf(query) >= 0;
      var rowMatches = 0;
      Array.prototype.forEach.call(phase.querySelectorAll('tbody tr'), function (row) {
        var matches = headMatches || row.textContent.toLowerCase().indexOf(query) >= 0;
        row.hidden = !matches;
        rowMatches += matches ? 1 : 0;
      });
      phase.hidden = !(headMatches || rowMatches > 0);
      if (query !== '' && !headMatches && rowMatches > 0) {
        phase.open = true;
      }
      shown += phase.hidden ? 0 : 1;
    });
    count.textContent = shown + ' of ' + phases.length + ' phases';
  }
  search.addEventListener('input', filterPhases);
  var preset = /(?:^#|&)search=([^&]*)/.exec(location.hash);
  if (preset) {
    search.value = decodeURIComponent(preset[1].replace(/\+/g, ' '));
  }
  filterPhases();
})();
)";

void append_peak_chart(std::string& out, const Schedule& schedule) {
  const std::vector<TileRun> runs = peak_runs(schedule);
  std::uint64_t highest = 0;
  for (const TileRun& run : runs) {
    highest = std::max<std::uint64_t>(highest, run.bytes.value_or(0));
  }
  const double left = 76;
  const double top = 12;
  const double height = 200;
  const std::uint32_t tiles = std::max<std::uint32_t>(schedule.tile_count, 1);
  const double width = std::clamp(static_cast<double>(tiles) * 14.0, 320.0, 960.0);
  const double tile_width = width / static_cast<double>(tiles);
  const std::uint64_t step = byte_tick_step(std::max<std::uint64_t>(highest, 1), 5);
  const std::uint64_t scale_top = std::max<std::uint64_t>((highest + step - 1) / step * step, step);
  auto y = [&](std::uint64_t bytes) {
    return top + height - static_cast<double>(bytes) / static_cast<double>(scale_top) * height;
  };

  out += fmt::format(R"(<svg class="peak-chart" width="{0}" height="{1}" viewBox="0 0 {0} {1}" role="img" )"
                     R"(aria-label="peak SRAM of each tile">)",
                     px(left + width + 16), px(top + height + 44));
  out += '\n';
  for (std::uint64_t bytes = 0; bytes <= scale_top; bytes += step) {
    out += fmt::format(R"(<line class="grid" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(left), px(left + width),
                       px(y(bytes)));
    out += fmt::format(R"(<text class="y-tick" x="{}" y="{}">{}</text>)", px(left - 6), px(y(bytes) + 4),
                       kib_text(bytes));
    out += '\n';
  }
  const bool single_bars = schedule.tile_count <= max_single_bars;
  const double gap = single_bars && tile_width >= 4 ? 1.5 : 0;
  auto bar = [&](std::uint16_t first, std::uint16_t last, std::uint32_t bytes) {
    const std::string tiles_text =
        first == last ? fmt::format("tile {}", first) : fmt::format("tiles {}-{}", first, last);
    out += fmt::format(
        R"(<rect class="bar" data-first="{}" data-last="{}" x="{}" y="{}" width="{}" height="{}">)"
        R"(<title>{}: peak {} B</title></rect>)",
        first, last, px(left + static_cast<double>(first) * tile_width + gap / 2), px(y(bytes)),
        px(static_cast<double>(last - first + 1) * tile_width - gap), px(y(0) - y(bytes)), tiles_text,
        group_thousands(bytes));
    out += '\n';
  };
  for (const TileRun& run : runs) {
    if (!run.bytes) {
      continue;
    }
    if (!single_bars) {
      bar(run.first_tile, run.last_tile, *run.bytes);
      continue;
    }
    for (std::uint32_t tile = run.first_tile; tile <= run.last_tile; ++tile) {
      bar(static_cast<std::uint16_t>(tile), static_cast<std::uint16_t>(tile), *run.bytes);
    }
  }
  out += fmt::format(R"(<line class="axis" x1="{0}" y1="{1}" x2="{0}" y2="{2}"/>)", px(left), px(top),
                     px(y(0)));
  out += fmt::format(R"(<line class="axis" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(left), px(left + width),
                     px(y(0)));
  out += '\n';
  // Tile ticks every 1, 2, 5, 10, 20, ... tiles, at least 36 pixels apart.
  std::uint64_t tick = 1;
  for (int i = 0; static_cast<double>(tick) * tile_width < 36; ++i) {
    tick = i % 3 == 1 ? tick / 2 * 5 : tick * 2;
  }
  for (std::uint64_t tile = 0; tile < tiles; tile += tick) {
    out += fmt::format(R"(<text class="x-tick" x="{}" y="{}">{}</text>)",
                       px(left + (static_cast<double>(tile) + 0.5) * tile_width), px(y(0) + 16), tile);
  }
  out += fmt::format(R"(<text class="x-tick" x="{}" y="{}">tile</text>)", px(left + width / 2), px(y(0) + 36));
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
        shape_text(key.shape), key.worker_count, xml_escape(key.role));
    rows += '\n';
  }
  return rows + "</tbody>";
}

void append_phase_list(std::string& out, const Graph& graph, const Schedule& schedule) {
  out += R"(<div class="controls"><input type="search" id="phase-search" )"
         R"(placeholder="Filter: operation, tensor, tile 5, exchange" aria-label="filter the phases">)";
  out += fmt::format(R"( <span id="phase-count" class="hint">{0} of {0} phases</span></div>)",
                     schedule.phases.size());
  out += "\n<div id=\"phase-list\">\n";
  for (std::uint64_t index = 0; index < schedule.phases.size(); ++index) {
    const std::string description = phase_description(graph, schedule, index);
    std::visit(
        [&](const auto& body) {
          using Body = std::decay_t<decltype(body)>;
          if constexpr (std::is_same_v<Body, Exchange>) {
            std::uint64_t bytes = 0;
            for (const Transfer& transfer : body.transfers) {
              bytes += transfer.bytes;
            }
            out += fmt::format(
                R"(<details class="phase exchange" data-phase="{0}"><summary><span class="kind">phase {0}</span> )"
                R"({1}: {2} {3}, {4} B</summary><table>{5}</table></details>)",
                index, xml_escape(description), group_thousands(body.transfers.size()),
                body.transfers.size() == 1 ? "transfer" : "transfers", group_thousands(bytes),
                transfer_rows(graph, body));
          } else {
            const std::string operation =
                body.op.index < graph.ops.size() ? std::string(operation_name(graph.ops[body.op.index].kind)) : "";
            out += fmt::format(
                R"(<details class="phase compute" data-phase="{0}"><summary><span class="kind">phase {0}</span> )"
                R"({1}{2}: {3} {4}</summary><table>{5}</table></details>)",
                index, xml_escape(description), operation.empty() ? "" : " (" + operation + ")",
                group_thousands(body.commands.size()), body.commands.size() == 1 ? "command" : "commands",
                command_rows(graph, body));
          }
        },
        schedule.phases[index]);
    out += '\n';
  }
  out += "</div>\n";
}

std::string workload_text(const Workload& workload) {
  const EncoderConfig& config = workload.config;
  return fmt::format("encoder, sequence {}, hidden {}, heads {}, feed-forward {}, {} {}", config.sequence,
                     config.hidden, config.heads, config.feed_forward, workload.layers,
                     workload.layers == 1 ? "layer" : "layers");
}

}  // namespace

std::string report_html(const Workload& workload, const CompilerOptions& options, const Graph& graph,
                        const Schedule& schedule, std::uint16_t tile) {
  const ScheduleStatistics statistics = schedule_statistics(graph, schedule);
  const std::vector<TileMap> maps = memory_maps(graph, schedule, options, SvgForm::Inline);

  std::string out = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
)";
  out += fmt::format("<title>Schedule report: {}, {} tiles</title>\n", xml_escape(workload_text(workload)),
                     schedule.tile_count);
  out += "<style>";
  out += page_style;
  out += memory_map_style();
  out += "</style>\n</head>\n";
  out += fmt::format(R"(<body data-tile-count="{}" data-default-tile="{}">)", schedule.tile_count, tile);
  out += "\n<h1>Schedule report</h1>\n";
  out += fmt::format(R"(<p class="subtitle">{}, compiled for {} tiles</p>)", xml_escape(workload_text(workload)),
                     schedule.tile_count);
  out += "\n<section id=\"summary\"><h2>Summary</h2>\n<pre class=\"summary\">";
  out += xml_escape(schedule_summary(workload, options, schedule, statistics));
  out += "</pre></section>\n";

  out += "<section id=\"peaks\"><h2>Peak SRAM per tile</h2>\n";
  out += fmt::format(
      R"(<p class="hint">Highest address in use, above the data base, of each of the {} tiles; the window holds {} per tile. )"
      R"(Click a bar to see that tile's memory map.</p>)",
      group_thousands(schedule.tile_count),
      kib_text(options.data_limit > options.data_base ? std::uint64_t{options.data_limit} - options.data_base : 0));
  out += '\n';
  append_peak_chart(out, schedule);
  out += "</section>\n";

  out += "<section id=\"map-section\"><h2>Memory map</h2>\n";
  out += R"(<p class="hint">Each rectangle is one tensor's piece on the tile, from the phase that first holds it )"
         R"(to the last; hover over it for its name, bytes and lifetime.</p>)";
  out += '\n';
  append_tile_selector(out, schedule, maps);
  out += "<div class=\"scroll\"><div id=\"memory-map\"></div></div>\n";
  for (const TileMap& map : maps) {
    out += fmt::format(R"(<template id="map-tile-{}">)", map.tile);
    out += '\n';
    out += map.svg;
    out += "</template>\n";
  }
  out += "</section>\n";

  out += "<section id=\"phases\"><h2>Phases</h2>\n";
  out += R"(<p class="hint">Each exchange moves tensor pieces between tiles; each compute phase runs one )"
         R"(operation as one kernel command per tile. Open a phase for its transfers or commands.</p>)";
  out += '\n';
  append_phase_list(out, graph, schedule);
  out += "</section>\n";

  out += "<script>";
  out += page_script;
  out += "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace orvo_compiler
