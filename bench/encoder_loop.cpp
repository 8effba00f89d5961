// The encoder layer timed the way a program that loops over it runs it: a
// fresh process calls encoder_reference a few times to warm up, then times
// each of the measured calls and counts the minor page faults they cause.
// bench/compare_pytorch.py runs this beside the same layer in PyTorch.
//
//   orvo_encoder_loop SEQUENCE HIDDEN HEADS FEED_FORWARD [plain|workspace] [DUMP_FILE]
//
// `plain` calls the two-argument encoder_reference, `workspace` the overload
// that reuses one EncoderWorkspace and one output list. Prints one line of
// name=value fields; with DUMP_FILE it also writes the input, the six weights
// and the output there as raw floats, in that order, for the comparison.
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "bench_values.hpp"
#include "orvo_compiler/encoder.hpp"

namespace {

using orvo_compiler::EncoderConfig;
using orvo_compiler::EncoderWeights;
using orvo_compiler::EncoderWorkspace;
using orvo_compiler::bench::filled;

constexpr int warmup_calls = 3;
constexpr std::size_t timed_calls = 9;

bool parse(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

double process_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  return values[values.size() / 2];
}

// The layer's arguments and the list each call leaves its result in.
struct Layer {
  EncoderConfig config;
  std::vector<float> input;
  EncoderWeights weights;
  EncoderWorkspace workspace;
  std::vector<float> output;
};

// One call through the chosen entry point; false when the layer fails.
bool call(Layer& layer, bool reuse) {
  if (reuse) {
    return encoder_reference(layer.config, layer.input, layer.weights, layer.workspace, layer.output).has_value();
  }
  auto result = encoder_reference(layer.config, layer.input, layer.weights);
  if (!result) {
    return false;
  }
  layer.output = std::move(*result);
  return true;
}

bool dump(const Layer& layer, const char* path) {
  std::FILE* const file = std::fopen(path, "wb");
  if (file == nullptr) {
    return false;
  }
  bool written = true;
  for (const std::vector<float>* list : {&layer.input, &layer.weights.wq, &layer.weights.wk, &layer.weights.wv,
                                         &layer.weights.wo, &layer.weights.w1, &layer.weights.w2, &layer.output}) {
    written = written && std::fwrite(list->data(), sizeof(float), list->size(), file) == list->size();
  }
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  EncoderConfig config;
  if (arguments.size() < 4 || arguments.size() > 6 || !parse(arguments[0], config.sequence) ||
      !parse(arguments[1], config.hidden) || !parse(arguments[2], config.heads) ||
      !parse(arguments[3], config.feed_forward) ||
      (arguments.size() > 4 && arguments[4] != "plain" && arguments[4] != "workspace")) {
    fmt::print(stderr, "usage: orvo_encoder_loop SEQUENCE HIDDEN HEADS FEED_FORWARD [plain|workspace] [DUMP_FILE]\n");
    return 2;
  }
  const bool reuse = arguments.size() > 4 && arguments[4] == "workspace";

  // Everything the timing needs is allocated, and every clock read once,
  // before the first call, so that between calls nothing but the calls
  // allocates or touches fresh memory.
  Layer layer{.config = config,
              .input = filled(config.sequence * config.hidden, 3),
              .weights = EncoderWeights::deterministic(config),
              .workspace = {},
              .output = std::vector<float>(config.sequence * config.hidden)};
  std::vector<double> wall(timed_calls, wall_seconds());
  std::vector<double> processor(timed_calls, process_seconds());
  std::vector<long> faults(timed_calls, minor_faults());
  for (int i = 0; i < warmup_calls; ++i) {
    if (!call(layer, reuse)) {
      fmt::print(stderr, "encoder_reference failed\n");
      return 1;
    }
  }

  for (std::size_t i = 0; i < timed_calls; ++i) {
    const long faults_before = minor_faults();
    const double wall_start = wall_seconds();
    const double processor_start = process_seconds();
    const bool ok = call(layer, reuse);
    processor[i] = process_seconds() - processor_start;
    wall[i] = wall_seconds() - wall_start;
    faults[i] = minor_faults() - faults_before;
    if (!ok) {
      fmt::print(stderr, "encoder_reference failed\n");
      return 1;
    }
  }

  if (arguments.size() > 5 && !dump(layer, std::string(arguments[5]).c_str())) {
    fmt::print(stderr, "cannot write {}\n", arguments[5]);
    return 1;
  }
  fmt::print("entry={} calls={} wall_ms={:.4f} cpu_ms={:.4f} faults_per_call={:.1f}\n", reuse ? "workspace" : "plain",
             timed_calls, median(wall) * 1e3, median(processor) * 1e3,
             static_cast<double>(std::accumulate(faults.begin(), faults.end(), 0L)) / timed_calls);
  return 0;
}
