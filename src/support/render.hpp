// Internal helpers for the debug renderings and message texts.
#pragma once

#include <cstdint>
#include <ostream>
#include <ranges>
#include <string>
#include <type_traits>

#include <fmt/format.h>

#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::detail {

// Renders one value; 8-bit integers print as numbers, not characters, and
// booleans as `true` or `false`.
template <class T>
void render_value(std::ostream& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out << (value ? "true" : "false");
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    out << static_cast<unsigned>(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    out << '"' << value << '"';
  } else {
    out << value;
  }
}

// Renders a list as `[a, b, c]`.
template <class Range>
void render_list(std::ostream& out, const Range& items) {
  out << '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) {
      out << ", ";
    }
    first = false;
    render_value(out, item);
  }
  out << ']';
}

// Renders a field of a record: a list as `[a, b, c]`, anything else as a value.
template <class T>
void render_field(std::ostream& out, const T& value) {
  if constexpr (std::ranges::range<T> && !std::is_same_v<T, std::string>) {
    render_list(out, value);
  } else {
    render_value(out, value);
  }
}

// A shape as messages write it: `[4, 8]`, the empty shape `[]`.
inline std::string shape_text(const Shape& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

}  // namespace orvo_compiler::detail
