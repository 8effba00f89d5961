// Bindings of analysis.hpp: counts, runs of equal peaks and the live bytes of
// a compiled schedule, as records with keyword constructors and equality.
#include <cstdint>
#include <optional>

#include <pybind11/operators.h>

#include "bindings.hpp"
#include "orvo_compiler/analysis.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

// Equality and a repr naming the fields, which these records have no library rendering for.
template <class Record>
py::class_<Record> bind_result(py::module_& module, const char* name, const char* doc,
                               std::vector<const char*> fields) {
  py::class_<Record> type(module, name, doc);
  type.def(py::self == py::self).def(py::self != py::self).def("__repr__", [name, fields = std::move(fields)](py::handle self) {
    return field_repr(self, name, fields);
  });
  return type;
}

void bind_peaks(py::module_& module) {
  auto run = bind_result<TileRun>(module, "TileRun", "Consecutive tiles with the same peak SRAM.",
                                  {"first_tile", "last_tile", "bytes"});
  run.def(py::init([](std::uint16_t first_tile, std::uint16_t last_tile, std::optional<std::uint32_t> bytes) {
            return TileRun{first_tile, last_tile, bytes};
          }),
          "first_tile"_a = 0, "last_tile"_a = 0, "bytes"_a = std::nullopt);
  def_field(run, "first_tile", &TileRun::first_tile, "The first tile of the run.");
  def_field(run, "last_tile", &TileRun::last_tile, "The last tile of the run.");
  def_field(run, "bytes", &TileRun::bytes, "Their peak, or None for tiles that hold no data.");

  auto live = bind_result<LivePeak>(module, "LivePeak", "The most bytes live on one tile at one phase index.",
                                    {"phase", "bytes"});
  live.def(py::init([](std::uint64_t phase, std::uint64_t bytes) { return LivePeak{phase, bytes}; }), "phase"_a = 0,
           "bytes"_a = 0);
  def_field(live, "phase", &LivePeak::phase, "The phase index (the earliest on a tie).");
  def_field(live, "bytes", &LivePeak::bytes, "The bytes live there.");

  auto worst = bind_result<WorstTile>(module, "WorstTile", "The tile with the highest peak SRAM.",
                                      {"tile", "peak_bytes", "live"});
  worst.def(py::init([](std::uint16_t tile, std::uint32_t peak_bytes, LivePeak live_peak) {
              return WorstTile{tile, peak_bytes, live_peak};
            }),
            "tile"_a = 0, "peak_bytes"_a = 0, "live"_a = LivePeak{});
  def_field(worst, "tile", &WorstTile::tile, "The tile (the lowest on a tie).");
  def_field(worst, "peak_bytes", &WorstTile::peak_bytes, "Its peak SRAM.");
  def_field(worst, "live", &WorstTile::live, "Its live-bytes lower bound.");
}

void bind_statistics(py::module_& module) {
  auto statistics = bind_result<ScheduleStatistics>(
      module, "ScheduleStatistics", "The counts of a schedule and its worst tile.",
      {"tensors", "operations", "phases", "exchange_phases", "compute_phases", "transfers", "transfer_bytes",
       "kernel_commands", "allocations", "worst_tile"});
  statistics.def(py::init<>(), "All counts zero, no worst tile.");
  def_field(statistics, "tensors", &ScheduleStatistics::tensors, "Tensors of the graph.");
  def_field(statistics, "operations", &ScheduleStatistics::operations, "Operations of the graph.");
  def_field(statistics, "phases", &ScheduleStatistics::phases, "Phases of the schedule.");
  def_field(statistics, "exchange_phases", &ScheduleStatistics::exchange_phases, "Exchange phases.");
  def_field(statistics, "compute_phases", &ScheduleStatistics::compute_phases, "Compute phases.");
  def_field(statistics, "transfers", &ScheduleStatistics::transfers, "Transfers over all exchanges.");
  def_field(statistics, "transfer_bytes", &ScheduleStatistics::transfer_bytes, "Bytes those transfers move.");
  def_field(statistics, "kernel_commands", &ScheduleStatistics::kernel_commands, "Kernel commands.");
  def_field(statistics, "allocations", &ScheduleStatistics::allocations, "Allocations.");
  def_field(statistics, "worst_tile", &ScheduleStatistics::worst_tile, "The worst tile, or None when no tile holds data.");
}

}  // namespace

void bind_analysis(py::module_& module) {
  bind_peaks(module);
  bind_statistics(module);
  module
      .def("peak_runs", &peak_runs, "schedule"_a, "Tiles 0..tile_count-1 grouped into runs of equal peak.")
      .def("live_peak", &live_peak, "schedule"_a, "tile"_a, "The most bytes live on `tile` at any one phase index.")
      .def("live_peaks", &live_peaks, "schedule"_a, "The live peak of every tile, indexed by tile.")
      .def("live_allocations", &live_allocations, "schedule"_a, "tile"_a, "phase"_a,
           "The allocations on `tile` live at `phase`, in allocation order.")
      .def("schedule_statistics", &schedule_statistics, "graph"_a, "schedule"_a,
           "The counts of `schedule` as compiled from `graph`.")
      .def("phase_description", &phase_description, "graph"_a, "schedule"_a, "phase"_a,
           "'compute attention_softmax', 'exchange', ... or 'after the last phase'.");
}

}  // namespace orvo_compiler::python
