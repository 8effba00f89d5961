// Bindings of analysis.hpp: counts, runs of equal peaks, the live bytes of a
// compiled schedule, the memory diagnosis and the tile-count advice, as records with keyword
// constructors and equality; and the independent check of a schedule.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "orvo_compiler/analysis.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

void bind_peaks(py::module_& module) {
  NamedRecord<TileRun> run(module, "TileRun", "Consecutive tiles with the same peak SRAM.");
  run.type().def(py::init([](std::uint16_t first_tile, std::uint16_t last_tile, std::optional<std::uint32_t> bytes) {
                   return TileRun{first_tile, last_tile, bytes};
                 }),
                 "first_tile"_a = 0, "last_tile"_a = 0, "bytes"_a = std::nullopt, record_init_doc);
  run.field("first_tile", &TileRun::first_tile, "The first tile of the run.")
      .field("last_tile", &TileRun::last_tile, "The last tile of the run.")
      .field("bytes", &TileRun::bytes, "Their peak, or None for tiles that hold no data.");

  NamedRecord<LivePeak> live(module, "LivePeak", "The most bytes live on one tile at one phase index.");
  live.type().def(py::init([](std::uint64_t phase, std::uint64_t bytes) {
                    return LivePeak{phase, bytes};
                  }),
                  "phase"_a = 0, "bytes"_a = 0, record_init_doc);
  live.field("phase", &LivePeak::phase, "The phase index (the earliest on a tie).")
      .field("bytes", &LivePeak::bytes, "The bytes live there.");

  NamedRecord<WorstTile> worst(module, "WorstTile", "The tile with the highest peak SRAM.");
  worst.type().def(py::init([](std::uint16_t tile, std::uint32_t peak_bytes, LivePeak live_peak) {
                     return WorstTile{tile, peak_bytes, live_peak};
                   }),
                   "tile"_a = 0, "peak_bytes"_a = 0, "live"_a = LivePeak{}, record_init_doc);
  worst.field("tile", &WorstTile::tile, "The tile (the lowest on a tie).")
      .field("peak_bytes", &WorstTile::peak_bytes, "Its peak SRAM.")
      .field("live", &WorstTile::live, "Its live-bytes lower bound.");

  NamedRecord<LiveBound> bound(module, "LiveBound", "The tile whose live bytes peak highest, and that peak.");
  bound.type().def(py::init([](std::uint16_t tile, LivePeak live_peak) {
                     return LiveBound{tile, live_peak};
                   }),
                   "tile"_a = 0, "live"_a = LivePeak{}, record_init_doc);
  bound.field("tile", &LiveBound::tile, "The tile (the lowest on a tie).")
      .field("live", &LiveBound::live, "Its live peak.");
}

void bind_statistics(py::module_& module) {
  NamedRecord<ScheduleStatistics> statistics(module, "ScheduleStatistics",
                                             "The counts of a schedule and its worst tile.");
  statistics.type().def(py::init<>(), "All counts zero, no worst tile.");
  statistics.field("tensors", &ScheduleStatistics::tensors, "Tensors of the graph.")
      .field("operations", &ScheduleStatistics::operations, "Operations of the graph.")
      .field("phases", &ScheduleStatistics::phases, "Phases of the schedule.")
      .field("exchange_phases", &ScheduleStatistics::exchange_phases, "Exchange phases.")
      .field("compute_phases", &ScheduleStatistics::compute_phases, "Compute phases.")
      .field("transfers", &ScheduleStatistics::transfers, "Transfers over all exchanges.")
      .field("transfer_bytes", &ScheduleStatistics::transfer_bytes, "Bytes those transfers move.")
      .field("kernel_commands", &ScheduleStatistics::kernel_commands, "Kernel commands.")
      .field("allocations", &ScheduleStatistics::allocations, "Allocations.")
      .field("worst_tile", &ScheduleStatistics::worst_tile, "The worst tile, or None when no tile holds data.");
}

void bind_diagnosis(py::module_& module) {
  NamedRecord<LiveTensor> tensor(module, "LiveTensor", "A tensor piece live on the diagnosed tile and phase.");
  tensor.type().def(py::init([](TensorId id, std::string name, std::uint32_t bytes) {
                      return LiveTensor{id, std::move(name), bytes};
                    }),
                    "tensor"_a = TensorId{}, "name"_a = "", "bytes"_a = 0, record_init_doc);
  tensor.field("tensor", &LiveTensor::tensor, "The tensor.")
      .field("name", &LiveTensor::name, "Its name ('tensor {id}' for an id the graph does not hold).")
      .field("bytes", &LiveTensor::bytes, "The piece's bytes.");

  bind_enum<WindowFit>(module, "WindowFit", "Whether a data limit can be named that makes the schedule fit.")
      .value("Fits", WindowFit::Fits)
      .value("PastAddressSpace", WindowFit::PastAddressSpace)
      .value("BaseNotAligned", WindowFit::BaseNotAligned);

  bind_enum<TileCountFit>(module, "TileCountFit", "Whether some tile count makes a workload fit the data window.")
      .value("Fits", TileCountFit::Fits)
      .value("PieceTooLarge", TileCountFit::PieceTooLarge)
      .value("NoneFits", TileCountFit::NoneFits);

  NamedRecord<TileCountAdvice> advice(module, "TileCountAdvice",
                                      "The fewest tiles with which a workload fits a data window, or why no tile "
                                      "count does.");
  advice.type().def(py::init<>(), "An empty advice.");
  advice.field("window_bytes", &TileCountAdvice::window_bytes, "The data window's bytes.")
      .field("fit", &TileCountAdvice::fit, "Whether some tile count fits.")
      .field("tile_count", &TileCountAdvice::tile_count, "The fewest tiles found to fit; 0 unless `fit` is Fits.")
      .field("spread_tiles", &TileCountAdvice::spread_tiles,
             "The most tiles any tensor spreads over; more change nothing.")
      .field("largest_tensor", &TileCountAdvice::largest_tensor, "The tensor with the largest piece there.")
      .field("largest_name", &TileCountAdvice::largest_name, "Its name.")
      .field("largest_piece_bytes", &TileCountAdvice::largest_piece_bytes, "That piece's bytes, as allocated.")
      .field("piece_excess_bytes", &TileCountAdvice::piece_excess_bytes, "Its bytes past the window; 0 if it fits.")
      .field("spread_needed_bytes", &TileCountAdvice::spread_needed_bytes,
             "For NoneFits, the window needed over spread_tiles; else None.");

  NamedRecord<MemoryDiagnosis> diagnosis(module, "MemoryDiagnosis",
                                         "Why a workload does not fit: one tile, its data window, the phase where "
                                         "its live bytes peak with what is live there, and the window that would "
                                         "suffice.");
  diagnosis.type().def(py::init<>(), "An empty diagnosis.");
  diagnosis.field("tile", &MemoryDiagnosis::tile, "The tile diagnosed.")
      .field("data_base", &MemoryDiagnosis::data_base, "Its window's first byte.")
      .field("data_limit", &MemoryDiagnosis::data_limit, "One past its window's last byte.")
      .field("window_bytes", &MemoryDiagnosis::window_bytes, "The window's bytes.")
      .field("peak", &MemoryDiagnosis::peak, "Where and how high its live bytes peak.")
      .field("phase_description", &MemoryDiagnosis::phase_description, "That phase in words.")
      .field("excess_bytes", &MemoryDiagnosis::excess_bytes, "Live bytes past the window.")
      .field("spare_bytes", &MemoryDiagnosis::spare_bytes, "Window bytes past the live ones.")
      .field("largest_tensors", &MemoryDiagnosis::largest_tensors, "The five largest live, largest first.")
      .field("other_tensors", &MemoryDiagnosis::other_tensors, "How many others are live.")
      .field("needed_bytes", &MemoryDiagnosis::needed_bytes, "The highest peak with a window holding all.")
      .field("fit", &MemoryDiagnosis::fit, "Whether a fitting data limit can be named.")
      .field("fitting_limit", &MemoryDiagnosis::fitting_limit,
             "The smallest data limit that fits; 0 unless `fit` is Fits.")
      .field("tile_advice", &MemoryDiagnosis::tile_advice,
             "With the data window unchanged, the fewest tiles that fit (tile_count_advice), or None.");
}

}  // namespace

void bind_analysis(py::module_& module) {
  bind_peaks(module);
  bind_statistics(module);
  bind_diagnosis(module);
  module.def(
      "verify_schedule",
      [](const Graph& graph, const Schedule& schedule, const py::object& options, const py::kwargs& fields) {
        value_or_raise(verify_schedule(graph, schedule, compiler_options_from(options, fields, "verify_schedule")));
      },
      "graph"_a, "schedule"_a, "options"_a = py::none(),
      "Checks a schedule against the graph and target independently of the compiler; returns "
      "None, or raises CompileError naming the first broken invariant.");
  module.def("peak_runs", &peak_runs, "schedule"_a, "Tiles 0..tile_count-1 grouped into runs of equal peak.")
      .def("live_bytes", &live_bytes, "schedule"_a, "tile"_a,
           "The bytes of `tile`'s allocations live at each phase index, 0 to len(phases).")
      .def("live_peak", &live_peak, "schedule"_a, "tile"_a, "The most bytes live on `tile` at any one phase index.")
      .def("live_peaks", &live_peaks, "schedule"_a, "The live peak of every tile, indexed by tile.")
      .def("max_live_bound", &max_live_bound, "schedule"_a,
           "The most bytes live at once on any tile: a lower bound on the window any placement needs.")
      .def("live_allocations", &live_allocations, "schedule"_a, "tile"_a, "phase"_a,
           "The allocations on `tile` live at `phase`, in allocation order.")
      .def("schedule_statistics", &schedule_statistics, "graph"_a, "schedule"_a,
           "The counts of `schedule` as compiled from `graph`.")
      .def("phase_description", &phase_description, "graph"_a, "schedule"_a, "phase"_a,
           "'compute attention_softmax', 'exchange', ... or 'after the last phase'.")
      .def(
          "memory_diagnosis",
          [](const Graph& graph, const py::object& options, const py::kwargs& fields) {
            return memory_diagnosis(graph, compiler_options_from(options, fields, "memory_diagnosis"));
          },
          "graph"_a, "options"_a = py::none(),
           "Why compiling `graph` with `options` does not fit, as data; None when the widest window "
           "fails too or holds no data.")
      .def(
          "tile_count_advice",
          [](const Graph& graph, const py::object& options, const py::kwargs& fields) {
            return tile_count_advice(graph, compiler_options_from(options, fields, "tile_count_advice"));
          },
          "graph"_a, "options"_a = py::none(),
           "The fewest tiles with which `graph` compiles with the data window of `options`, or why no "
           "count does; None when the graph is invalid, the window empty or compiling fails with a Graph error.");
}

}  // namespace orvo_compiler::python
