// The drawing helpers the memory map, the report and the trace share, and the
// byte axis's tick step.
#include "views/drawing.hpp"

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace detail {

std::string tensor_name(const Graph& graph, TensorId tensor) {
  return tensor.index < graph.tensors.size() ? graph.tensors[tensor.index].name
                                             : fmt::format("tensor {}", tensor.index);
}

std::uint64_t window_bytes(const CompilerOptions& options) {
  return options.data_limit > options.data_base ? std::uint64_t{options.data_limit} - options.data_base : 0;
}

std::string px(double value) { return fmt::format("{:.1f}", value); }

std::string svg_line(std::string_view css, double x1, double y1, double x2, double y2) {
  return fmt::format(R"(<line class="{}" x1="{}" y1="{}" x2="{}" y2="{}"/>)", css, px(x1), px(y1), px(x2), px(y2));
}

std::string svg_rect(std::string_view css, double x, double y, double width, double height) {
  return fmt::format(R"(<rect class="{}" x="{}" y="{}" width="{}" height="{}"/>)", css, px(x), px(y), px(width),
                     px(height));
}

std::string svg_text(std::string_view css, double x, double y, std::string_view text) {
  return fmt::format(R"(<text class="{}" x="{}" y="{}">{}</text>)", css, px(x), px(y), text);
}

std::uint64_t unit_tick_step(double unit_width, double min_gap) {
  std::uint64_t step = 1;
  for (int i = 0; step < (std::uint64_t{1} << 60); ++i) {
    if (static_cast<double>(step) * unit_width >= min_gap) {
      return step;
    }
    step = i % 3 == 1 ? step / 2 * 5 : step * 2;
  }
  return step;
}

double ByteScale::y(std::uint64_t bytes) const {
  return bottom - static_cast<double>(bytes) / static_cast<double>(top_bytes) * height;
}

void append_byte_grid(std::string& out, const ByteScale& scale, double left, double right,
                      std::string_view label_class) {
  for (std::uint64_t bytes = 0; bytes <= scale.top_bytes; bytes += scale.step) {
    const double y = scale.y(bytes);
    out += svg_line("grid", left, y, right, y);
    out += svg_text(label_class, left - 6, y + 4, kib_text(bytes));
    out += '\n';
  }
}

}  // namespace detail

std::uint64_t byte_tick_step(std::uint64_t span, std::uint64_t max_ticks) {
  std::uint64_t step = 16;
  while (step < (std::uint64_t{1} << 62) && span / step > max_ticks) {
    step *= 2;
  }
  return step;
}

}  // namespace orvo_compiler
