// What the pictures of a schedule share: tensors named as they are shown, the
// data window's size, coordinates as text, the SVG elements they are drawn
// with and the spacing of axis ticks. Internal to the views and the trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler::detail {

// The tensor's name, or "tensor N" for an id the graph does not hold.
[[nodiscard]] std::string tensor_name(const Graph& graph, TensorId tensor);

// The bytes between the data base and the data limit; 0 when the limit is not above the base.
[[nodiscard]] std::uint64_t window_bytes(const CompilerOptions& options);

// A coordinate with one decimal: enough for a screen, and the same text every time.
[[nodiscard]] std::string px(double value);

// SVG elements of class `css`. The text of svg_text is written as given, so
// it must be escaped already.
[[nodiscard]] std::string svg_line(std::string_view css, double x1, double y1, double x2, double y2);
[[nodiscard]] std::string svg_rect(std::string_view css, double x, double y, double width, double height);
[[nodiscard]] std::string svg_text(std::string_view css, double x, double y, std::string_view text);

// The first of 1, 2, 5, 10, 20, 50, ... units whose ticks lie at least
// `min_gap` pixels apart when one unit is `unit_width` pixels wide.
[[nodiscard]] std::uint64_t unit_tick_step(double unit_width, double min_gap);

// An upward axis of bytes: 0 at `bottom`, `top_bytes` at `height` pixels
// above it, a tick every `step` bytes.
struct ByteScale {
  double bottom = 0;
  double height = 0;
  std::uint64_t top_bytes = 1;
  std::uint64_t step = 16;

  [[nodiscard]] double y(std::uint64_t bytes) const;
};

// A grid line from `left` to `right` at every tick of `scale`, each labelled
// in KiB just left of `left` by a text of class `label_class`.
void append_byte_grid(std::string& out, const ByteScale& scale, double left, double right,
                      std::string_view label_class);

}  // namespace orvo_compiler::detail
