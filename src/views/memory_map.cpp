// The SRAM map of one tile as SVG: phases across, addresses up, one rectangle
// per allocation. The address scale covers what the tile uses; a data window
// far larger than that is drawn with a break below its limit, so that a few
// kilobytes of data do not shrink to slivers of a half-megabyte window.
// Labels go inside their rectangles and only where they fit: live pieces never
// overlap, so neither do labels, and a crowded map simply shows fewer of them.
#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

constexpr double margin_left = 84;
constexpr double margin_right = 196;
constexpr double margin_top = 92;
constexpr double margin_bottom = 54;
// Above an off-scale limit: the gap between the top of the scale and the limit line.
constexpr double break_band = 34;
constexpr double label_padding = 3;
// A conservative average advance of the label font, in ems.
constexpr double char_width_em = 0.58;

// Coordinates with one decimal: enough for a screen, and the same text every time.
std::string px(double value) { return fmt::format("{:.1f}", value); }

std::string_view kind_class(const Graph& graph, TensorId tensor) {
  if (tensor.index >= graph.tensors.size()) {
    return "unknown";
  }
  switch (graph.tensors[tensor.index].kind) {
    case TensorKind::Input:
      return "input";
    case TensorKind::Weight:
      return "weight";
    case TensorKind::Intermediate:
      return "intermediate";
    case TensorKind::Output:
      return "output";
  }
  return "unknown";
}

std::string tensor_name(const Graph& graph, TensorId tensor) {
  return tensor.index < graph.tensors.size() ? graph.tensors[tensor.index].name
                                             : fmt::format("tensor {}", tensor.index);
}

std::string kind_name(const Graph& graph, TensorId tensor) {
  return tensor.index < graph.tensors.size() ? fmt::format("{}", graph.tensors[tensor.index].kind) : "unknown kind";
}

// 1, 2, 5, 10, 20, 50, ... phases: the first whose ticks lie `min_gap` pixels apart.
std::uint64_t phase_step(double phase_width, double min_gap) {
  std::uint64_t step = 1;
  for (int i = 0; step < (std::uint64_t{1} << 60); ++i) {
    if (static_cast<double>(step) * phase_width >= min_gap) {
      return step;
    }
    step = i % 3 == 1 ? step / 2 * 5 : step * 2;
  }
  return step;
}

// Where the plot sits and how bytes and phases map to pixels.
struct Frame {
  double left = margin_left;
  double top = margin_top;
  double width = 0;
  double height = 0;  // the scale, plus break_band when the limit is off scale
  std::uint64_t columns = 1;
  std::uint64_t scale_top = 1;  // bytes above the data base at the top of the scale
  std::uint64_t tick_step = 16;
  bool limit_off_scale = false;

  [[nodiscard]] double phase_width() const { return width / static_cast<double>(columns); }
  [[nodiscard]] double bottom() const { return top + height; }
  [[nodiscard]] double scale_height() const { return limit_off_scale ? height - break_band : height; }
  [[nodiscard]] double x(std::uint64_t phase) const { return left + static_cast<double>(phase) * phase_width(); }
  // `offset` bytes above the data base.
  [[nodiscard]] double y(std::uint64_t offset) const {
    return bottom() - static_cast<double>(offset) / static_cast<double>(scale_top) * scale_height();
  }
};

Frame frame_for(std::uint64_t columns, std::uint64_t used, std::uint64_t window, std::uint64_t smallest) {
  Frame frame;
  frame.columns = std::max<std::uint64_t>(columns, 1);
  frame.width = std::clamp(static_cast<double>(frame.columns) * 48.0, 560.0, 1600.0);

  // Use the window's whole height once the data fills three quarters of it.
  frame.limit_off_scale = used > 0 && used * 4 < window * 3;
  const std::uint64_t wanted = frame.limit_off_scale ? used + used / 7 : std::max(window, used);
  // About 16 pixels for the smallest piece, so that its name fits.
  const double rows = static_cast<double>(wanted) / static_cast<double>(std::max<std::uint64_t>(smallest, 1));
  const double scale_height = std::clamp(rows * 16.0, 300.0, 2400.0);
  frame.height = scale_height + (frame.limit_off_scale ? break_band : 0.0);
  frame.tick_step = byte_tick_step(std::max<std::uint64_t>(wanted, 1), static_cast<std::uint64_t>(scale_height / 40.0));
  frame.scale_top = std::max<std::uint64_t>(wanted, 1);
  if (frame.limit_off_scale) {
    // End the scale on a tick.
    frame.scale_top = (wanted + frame.tick_step - 1) / frame.tick_step * frame.tick_step;
    if (frame.scale_top >= window) {
      frame.scale_top = window;
      frame.limit_off_scale = false;
      frame.height = scale_height;
    }
  }
  return frame;
}

struct Piece {
  const Allocation* allocation;
  std::uint64_t offset;  // bytes above the data base
};

void append_style(std::string& out) { out += fmt::format("<style>{}</style>\n", memory_map_style()); }

void append_legend(std::string& out, double x, double y) {
  const struct {
    std::string_view css;
    std::string_view text;
  } entries[] = {
      {"input", "input"},
      {"weight", "weight"},
      {"intermediate", "intermediate"},
      {"output", "output"},
      {"exchange", "exchange phase"},
      {"live-peak", "most bytes live"},
  };
  for (const auto& entry : entries) {
    out += fmt::format(R"(<rect class="swatch {}" x="{}" y="{}" width="14" height="12"/>)", entry.css, px(x),
                       px(y - 10));
    out += fmt::format(R"(<text class="legend" x="{}" y="{}">{}</text>)", px(x + 19), px(y), entry.text);
    out += '\n';
    x += 19 + static_cast<double>(entry.text.size()) * 6.6 + 18;
  }
}

// Right-hand labels of the horizontal lines, moved apart where they would collide.
struct LineLabel {
  double y;
  std::string css;
  std::string text;
  std::string detail;  // a second, smaller line; may be empty
};

void append_line_labels(std::string& out, std::vector<LineLabel> labels, double x) {
  std::sort(labels.begin(), labels.end(), [](const LineLabel& a, const LineLabel& b) { return a.y < b.y; });
  for (std::size_t i = 1; i < labels.size(); ++i) {
    const double above = labels[i - 1].detail.empty() ? 14 : 27;
    labels[i].y = std::max(labels[i].y, labels[i - 1].y + above);
  }
  for (const LineLabel& label : labels) {
    out += fmt::format(R"(<text class="line-label {}" x="{}" y="{}">{}</text>)", label.css, px(x), px(label.y + 4),
                       xml_escape(label.text));
    if (!label.detail.empty()) {
      out += fmt::format(R"(<text class="line-detail" x="{}" y="{}">{}</text>)", px(x), px(label.y + 17),
                         xml_escape(label.detail));
    }
    out += '\n';
  }
}

void append_axes(std::string& out, const Frame& frame, std::uint64_t data_base) {
  // Address ticks and grid.
  for (std::uint64_t offset = 0; offset <= frame.scale_top; offset += frame.tick_step) {
    const double y = frame.y(offset);
    out += fmt::format(R"(<line class="grid" x1="{}" y1="{}" x2="{}" y2="{}"/>)", px(frame.left), px(y),
                       px(frame.left + frame.width), px(y));
    out += fmt::format(R"(<text class="tick y-tick" x="{}" y="{}">{}</text>)", px(frame.left - 6), px(y + 4),
                       kib_text(offset));
    out += '\n';
  }
  const double scale_top_y = frame.y(frame.scale_top);
  out += fmt::format(R"(<line class="axis" x1="{0}" y1="{1}" x2="{0}" y2="{2}"/>)", px(frame.left),
                     px(frame.bottom()), px(scale_top_y));
  if (frame.limit_off_scale) {
    // The break: two slashes across the axis, then the axis again up to the limit.
    const double y = scale_top_y - break_band / 2;
    out += fmt::format(R"(<line class="axis" x1="{0}" y1="{1}" x2="{0}" y2="{2}"/>)", px(frame.left),
                       px(scale_top_y), px(y + 5));
    out += fmt::format(R"(<line class="axis" x1="{0}" y1="{1}" x2="{0}" y2="{2}"/>)", px(frame.left), px(y - 5),
                       px(frame.top));
    for (const double shift : {-5.0, 1.0}) {
      out += fmt::format(R"(<line class="axis-break" x1="{}" y1="{}" x2="{}" y2="{}"/>)", px(frame.left - 7),
                         px(y + shift + 3), px(frame.left + 7), px(y + shift - 3));
    }
    out += '\n';
  }
  out += fmt::format(R"(<line class="axis" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(frame.left),
                     px(frame.left + frame.width), px(frame.bottom()));
  out += '\n';

  // Phase ticks at the middle of their columns.
  const std::uint64_t step = phase_step(frame.phase_width(), 30);
  for (std::uint64_t phase = 0; phase < frame.columns; phase += step) {
    const double x = frame.x(phase) + frame.phase_width() / 2;
    out += fmt::format(R"(<line class="axis" x1="{0}" y1="{1}" x2="{0}" y2="{2}"/>)", px(x), px(frame.bottom()),
                       px(frame.bottom() + 4));
    out += fmt::format(R"(<text class="tick x-tick" x="{}" y="{}">{}</text>)", px(x), px(frame.bottom() + 17),
                       phase);
    out += '\n';
  }
  out += fmt::format(R"(<text class="axis-title" x="{}" y="{}">phase</text>)", px(frame.left + frame.width / 2),
                     px(frame.bottom() + 40));
  out += fmt::format(
      R"svg(<text class="axis-title" transform="translate({},{}) rotate(-90)">address above data base {}</text>)svg",
      px(18), px(frame.top + frame.height / 2), hex_address(data_base));
  out += '\n';
}

// The tooltip: the full name and kind, the bytes and where they lie, the lifetime.
std::string piece_title(const Graph& graph, const Schedule& schedule, const Allocation& allocation) {
  const std::string where =
      allocation.size == 0 ? fmt::format("0 B at {}", hex_address(allocation.address))
                           : fmt::format("{} B at {} to {}", group_thousands(allocation.size),
                                         hex_address(allocation.address),
                                         hex_address(std::uint64_t{allocation.address} + allocation.size - 1));
  const std::string lifetime =
      allocation.live_from == allocation.live_until
          ? fmt::format("live at phase {} ({})", allocation.live_from,
                        phase_description(graph, schedule, allocation.live_from))
          : fmt::format("live from phase {} ({}) to phase {} ({})", allocation.live_from,
                        phase_description(graph, schedule, allocation.live_from), allocation.live_until,
                        phase_description(graph, schedule, allocation.live_until));
  return fmt::format("{} ({})\n{}\n{}", tensor_name(graph, allocation.tensor),
                     kind_name(graph, allocation.tensor), where, lifetime);
}

void append_piece(std::string& out, const Graph& graph, const Schedule& schedule, const Frame& frame,
                  const Piece& piece) {
  const Allocation& allocation = *piece.allocation;
  const double x = frame.x(allocation.live_from);
  const std::uint64_t until = std::max(allocation.live_until, allocation.live_from);
  const double width = static_cast<double>(until - allocation.live_from + 1) * frame.phase_width();
  const double top = frame.y(piece.offset + allocation.size);
  // A piece of a few bytes is still drawn, one pixel high.
  const double height = std::max(frame.y(piece.offset) - top, 1.0);
  out += fmt::format(R"(<g><title>{}</title>)", xml_escape(piece_title(graph, schedule, allocation)));
  out += fmt::format(R"(<rect class="allocation {}" data-tensor="{}" x="{}" y="{}" width="{}" height="{}"/>)",
                     kind_class(graph, allocation.tensor), allocation.tensor.index, px(x), px(top), px(width),
                     px(height));

  const std::string name = tensor_name(graph, allocation.tensor);
  for (const double font : {11.0, 9.0}) {
    const double text_width = static_cast<double>(name.size()) * font * char_width_em;
    if (text_width + 2 * label_padding <= width && font + 2 <= height) {
      out += fmt::format(R"(<text class="label" x="{}" y="{}" font-size="{}">{}</text>)", px(x + label_padding),
                         px(top + height / 2 + font * 0.36), px(font), xml_escape(name));
      break;
    }
  }
  out += "</g>\n";
}

std::string subtitle(const Graph& graph, const Schedule& schedule, const LivePeak& live, std::uint64_t used,
                     std::uint64_t window, std::size_t pieces) {
  const double percent = window == 0 ? 0.0 : 100.0 * static_cast<double>(used) / static_cast<double>(window);
  return fmt::format("peak {} B, {:.1f}% of the {} B window; most bytes live: {} B at phase {} ({}); {} {}",
                     group_thousands(used), percent, group_thousands(window), group_thousands(live.bytes),
                     live.phase, phase_description(graph, schedule, live.phase), group_thousands(pieces),
                     pieces == 1 ? "allocation" : "allocations");
}


// The map of `tile`, given its allocations in schedule order and its live peak.
std::string render_map(const Graph& graph, const Schedule& schedule, const CompilerOptions& options,
                       std::uint16_t tile, const std::vector<const Allocation*>& on_tile, const LivePeak& live,
                       SvgForm form) {
  const std::uint64_t window =
      options.data_limit > options.data_base ? std::uint64_t{options.data_limit} - options.data_base : 0;
  std::vector<Piece> pieces;
  std::uint64_t used = 0;
  std::uint64_t smallest = 0;
  for (const Allocation* pointer : on_tile) {
    const Allocation& allocation = *pointer;
    const std::uint64_t offset = allocation.address > options.data_base ? allocation.address - options.data_base : 0;
    pieces.push_back(Piece{&allocation, offset});
    used = std::max(used, offset + allocation.size);
    if (allocation.size > 0 && (smallest == 0 || allocation.size < smallest)) {
      smallest = allocation.size;
    }
  }
  if (const auto peak = schedule.peak_sram.find(tile); peak != schedule.peak_sram.end()) {
    used = std::max<std::uint64_t>(used, peak->second);
  }
  std::uint64_t columns = schedule.phases.size() + 1;
  for (const Piece& piece : pieces) {
    columns = std::max(columns, std::max(piece.allocation->live_from, piece.allocation->live_until) + 1);
  }
  const Frame frame = frame_for(columns, used, window, smallest);
  const double width = margin_left + frame.width + margin_right;
  const double height = margin_top + frame.height + margin_bottom;

  std::string out;
  const std::string size_attributes = fmt::format(R"(width="{0}" height="{1}" viewBox="0 0 {0} {1}")", px(width),
                                                  px(height));
  const std::string label = fmt::format("SRAM map of tile {}", tile);
  switch (form) {
    case SvgForm::Document:
      out += R"(<?xml version="1.0" encoding="UTF-8"?>)";
      out += fmt::format("\n<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"memory-map\" data-tile=\"{}\" {} "
                         "role=\"img\" aria-label=\"{}\">\n",
                         tile, size_attributes, label);
      append_style(out);
      break;
    case SvgForm::Inline:
      out += fmt::format(R"(<svg class="memory-map" data-tile="{}" {} role="img" aria-label="{}">)", tile,
                         size_attributes, label);
      out += '\n';
      break;
  }
  out += fmt::format(R"(<rect class="background" x="0" y="0" width="{}" height="{}"/>)", px(width), px(height));
  out += fmt::format(R"(<text class="title" x="{}" y="24">SRAM of tile {}, phase by phase</text>)", px(margin_left),
                     tile);
  out += '\n';

  if (tile >= schedule.tile_count || pieces.empty()) {
    const std::string message = tile >= schedule.tile_count
                                    ? fmt::format("tile {} is not among the {} tiles", tile, schedule.tile_count)
                                    : fmt::format("tile {} holds no data", tile);
    out += fmt::format(R"(<text class="subtitle" x="{}" y="44">{}</text>)", px(margin_left), xml_escape(message));
    out += fmt::format(R"(<rect class="plot" x="{}" y="{}" width="{}" height="{}"/>)", px(frame.left),
                       px(frame.top), px(frame.width), px(frame.height));
    out += fmt::format(R"(<text class="empty" x="{}" y="{}">{}</text>)", px(frame.left + frame.width / 2),
                       px(frame.top + frame.height / 2), xml_escape(message));
    out += "\n</svg>\n";
    return out;
  }

  out += fmt::format(R"(<text class="subtitle" x="{}" y="44">{}</text>)", px(margin_left),
                     xml_escape(subtitle(graph, schedule, live, used, window, pieces.size())));
  out += '\n';
  append_legend(out, margin_left, 70);
  out += fmt::format(R"(<rect class="plot" x="{}" y="{}" width="{}" height="{}"/>)", px(frame.left), px(frame.top),
                     px(frame.width), px(frame.height));
  out += '\n';
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    if (std::holds_alternative<Exchange>(schedule.phases[phase])) {
      out += fmt::format(R"(<rect class="exchange" data-phase="{}" x="{}" y="{}" width="{}" height="{}"/>)", phase,
                         px(frame.x(phase)), px(frame.top), px(frame.phase_width()), px(frame.height));
      out += '\n';
    }
  }
  append_axes(out, frame, options.data_base);

  // The column where the most bytes are live, behind the pieces that fill it.
  out += fmt::format(R"(<rect class="live-peak" x="{}" y="{}" width="{}" height="{}"/>)", px(frame.x(live.phase)),
                     px(frame.y(frame.scale_top)), px(frame.phase_width()), px(frame.scale_height()));
  out += '\n';
  for (const Piece& piece : pieces) {
    append_piece(out, graph, schedule, frame, piece);
  }

  // The window's base and limit and the tile's peak.
  const double right = frame.left + frame.width;
  std::vector<LineLabel> labels;
  out += fmt::format(R"(<line class="base" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(frame.left), px(right),
                     px(frame.bottom()));
  labels.push_back({frame.bottom(), "base-label", "data base " + hex_address(options.data_base), ""});
  const double limit_y = frame.limit_off_scale ? frame.top : frame.y(window);
  out += fmt::format(R"(<line class="limit" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(frame.left), px(right),
                     px(limit_y));
  labels.push_back({limit_y, "limit-label", "data limit " + hex_address(options.data_limit),
                    frame.limit_off_scale ? fmt::format("{} above base, off scale", kib_text(window)) : ""});
  const double peak_y = frame.y(used);
  out += fmt::format(R"(<line class="peak" x1="{0}" y1="{2}" x2="{1}" y2="{2}"/>)", px(frame.left), px(right),
                     px(peak_y));
  labels.push_back({peak_y, "peak-label", fmt::format("peak {} ({} B)", kib_text(used), group_thousands(used)), ""});
  out += '\n';
  append_line_labels(out, std::move(labels), right + 8);
  out += "</svg>\n";
  return out;
}

}  // namespace

std::uint64_t byte_tick_step(std::uint64_t span, std::uint64_t max_ticks) {
  std::uint64_t step = 16;
  while (step < (std::uint64_t{1} << 62) && span / step > max_ticks) {
    step *= 2;
  }
  return step;
}

std::string_view memory_map_style() {
  return R"(
.memory-map text { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; fill: #1d2430; }
.memory-map .background { fill: #ffffff; }
.memory-map .plot { fill: #fbfbfd; }
.memory-map .title { font-size: 15px; font-weight: bold; }
.memory-map .subtitle { font-size: 12px; fill: #4a5261; }
.memory-map .legend { font-size: 11px; }
.memory-map .tick { font-size: 11px; fill: #4a5261; }
.memory-map .y-tick { text-anchor: end; }
.memory-map .x-tick { text-anchor: middle; }
.memory-map .axis-title { font-size: 12px; text-anchor: middle; fill: #4a5261; }
.memory-map .axis { stroke: #4a5261; stroke-width: 1; }
.memory-map .axis-break { stroke: #4a5261; stroke-width: 1.5; }
.memory-map .grid { stroke: #e3e6ec; stroke-width: 1; }
.memory-map .exchange { fill: #dfe4f2; }
.memory-map .live-peak { fill: #eee5ff; stroke: #8a3ffc; stroke-width: 1.5; stroke-dasharray: 4 3; }
.memory-map .allocation { stroke: #ffffff; stroke-width: 0.75; }
.memory-map .allocation:hover { stroke: #1d2430; stroke-width: 1.5; }
.memory-map .input { fill: #8fb8e3; }
.memory-map .weight { fill: #f7b56b; }
.memory-map .intermediate { fill: #93cf86; }
.memory-map .output { fill: #f08f8c; }
.memory-map .unknown { fill: #c4c8d0; }
.memory-map .swatch.exchange { stroke: #b9c2dc; stroke-width: 0.75; }
.memory-map .label { pointer-events: none; }
.memory-map .base, .memory-map .limit { stroke: #1d2430; stroke-width: 1.5; }
.memory-map .peak { stroke: #d62728; stroke-width: 1.5; stroke-dasharray: 6 3; }
.memory-map .line-label { font-size: 11px; font-weight: bold; }
.memory-map .line-detail { font-size: 10px; fill: #4a5261; }
.memory-map .peak-label { fill: #b01c1d; }
.memory-map .empty { font-size: 14px; text-anchor: middle; fill: #4a5261; }
)";
}


std::string memory_map_svg(const Graph& graph, const Schedule& schedule, const CompilerOptions& options,
                           std::uint16_t tile, SvgForm form) {
  std::vector<const Allocation*> on_tile;
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile) {
      on_tile.push_back(&allocation);
    }
  }
  return render_map(graph, schedule, options, tile, on_tile, live_peak(schedule, tile), form);
}

std::vector<TileMap> memory_maps(const Graph& graph, const Schedule& schedule, const CompilerOptions& options,
                                 SvgForm form) {
  std::vector<std::vector<const Allocation*>> by_tile(schedule.tile_count);
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile < by_tile.size()) {
      by_tile[allocation.tile].push_back(&allocation);
    }
  }
  const std::vector<LivePeak> live = live_peaks(schedule);
  std::vector<TileMap> maps;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (!by_tile[tile].empty()) {
      const auto tile16 = static_cast<std::uint16_t>(tile);
      maps.push_back(TileMap{tile16, render_map(graph, schedule, options, tile16, by_tile[tile], live[tile], form)});
    }
  }
  return maps;
}

}  // namespace orvo_compiler
