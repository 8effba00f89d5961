// orvo_compiler._timing: the library's own calls timed in C++, for
// bench/python_overhead.py to set beside the same calls made from Python.
// A module of its own, built with the benchmarks only: its arguments are the
// objects of orvo_compiler._core, whose types and CompileError it shares.
#include <time.h>

#include <cstdint>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;
// The processor time of the calling thread, in seconds: what Python's
// time.thread_time() reads, so that other load on the machine counts on
// neither side of a comparison.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Thread seconds of each of `repeat` calls of `call`.
template <class Call>
std::vector<double> seconds_of(std::uint64_t repeat, Call call) {
  std::vector<double> seconds;
  seconds.reserve(repeat);
  for (std::uint64_t run = 0; run < repeat; ++run) {
    const double start = thread_seconds();
    call();
    seconds.push_back(thread_seconds() - start);
  }
  return seconds;
}

}  // namespace

}  // namespace orvo_compiler::python

PYBIND11_MODULE(_timing, timing) {
  using namespace orvo_compiler;
  using namespace orvo_compiler::python;
  using namespace pybind11::literals;
  timing.doc() = "The library's calls timed in C++, for benchmarks.";
  // The bound types and the translation of CompileError live in _core.
  py::module_::import("orvo_compiler");
  timing
      .def(
          "compile_seconds",
          [](const Graph& graph, const CompilerOptions& options, std::uint64_t repeat) {
            const py::gil_scoped_release release;
            return seconds_of(repeat, [&] {
              const Result<Schedule> schedule = compile(graph, options);
              if (!schedule) {
                throw RaisedCompileError{schedule.error()};
              }
            });
          },
          "graph"_a, "options"_a, "repeat"_a, "Thread seconds of each of `repeat` compile calls made in C++.")
      .def(
          "encoder_reference_seconds",
          [](const EncoderConfig& config, const py::array& input, const EncoderWeights& weights, std::uint64_t repeat) {
            const std::span<const float> values = float_values(input, "input");
            const py::gil_scoped_release release;
            return seconds_of(repeat, [&] {
              const Result<std::vector<float>> output = encoder_reference(config, values, weights);
              if (!output) {
                throw RaisedCompileError{output.error()};
              }
            });
          },
          "config"_a, "input"_a, "weights"_a, "repeat"_a,
          "Thread seconds of each of `repeat` encoder_reference calls made in C++.");
}
