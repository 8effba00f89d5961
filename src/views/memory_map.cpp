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

#include "embedded/memory_map_css.hpp"
#include "orvo_compiler/views.hpp"
#include "views/drawing.hpp"

namespace orvo_compiler {
namespace {

using detail::px;
using detail::svg_line;
using detail::svg_rect;
using detail::svg_text;
using detail::tensor_name;

constexpr double margin_left = 84;
constexpr double margin_right = 196;
constexpr double margin_top = 92;
constexpr double margin_bottom = 54;
// Above an off-scale limit: the gap between the top of the scale and the limit line.
constexpr double break_band = 34;
constexpr double label_padding = 3;
// A conservative average advance of the label font, in ems.
constexpr double char_width_em = 0.58;

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

std::string kind_name(const Graph& graph, TensorId tensor) {
  return tensor.index < graph.tensors.size() ? fmt::format("{}", graph.tensors[tensor.index].kind) : "unknown kind";
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
  [[nodiscard]] double right() const { return left + width; }
  [[nodiscard]] double bottom() const { return top + height; }
  [[nodiscard]] double scale_height() const { return limit_off_scale ? height - break_band : height; }
  [[nodiscard]] double x(std::uint64_t phase) const { return left + static_cast<double>(phase) * phase_width(); }
  // Offsets above the data base, from the bottom of the plot to the top of the scale.
  [[nodiscard]] detail::ByteScale scale() const { return {bottom(), scale_height(), scale_top, tick_step}; }
  [[nodiscard]] double y(std::uint64_t offset) const { return scale().y(offset); }
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

// The allocations of one tile as drawn, and the extent they need.
struct TileContents {
  std::vector<Piece> pieces;
  std::uint64_t used = 0;      // the highest byte in use above the data base, or the tile's recorded peak
  std::uint64_t smallest = 0;  // the smallest piece that is not empty
  std::uint64_t columns = 0;   // phases drawn: all of them and one after, and every piece's lifetime
};

TileContents tile_contents(const Schedule& schedule, const CompilerOptions& options, std::uint16_t tile,
                           const std::vector<const Allocation*>& on_tile) {
  TileContents contents;
  for (const Allocation* pointer : on_tile) {
    const Allocation& allocation = *pointer;
    const std::uint64_t offset = allocation.address > options.data_base ? allocation.address - options.data_base : 0;
    contents.pieces.push_back(Piece{&allocation, offset});
    contents.used = std::max(contents.used, offset + allocation.size);
    if (allocation.size > 0 && (contents.smallest == 0 || allocation.size < contents.smallest)) {
      contents.smallest = allocation.size;
    }
  }
  if (const auto peak = schedule.peak_sram.find(tile); peak != schedule.peak_sram.end()) {
    contents.used = std::max<std::uint64_t>(contents.used, peak->second);
  }
  contents.columns = schedule.phases.size() + 1;
  for (const Piece& piece : contents.pieces) {
    contents.columns =
        std::max(contents.columns, std::max(piece.allocation->live_from, piece.allocation->live_until) + 1);
  }
  return contents;
}

// The <svg> element, its style sheet in a document of its own, the background and the title.
void append_start(std::string& out, std::uint16_t tile, const Frame& frame, SvgForm form) {
  const double width = margin_left + frame.width + margin_right;
  const double height = margin_top + frame.height + margin_bottom;
  const std::string size_attributes = fmt::format(R"(width="{0}" height="{1}" viewBox="0 0 {0} {1}")", px(width),
                                                  px(height));
  const std::string label = fmt::format("SRAM map of tile {}", tile);
  switch (form) {
    case SvgForm::Document:
      out += R"(<?xml version="1.0" encoding="UTF-8"?>)";
      out += fmt::format("\n<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"memory-map\" data-tile=\"{}\" {} "
                         "role=\"img\" aria-label=\"{}\">\n",
                         tile, size_attributes, label);
      out += fmt::format("<style>{}</style>\n", memory_map_style());
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
}

void append_subtitle(std::string& out, std::string_view text) {
  out += fmt::format(R"(<text class="subtitle" x="{}" y="44">{}</text>)", px(margin_left), xml_escape(text));
}

// The rest of the map of a tile that has nothing to show: `message` says why.
void append_empty_map(std::string& out, const Frame& frame, const std::string& message) {
  append_subtitle(out, message);
  out += svg_rect("plot", frame.left, frame.top, frame.width, frame.height);
  out += svg_text("empty", frame.left + frame.width / 2, frame.top + frame.height / 2, xml_escape(message));
  out += "\n</svg>\n";
}

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
    out += svg_text("legend", x + 19, y, entry.text);
    out += '\n';
    x += 19 + static_cast<double>(entry.text.size()) * 6.6 + 18;
  }
}

void append_exchanges(std::string& out, const Schedule& schedule, const Frame& frame) {
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    if (std::holds_alternative<Exchange>(schedule.phases[phase])) {
      out += fmt::format(R"(<rect class="exchange" data-phase="{}" x="{}" y="{}" width="{}" height="{}"/>)", phase,
                         px(frame.x(phase)), px(frame.top), px(frame.phase_width()), px(frame.height));
      out += '\n';
    }
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
    out += svg_text("line-label " + label.css, x, label.y + 4, xml_escape(label.text));
    if (!label.detail.empty()) {
      out += svg_text("line-detail", x, label.y + 17, xml_escape(label.detail));
    }
    out += '\n';
  }
}

// The address axis with its grid, broken below the limit when that is off scale.
void append_address_axis(std::string& out, const Frame& frame) {
  detail::append_byte_grid(out, frame.scale(), frame.left, frame.right(), "tick y-tick");
  const double scale_top_y = frame.y(frame.scale_top);
  out += svg_line("axis", frame.left, frame.bottom(), frame.left, scale_top_y);
  if (frame.limit_off_scale) {
    // The break: two slashes across the axis, then the axis again up to the limit.
    const double y = scale_top_y - break_band / 2;
    out += svg_line("axis", frame.left, scale_top_y, frame.left, y + 5);
    out += svg_line("axis", frame.left, y - 5, frame.left, frame.top);
    for (const double shift : {-5.0, 1.0}) {
      out += svg_line("axis-break", frame.left - 7, y + shift + 3, frame.left + 7, y + shift - 3);
    }
    out += '\n';
  }
}

// The phase axis with its ticks at the middle of their columns, and both axes' titles.
void append_phase_axis(std::string& out, const Frame& frame, std::uint64_t data_base) {
  out += svg_line("axis", frame.left, frame.bottom(), frame.right(), frame.bottom());
  out += '\n';
  const std::uint64_t step = detail::unit_tick_step(frame.phase_width(), 30);
  for (std::uint64_t phase = 0; phase < frame.columns; phase += step) {
    const double x = frame.x(phase) + frame.phase_width() / 2;
    out += svg_line("axis", x, frame.bottom(), x, frame.bottom() + 4);
    out += svg_text("tick x-tick", x, frame.bottom() + 17, fmt::format("{}", phase));
    out += '\n';
  }
  out += svg_text("axis-title", frame.left + frame.width / 2, frame.bottom() + 40, "phase");
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

// The lines of the window's base and limit and of the tile's peak, named at the right.
void append_window_lines(std::string& out, const Frame& frame, const CompilerOptions& options,
                         std::uint64_t window, std::uint64_t used) {
  std::vector<LineLabel> labels;
  out += svg_line("base", frame.left, frame.bottom(), frame.right(), frame.bottom());
  labels.push_back({frame.bottom(), "base-label", "data base " + hex_address(options.data_base), ""});
  const double limit_y = frame.limit_off_scale ? frame.top : frame.y(window);
  out += svg_line("limit", frame.left, limit_y, frame.right(), limit_y);
  labels.push_back({limit_y, "limit-label", "data limit " + hex_address(options.data_limit),
                    frame.limit_off_scale ? fmt::format("{} above base, off scale", kib_text(window)) : ""});
  const double peak_y = frame.y(used);
  out += svg_line("peak", frame.left, peak_y, frame.right(), peak_y);
  labels.push_back({peak_y, "peak-label", fmt::format("peak {} ({} B)", kib_text(used), group_thousands(used)), ""});
  out += '\n';
  append_line_labels(out, std::move(labels), frame.right() + 8);
}

// The map of `tile`, given its allocations in schedule order and its live peak.
std::string render_map(const Graph& graph, const Schedule& schedule, const CompilerOptions& options,
                       std::uint16_t tile, const std::vector<const Allocation*>& on_tile, const LivePeak& live,
                       SvgForm form) {
  const std::uint64_t window = detail::window_bytes(options);
  const TileContents contents = tile_contents(schedule, options, tile, on_tile);
  const Frame frame = frame_for(contents.columns, contents.used, window, contents.smallest);
  std::string out;
  append_start(out, tile, frame, form);
  if (tile >= schedule.tile_count) {
    append_empty_map(out, frame, fmt::format("tile {} is not among the {} tiles", tile, schedule.tile_count));
    return out;
  }
  if (contents.pieces.empty()) {
    append_empty_map(out, frame, fmt::format("tile {} holds no data", tile));
    return out;
  }

  append_subtitle(out, subtitle(graph, schedule, live, contents.used, window, contents.pieces.size()));
  out += '\n';
  append_legend(out, margin_left, 70);
  out += svg_rect("plot", frame.left, frame.top, frame.width, frame.height);
  out += '\n';
  append_exchanges(out, schedule, frame);
  append_address_axis(out, frame);
  append_phase_axis(out, frame, options.data_base);
  // The column where the most bytes are live, behind the pieces that fill it.
  out += svg_rect("live-peak", frame.x(live.phase), frame.y(frame.scale_top), frame.phase_width(),
                  frame.scale_height());
  out += '\n';
  for (const Piece& piece : contents.pieces) {
    append_piece(out, graph, schedule, frame, piece);
  }
  append_window_lines(out, frame, options, window, contents.used);
  out += "</svg>\n";
  return out;
}

}  // namespace

std::string_view memory_map_style() { return detail::memory_map_css; }

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
