// Bindings of schedule.hpp: the target options, the records of a compiled
// schedule, and the Schedule itself, which keeps its records in C++ and
// converts them only when a property is read.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/operators.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "orvo_compiler/commands.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// Equality and the library's debug rendering, which every record has.
template <class Record>
py::class_<Record> bind_record(py::module_& module, const char* name, const char* doc) {
  py::class_<Record> type(module, name, doc);
  type.def(py::self == py::self).def(py::self != py::self).def("__repr__", &debug_text<Record>);
  return type;
}

void bind_options(py::module_& module) {
  auto options = bind_record<CompilerOptions>(
      module, "CompilerOptions",
      "The target: tiles 0..tile_count-1, each with the data window [data_base, data_limit) of its SRAM.");
  options.def(py::init([](std::uint16_t tile_count, std::uint32_t data_base, std::uint32_t data_limit) {
                return CompilerOptions{tile_count, data_base, data_limit};
              }),
              "tile_count"_a = CompilerOptions{}.tile_count, "data_base"_a = CompilerOptions{}.data_base,
              "data_limit"_a = CompilerOptions{}.data_limit, record_init_doc);
  def_field(options, "tile_count", &CompilerOptions::tile_count, "Number of tiles (at least 1 to compile).");
  def_field(options, "data_base", &CompilerOptions::data_base, "First byte of each tile's data window.");
  def_field(options, "data_limit", &CompilerOptions::data_limit, "One past the last byte of the data window.");
}

void bind_placement(py::module_& module) {
  bind_enum<Sharding>(module, "Sharding", "How a layout splits a tensor over its tiles.")
      .value("Replicated", Sharding::Replicated)
      .value("Rows", Sharding::Rows)
      .value("Columns", Sharding::Columns)
      .value("Heads", Sharding::Heads);

  auto layout = bind_record<Layout>(module, "Layout", "Placement of one tensor: every tile holds the same share.");
  layout.def(py::init([](TensorId tensor, std::vector<std::uint16_t> tiles, Sharding how, std::uint32_t alignment) {
               return Layout{tensor, std::move(tiles), how, alignment};
             }),
             "tensor"_a = TensorId{}, "tiles"_a = std::vector<std::uint16_t>{}, "sharding"_a = Sharding::Replicated,
             "alignment"_a = Layout{}.alignment, record_init_doc);
  def_field(layout, "tensor", &Layout::tensor, "The tensor placed.");
  def_field(layout, "tiles", &Layout::tiles, "The tiles holding a share, in order.");
  def_field(layout, "sharding", &Layout::sharding, "How the tensor is split.");
  def_field(layout, "alignment", &Layout::alignment, "Address alignment of every share.");

  auto allocation =
      bind_record<Allocation>(module, "Allocation",
                              "One tensor piece in one tile's SRAM: bytes [address, address + size), live at the "
                              "phases live_from..live_until inclusive.");
  allocation.def(py::init([](TensorId tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                             std::uint64_t live_from, std::uint64_t live_until) {
                   return Allocation{tensor, tile, address, size, live_from, live_until};
                 }),
                 "tensor"_a = TensorId{}, "tile"_a = 0, "address"_a = 0, "size"_a = 0, "live_from"_a = 0,
                 "live_until"_a = 0, record_init_doc);
  def_field(allocation, "tensor", &Allocation::tensor, "The tensor the piece belongs to.");
  def_field(allocation, "tile", &Allocation::tile, "The tile holding it.");
  def_field(allocation, "address", &Allocation::address, "Its first byte.");
  def_field(allocation, "size", &Allocation::size, "Its bytes.");
  def_field(allocation, "live_from", &Allocation::live_from, "The first phase it is live at.");
  def_field(allocation, "live_until", &Allocation::live_until, "The last phase it is live at.");
}

void bind_exchange(py::module_& module) {
  auto transfer = bind_record<Transfer>(module, "Transfer", "One copy of a tensor's per-tile share between tiles.");
  transfer.def(
      py::init([](std::uint16_t source_tile, std::uint16_t destination_tile, TensorId tensor, std::uint32_t bytes) {
        return Transfer{source_tile, destination_tile, tensor, bytes};
      }),
      "source_tile"_a = 0, "destination_tile"_a = 0, "tensor"_a = TensorId{}, "bytes"_a = 0, record_init_doc);
  def_field(transfer, "source_tile", &Transfer::source_tile, "The sending tile.");
  def_field(transfer, "destination_tile", &Transfer::destination_tile, "The receiving tile.");
  def_field(transfer, "tensor", &Transfer::tensor, "The tensor whose share moves.");
  def_field(transfer, "bytes", &Transfer::bytes, "The bytes moved.");

  auto exchange = bind_record<Exchange>(module, "Exchange", "A phase of data movement: all transfers in one epoch.");
  exchange.def(py::init([](std::vector<Transfer> transfers) { return Exchange{std::move(transfers)}; }),
               "transfers"_a = std::vector<Transfer>{}, record_init_doc);
  def_field(exchange, "transfers", &Exchange::transfers, "The transfers of the epoch.");
}

void bind_compute(py::module_& module) {
  auto key = bind_record<SpecializationKey>(module, "SpecializationKey", "The kernel variant one command needs.");
  key.def(py::init([](std::string operation, Shape shape, std::uint8_t worker_count, std::string role,
                      std::uint32_t alignment) {
            return SpecializationKey{std::move(operation), std::move(shape), worker_count, std::move(role), alignment};
          }),
          "operation"_a = "", "shape"_a = Shape{}, "worker_count"_a = SpecializationKey{}.worker_count, "role"_a = "",
          "alignment"_a = SpecializationKey{}.alignment, record_init_doc);
  def_field(key, "operation", &SpecializationKey::operation, "The operation's name (\"matmul\", ...).");
  def_field(key, "shape", &SpecializationKey::shape, "The output tensor's shape.");
  def_field(key, "worker_count", &SpecializationKey::worker_count, "Worker threads the kernel uses.");
  def_field(key, "role", &SpecializationKey::role, "The tile's role in the operation.");
  def_field(key, "alignment", &SpecializationKey::alignment, "Address alignment of the operands.");

  auto command = bind_record<KernelCommand>(module, "KernelCommand", "One kernel launch on one tile.");
  command.def(
      py::init([](std::uint16_t tile, TensorId output, std::vector<TensorId> inputs, SpecializationKey specialization) {
        return KernelCommand{tile, output, std::move(inputs), std::move(specialization)};
      }),
      "tile"_a = 0, "output"_a = TensorId{}, "inputs"_a = std::vector<TensorId>{},
      "specialization"_a = SpecializationKey{}, record_init_doc);
  def_field(command, "tile", &KernelCommand::tile, "The tile that runs it.");
  def_field(command, "output", &KernelCommand::output, "The tensor it writes.");
  def_field(command, "inputs", &KernelCommand::inputs, "The tensors it reads.");
  def_field(command, "specialization", &KernelCommand::specialization, "The kernel variant.");

  auto compute = bind_record<Compute>(module, "Compute", "A phase computing one operation on its output's tiles.");
  compute.def(py::init([](OpId op, std::vector<KernelCommand> commands) {
                return Compute{op, std::move(commands)};
              }),
              "op"_a = OpId{}, "commands"_a = std::vector<KernelCommand>{}, record_init_doc);
  def_field(compute, "op", &Compute::op, "The operation computed.");
  def_field(compute, "commands", &Compute::commands, "One command per tile of the output's layout.");
}

void bind_encoded_command(py::module_& module) {
  auto command = bind_record<EncodedTileCommand>(module, "EncodedTileCommand",
                                                 "One 32-byte command of a tile's stream as eight 32-bit words.");
  command.def(py::init([](std::array<std::uint32_t, 8> words) { return EncodedTileCommand{words}; }),
              "words"_a = std::array<std::uint32_t, 8>{}, record_init_doc);
  def_field(command, "words", &EncodedTileCommand::words, "The eight words; word 0 is the command kind.");
  command.def(
      "to_le_bytes",
      [](const EncodedTileCommand& self) {
        const std::array<std::uint8_t, 32> bytes = self.to_le_bytes();
        return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      },
      "The wire form: word k at bytes 4k..4k+3, least significant byte first.");
}

// The two forms of a stream: a numpy uint32 array of shape (n, 8) over the
// library's own words (no copy), or the wire bytes, 32 per command (for
// all streams at once, from the commands all_tile_commands encoded).
enum class StreamFormat : std::uint8_t { Array, Bytes };

StreamFormat stream_format(std::string_view name) {
  return choice<StreamFormat>("format", name, {{"array", StreamFormat::Array}, {"bytes", StreamFormat::Bytes}});
}

py::object stream_object(std::vector<EncodedTileCommand> commands, StreamFormat format) {
  switch (format) {
    case StreamFormat::Array: {
      const auto rows = static_cast<py::ssize_t>(commands.size());
      return owning_array<std::uint32_t>(std::move(commands), {rows, 8});
    }
    case StreamFormat::Bytes: {
      std::string bytes;
      bytes.reserve(commands.size() * 32);
      for (const EncodedTileCommand& command : commands) {
        const std::array<std::uint8_t, 32> wire = command.to_le_bytes();
        bytes.append(reinterpret_cast<const char*>(wire.data()), wire.size());
      }
      return py::bytes(bytes);
    }
  }
  return py::none();
}

constexpr const char* format_doc =
    " `format` 'array' gives a numpy uint32 array of shape (commands, 8), one row of words per "
    "command, 'bytes' the wire form (32 little-endian bytes per command).";

void bind_schedule_class(py::module_& module) {
  py::class_<Schedule> schedule(module, "Schedule",
                                "A compiled schedule. Its records stay in C++; each property read builds "
                                "fresh Python copies of them.");
  schedule
      .def_property_readonly(
          "layouts", [](const Schedule& self) { return self.layouts; }, "The layout of every tensor, by id.")
      .def_property_readonly(
          "phases", [](const Schedule& self) { return self.phases; },
          "The phases in order, each an Exchange or a Compute; their positions are the time axis.")
      .def_property_readonly(
          "allocations", [](const Schedule& self) { return self.allocations; }, "Every tensor piece on every tile.")
      .def_property_readonly(
          "tile_count", [](const Schedule& self) { return self.tile_count; }, "The tiles compiled for.")
      .def_property_readonly(
          "peak_sram", [](const Schedule& self) { return self.peak_sram; },
          "Peak SRAM bytes by tile, for the tiles that hold data.")
      .def(
          "tile_commands",
          [](const Schedule& self, std::uint16_t tile, std::string_view format) -> py::object {
            switch (stream_format(format)) {
              case StreamFormat::Array:
                return stream_object(value_or_raise(self.tile_commands(tile)), StreamFormat::Array);
              case StreamFormat::Bytes:
                return wire_bytes(value_or_raise(tile_stream_bytes(self, tile)));
            }
            return py::none();
          },
          "tile"_a, "format"_a = "array",
          (std::string("The command stream of one tile, closed by the end command; CompileError "
                       "'tile {t} is out of range' past tile_count.") +
           format_doc)
              .c_str())
      .def(
          "all_tile_commands",
          [](const Schedule& self, std::string_view format) {
            const StreamFormat chosen = stream_format(format);
            std::vector<std::vector<EncodedTileCommand>> streams =
                without_gil([&] { return self.all_tile_commands(); });
            py::list result;
            for (std::vector<EncodedTileCommand>& stream : streams) {
              result.append(stream_object(std::move(stream), chosen));
            }
            return result;
          },
          "format"_a = "array",
          (std::string("The streams of all tiles, indexed by tile, built in one pass.") + format_doc).c_str())
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__str__", &debug_text<Schedule>, "The library's full debug rendering of every record.")
      .def("__repr__", [](const Schedule& self) {
        return fmt::format("Schedule(tile_count={}, layouts={}, phases={}, allocations={})", self.tile_count,
                           self.layouts.size(), self.phases.size(), self.allocations.size());
      });
  def_copies(schedule, "A copy of the schedule.");
}

}  // namespace

CompilerOptions compiler_options_from(py::handle options, const py::kwargs& fields, const char* function) {
  if (!options.is_none() && !py::isinstance<CompilerOptions>(options)) {
    throw py::type_error(fmt::format("{}(): options must be a CompilerOptions, not {}", function,
                                     py::str(py::type::of(options).attr("__name__")).cast<std::string>()));
  }
  // Set through the Python attributes, whose setters convert and range-check.
  py::object chosen = py::cast(options.is_none() ? CompilerOptions{} : options.cast<CompilerOptions>());
  static constexpr std::string_view field_names[] = {"tile_count", "data_base", "data_limit"};
  for (const auto& [key, value] : fields) {
    const auto name = key.cast<std::string>();
    if (std::ranges::find(field_names, name) == std::end(field_names)) {
      throw py::type_error(fmt::format("{}() got an unexpected keyword argument '{}'; the options it takes as "
                                       "keywords are options, {}",
                                       function, name, fmt::join(field_names, ", ")));
    }
    chosen.attr(key) = value;
  }
  return chosen.cast<CompilerOptions>();
}

void bind_schedule(py::module_& module) {
  bind_options(module);
  bind_placement(module);
  bind_exchange(module);
  bind_compute(module);
  bind_encoded_command(module);
  bind_schedule_class(module);
}

}  // namespace orvo_compiler::python
