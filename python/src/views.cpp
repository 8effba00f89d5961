// Bindings of views.hpp: numbers as text, the summary, the memory diagnosis,
// the SVG memory maps and the HTML report, all as Python strings, plus
// MemoryMap, which a notebook shows as a picture.
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "orvo_compiler/views.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// One tile's memory map drawn once, for notebooks: they show an object with
// `_repr_svg_` as the picture.
struct MemoryMap {
  std::uint16_t tile = 0;
  std::string svg;
};

void bind_text(py::module_& module) {
  module.def("group_thousands", &group_thousands, "value"_a, "Digits grouped by three with commas: '581,632'.")
      .def("hex_address", &hex_address, "value"_a, "An address as the tools print it: '0x52000'.")
      .def("xml_escape", &xml_escape, "text"_a, "`text` made safe inside XML and HTML text and attribute values.")
      .def("kib_text", &kib_text, "bytes"_a, "A byte count in KiB as the pictures label it: '9 KiB'.")
      .def("byte_tick_step", &byte_tick_step, "span"_a, "max_ticks"_a,
           "The smallest power of two, at least 16, dividing `span` into at most `max_ticks` steps.");

  NamedRecord<Workload> workload(module, "Workload",
                                 "What was compiled: the built-in encoder (configuration and stacked layers), or, "
                                 "when `model` is not empty, the model imported from the file it names.");
  workload.type().def(py::init([](const EncoderConfig& config, std::uint64_t layers, std::string model) {
                        return Workload{config, layers, std::move(model)};
                      }),
                      "config"_a = EncoderConfig{}, "layers"_a = Workload{}.layers, "model"_a = "", record_init_doc);
  workload.field("config", &Workload::config, "The layer's sizes.")
      .field("layers", &Workload::layers, "Stacked layers.")
      .field("model", &Workload::model, "The imported model's file, or empty for the built-in encoder.");

  module
      .def(
          "schedule_summary",
          [](const Workload& summarised, const py::object& options, const Schedule& schedule,
             const ScheduleStatistics& statistics, const py::kwargs& fields) {
            return schedule_summary(summarised, compiler_options_from(options, fields, "schedule_summary"), schedule,
                                    statistics);
          },
          "workload"_a, "options"_a, "schedule"_a, "statistics"_a,
           "The multi-line summary of a compiled schedule, as `orvoc compile` prints it.")
      .def("diagnosis_lines", &diagnosis_lines, "diagnosis"_a,
           "A memory diagnosis as three lines: the tile, its window and peak; the largest tensors live "
           "there; the window that would suffice; then the tile-count advice's line when it has one.")
      .def("tile_advice_line", &tile_advice_line, "advice"_a,
           "Tile-count advice as one line: the fewest tiles that fit the window, or why no count does.")
      .def(
          "diagnose_memory_error",
          [](const Graph& graph, const py::object& options, const CompileError& error, const py::kwargs& fields) {
            return diagnose_memory_error(graph, compiler_options_from(options, fields, "diagnose_memory_error"), error);
          },
          "graph"_a, "options"_a, "error"_a,
          "Explains a memory CompileError of compiling `graph` with `options` as lines of text (the "
          "diagnosis, or the tile-count advice alone when there is no diagnosis); empty for other errors "
          "or when there is neither.");
}

void bind_pictures(py::module_& module) {
  bind_enum<SvgForm>(module, "SvgForm", "A standalone SVG file, or an <svg> element for an HTML page.")
      .value("Document", SvgForm::Document)
      .value("Inline", SvgForm::Inline);

  py::class_<TileMap> tile_map(module, "TileMap", "The memory map of one tile.");
  tile_map.def(py::init([](std::uint16_t tile, std::string svg) {
                 return TileMap{tile, std::move(svg)};
               }),
               "tile"_a = 0, "svg"_a = "", record_init_doc);
  def_field(tile_map, "tile", &TileMap::tile, "The tile drawn.");
  def_field(tile_map, "svg", &TileMap::svg, "The SVG text.");
  tile_map.def("__repr__", [](const TileMap& self) {
    return fmt::format("TileMap(tile={}, svg=<{} characters>)", self.tile, self.svg.size());
  });

  module
      .def(
          "memory_map_svg",
          [](const Graph& graph, const Schedule& schedule, const py::object& options, std::uint16_t tile, SvgForm form,
             const py::kwargs& fields) {
            return memory_map_svg(graph, schedule, compiler_options_from(options, fields, "memory_map_svg"), tile,
                                  form);
          },
          "graph"_a, "schedule"_a, "options"_a = py::none(), "tile"_a = 0, "form"_a = SvgForm::Document,
           "The SRAM map of one tile as SVG text: phases across, addresses up, one rectangle per "
           "allocation. A tile past tile_count or without data gives an empty map saying so.")
      .def(
          "memory_maps",
          [](const Graph& graph, const Schedule& schedule, const py::object& options, SvgForm form,
             const py::kwargs& fields) {
            return memory_maps(graph, schedule, compiler_options_from(options, fields, "memory_maps"), form);
          },
          "graph"_a, "schedule"_a, "options"_a = py::none(), "form"_a = SvgForm::Document,
           "The memory map of every tile that holds data, in tile order.")
      .def(
          "memory_map_style", [] { return std::string(memory_map_style()); },
          "The style sheet an inline memory map relies on.")
      .def(
          "report_html",
          [](const Workload& workload, const py::object& options, const Graph& graph, const Schedule& schedule,
             std::uint16_t tile, const py::kwargs& fields) {
            return report_html(workload, compiler_options_from(options, fields, "report_html"), graph, schedule, tile);
          },
          "workload"_a, "options"_a, "graph"_a, "schedule"_a, "tile"_a = 0,
           "One self-contained HTML page: summary, peaks, the chosen tile's memory map and the phases.");

  py::class_<MemoryMap>(module, "MemoryMap",
                        "The memory map of one tile, drawn once; a notebook displays it as the picture.")
      .def(py::init(
               [](const Graph& graph, const Schedule& schedule, const py::object& options, std::uint16_t tile,
                  const py::kwargs& fields) {
                 const CompilerOptions chosen = compiler_options_from(options, fields, "MemoryMap");
                 return MemoryMap{tile, memory_map_svg(graph, schedule, chosen, tile, SvgForm::Document)};
               }),
           "graph"_a, "schedule"_a, "options"_a = py::none(), "tile"_a = 0, "Draws tile `tile` of `schedule`.")
      .def_readonly("tile", &MemoryMap::tile, "The tile drawn.")
      .def_readonly("svg", &MemoryMap::svg, "The SVG document.")
      .def(
          "_repr_svg_", [](const MemoryMap& self) { return self.svg; }, "The SVG document, for notebooks.")
      .def("__repr__", [](const MemoryMap& self) {
        return fmt::format("MemoryMap(tile={}, svg=<{} characters>)", self.tile, self.svg.size());
      });
}

}  // namespace

void bind_views(py::module_& module) {
  bind_text(module);
  bind_pictures(module);
}

}  // namespace orvo_compiler::python
