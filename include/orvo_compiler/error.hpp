// The library's single error type and the result type every fallible
// operation returns. Nothing in the library throws on bad input.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>

#include <fmt/ostream.h>

namespace orvo_compiler {

// A failure: `Graph` for unacceptable input (graph, options, exchange, tile,
// encoder configuration), `Memory` when a tile's SRAM cannot hold its pieces.
struct CompileError {
  enum class Kind : std::uint8_t { Graph, Memory };

  Kind kind = Kind::Graph;
  std::string message;

  [[nodiscard]] static CompileError graph(std::string message);
  [[nodiscard]] static CompileError memory(std::string message);

  friend bool operator==(const CompileError&, const CompileError&) = default;
};

template <class T>
using Result = std::expected<T, CompileError>;

// Debug renderings: `Graph`, and `Graph("graph has no outputs")`.
std::ostream& operator<<(std::ostream& out, CompileError::Kind kind);
std::ostream& operator<<(std::ostream& out, const CompileError& error);

}  // namespace orvo_compiler

template <>
struct fmt::formatter<orvo_compiler::CompileError::Kind> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::CompileError> : fmt::ostream_formatter {};
