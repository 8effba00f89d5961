// Bindings of analysis.hpp: counts, runs of equal peaks and the live bytes of
// a compiled schedule, as records with keyword constructors and equality.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

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
  type.def(py::self == py::self)
      .def(py::self != py::self)
      .def("__repr__", [name, fields = std::move(fields)](py::handle self) { return field_repr(self, name, fields); });
  return type;
}

void bind_peaks(py::module_& module) {
  auto run = bind_result<TileRun>(module, "TileRun", "Consecutive tiles with the same peak SRAM.",
                                  {"first_tile", "last_tile", "bytes"});
  run.def(py::init([](std::uint16_t first_tile, std::uint16_t last_tile, std::optional<std::uint32_t> bytes) {
            return TileRun{first_tile, last_tile, bytes};
          }),
          "first_tile"_a = 0, "last_tile"_a = 0, "bytes"_a = std::nullopt, record_init_doc);
  def_field(run, "first_tile", &TileRun::first_tile, "The first tile of the run.");
  def_field(run, "last_tile", &TileRun::last_tile, "The last tile of the run.");
  def_field(run, "bytes", &TileRun::bytes, "Their peak, or None for tiles that hold no data.");

  auto live = bind_result<LivePeak>(module, "LivePeak", "The most bytes live on one tile at one phase index.",
                                    {"phase", "bytes"});
  live.def(py::init([](std::uint64_t phase, std::uint64_t bytes) {
             return LivePeak{phase, bytes};
           }),
           "phase"_a = 0, "bytes"_a = 0, record_init_doc);
  def_field(live, "phase", &LivePeak::phase, "The phase index (the earliest on a tie).");
  def_field(live, "bytes", &LivePeak::bytes, "The bytes live there.");

  auto worst = bind_result<WorstTile>(module, "WorstTile", "The tile with the highest peak SRAM.",
                                      {"tile", "peak_bytes", "live"});
  worst.def(py::init([](std::uint16_t tile, std::uint32_t peak_bytes, LivePeak live_peak) {
              return WorstTile{tile, peak_bytes, live_peak};
            }),
            "tile"_a = 0, "peak_bytes"_a = 0, "live"_a = LivePeak{}, record_init_doc);
  def_field(worst, "tile", &WorstTile::tile, "The tile (the lowest on a tie).");
  def_field(worst, "peak_bytes", &WorstTile::peak_bytes, "Its peak SRAM.");
  def_field(worst, "live", &WorstTile::live, "Its live-bytes lower bound.");
}

void bind_statistics(py::module_& module) {
  auto statistics =
      bind_result<ScheduleStatistics>(module, "ScheduleStatistics", "The counts of a schedule and its worst tile.",
                                      {"tensors", "operations", "phases", "exchange_phases", "compute_phases",
                                       "transfers", "transfer_bytes", "kernel_commands", "allocations", "worst_tile"});
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
  def_field(statistics, "worst_tile", &ScheduleStatistics::worst_tile,
            "The worst tile, or None when no tile holds data.");
}

void bind_diagnosis(py::module_& module) {
  auto bound = bind_result<LiveBound>(module, "LiveBound", "The tile whose live bytes peak highest, and that peak.",
                                      {"tile", "live"});
  bound.def(py::init([](std::uint16_t tile, LivePeak live) {
              return LiveBound{tile, live};
            }),
            "tile"_a = 0, "live"_a = LivePeak{}, record_init_doc);
  def_field(bound, "tile", &LiveBound::tile, "The tile (the lowest on a tie).");
  def_field(bound, "live", &LiveBound::live, "Its live peak.");

  auto tensor = bind_result<LiveTensor>(module, "LiveTensor", "A tensor piece live on the diagnosed tile and phase.",
                                        {"tensor", "name", "bytes"});
  tensor.def(py::init([](TensorId id, std::string name, std::uint32_t bytes) {
               return LiveTensor{id, std::move(name), bytes};
             }),
             "tensor"_a = TensorId{}, "name"_a = "", "bytes"_a = 0, record_init_doc);
  def_field(tensor, "tensor", &LiveTensor::tensor, "The tensor.");
  def_field(tensor, "name", &LiveTensor::name, "Its name ('tensor {id}' for an id the graph does not hold).");
  def_field(tensor, "bytes", &LiveTensor::bytes, "The piece's bytes.");

  bind_enum<WindowFit>(module, "WindowFit", "Whether a data limit can be named that makes the schedule fit.")
      .value("Fits", WindowFit::Fits)
      .value("PastAddressSpace", WindowFit::PastAddressSpace)
      .value("BaseNotAligned", WindowFit::BaseNotAligned);

  auto diagnosis = bind_result<MemoryDiagnosis>(
      module, "MemoryDiagnosis",
      "Why a workload does not fit: one tile, its data window, the phase where its live bytes peak "
      "with what is live there, and the window that would suffice.",
      {"tile", "data_base", "data_limit", "window_bytes", "peak", "phase_description", "excess_bytes", "spare_bytes",
       "largest_tensors", "other_tensors", "needed_bytes", "fit", "fitting_limit"});
  diagnosis.def(py::init<>(), "An empty diagnosis.");
  def_field(diagnosis, "tile", &MemoryDiagnosis::tile, "The tile diagnosed.");
  def_field(diagnosis, "data_base", &MemoryDiagnosis::data_base, "Its window's first byte.");
  def_field(diagnosis, "data_limit", &MemoryDiagnosis::data_limit, "One past its window's last byte.");
  def_field(diagnosis, "window_bytes", &MemoryDiagnosis::window_bytes, "The window's bytes.");
  def_field(diagnosis, "peak", &MemoryDiagnosis::peak, "Where and how high its live bytes peak.");
  def_field(diagnosis, "phase_description", &MemoryDiagnosis::phase_description, "That phase in words.");
  def_field(diagnosis, "excess_bytes", &MemoryDiagnosis::excess_bytes, "Live bytes past the window.");
  def_field(diagnosis, "spare_bytes", &MemoryDiagnosis::spare_bytes, "Window bytes past the live ones.");
  def_field(diagnosis, "largest_tensors", &MemoryDiagnosis::largest_tensors, "The five largest live, largest first.");
  def_field(diagnosis, "other_tensors", &MemoryDiagnosis::other_tensors, "How many others are live.");
  def_field(diagnosis, "needed_bytes", &MemoryDiagnosis::needed_bytes, "The highest peak with a window holding all.");
  def_field(diagnosis, "fit", &MemoryDiagnosis::fit, "Whether a fitting data limit can be named.");
  def_field(diagnosis, "fitting_limit", &MemoryDiagnosis::fitting_limit,
            "The smallest data limit that fits; 0 unless `fit` is Fits.");
}

}  // namespace

void bind_analysis(py::module_& module) {
  bind_peaks(module);
  bind_statistics(module);
  bind_diagnosis(module);
  module
      .def("live_bytes", &live_bytes, "schedule"_a, "tile"_a,
           "The bytes of `tile`'s allocations live at each phase index, 0 to len(phases).")
      .def("max_live_bound", &max_live_bound, "schedule"_a,
           "The most bytes live at once on any tile: a lower bound on the window any placement needs.")
      .def("memory_diagnosis", &memory_diagnosis, "graph"_a, "options"_a,
           "Why compiling `graph` with `options` does not fit, as data; None when the widest window "
           "fails too or holds no data.")
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
