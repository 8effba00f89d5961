// Bindings of commands.hpp: the command kinds, the positions of a command's
// words, and a tile's stream in wire form.
#include <cstdint>
#include <vector>

#include "bindings.hpp"
#include "orvo_compiler/commands.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// The namespace command_word as a class of constants: command_word.phase.
struct CommandWords {};

}  // namespace

py::bytes wire_bytes(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void bind_commands(py::module_& module) {
  bind_enum<CommandKind>(module, "CommandKind", "Word 0 of every command.")
      .value("Exchange", CommandKind::Exchange)
      .value("Compute", CommandKind::Compute)
      .value("End", CommandKind::End);

  py::class_<CommandWords> words(module, "command_word",
                                 "Positions of the words in an encoded command (its row of eight words).");
  words.attr("kind") = command_word::kind;
  words.attr("phase") = command_word::phase;
  words.attr("source_tile") = command_word::source_tile;
  words.attr("destination_tile") = command_word::destination_tile;
  words.attr("tensor") = command_word::tensor;
  words.attr("bytes") = command_word::bytes;
  words.attr("op") = command_word::op;
  words.attr("output") = command_word::output;
  words.attr("input_count") = command_word::input_count;
  words.attr("first_input") = command_word::first_input;

  module.def(
      "tile_stream_bytes",
      [](const Schedule& schedule, std::uint16_t tile) {
        return wire_bytes(value_or_raise(tile_stream_bytes(schedule, tile)));
      },
      "schedule"_a, "tile"_a,
      "A tile's stream in wire form, 32 little-endian bytes per command; CompileError "
      "'tile {t} is out of range' past tile_count.");
}

}  // namespace orvo_compiler::python
