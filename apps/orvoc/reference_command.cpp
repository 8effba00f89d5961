// `orvoc reference`: evaluates the encoder reference on the deterministic
// weights and reports the output's in-order float sum, its extremes and the
// time taken; optionally reads the input from and writes the output to raw
// little-endian float32 files.
#include <chrono>
#include <iostream>
#include <utility>

#include <fmt/format.h>

#include "commands.hpp"
#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {
namespace {

// The lists this command builds itself, the input and the weights, must
// have byte counts that fit in 64 bits: larger ones could never be allocated,
// their counts would wrap, and EncoderWeights::deterministic stops the
// process on a weight count past 64 bits. The layer's own scores and
// activations are encoder_reference's to refuse.
bool host_lists_fit(const EncoderConfig& config) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  for (const auto& [rows, columns] : {std::pair{s, h}, std::pair{h, h}, std::pair{h, f}}) {
    std::uint64_t elements = 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(rows, columns, &elements) || __builtin_mul_overflow(elements, sizeof(float), &bytes)) {
      return false;
    }
  }
  return true;
}

// The evaluator's input: element i is (i - 9) / 16, one float operation each.
std::vector<float> default_input(std::uint64_t count) {
  std::vector<float> input(count);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  }
  return input;
}

std::expected<std::vector<float>, std::string> file_input(const std::string& path, std::uint64_t count) {
  const std::expected<std::vector<std::uint8_t>, std::string> bytes = read_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  const std::optional<std::vector<float>> values = floats_from_bytes(*bytes);
  if (!values || values->size() != count) {
    return std::unexpected(fmt::format("{} holds {} B; the encoder input is {} float32 values, {} B", path,
                                       group_thousands(bytes->size()), group_thousands(count),
                                       group_thousands(count * 4)));
  }
  return *values;
}

}  // namespace

int run_reference(const ReferenceArguments& arguments) {
  const std::expected<Workload, std::string> workload = parse_workload(arguments.workload);
  if (!workload) {
    report_error(workload.error());
    return exit_usage;
  }
  const EncoderConfig& config = workload->config;
  if (!host_lists_fit(config)) {
    report_error("encoder dimensions too large: a matrix would exceed 2^64 bytes");
    return exit_usage;
  }
  const std::uint64_t count = config.sequence * config.hidden;

  std::expected<std::vector<float>, std::string> input =
      arguments.input.empty() ? default_input(count) : file_input(arguments.input, count);
  if (!input) {
    report_error(input.error());
    return exit_failure;
  }
  Progress progress(std::cerr, progress_wanted(arguments.quiet));
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  progress.start("evaluating the encoder reference");
  const auto started = std::chrono::steady_clock::now();
  const Result<std::vector<float>> output = encoder_reference(config, *input, weights);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  progress.finish(elapsed);
  if (!output) {
    report_error(output.error().message);
    return exit_failure;
  }

  if (!arguments.output.empty()) {
    StagedFiles staged;
    if (auto written = staged.stage(arguments.output, float_bytes(*output)); !written) {
      report_error(written.error());
      return exit_failure;
    }
    if (auto committed = staged.commit(); !committed) {
      report_error(committed.error());
      return exit_failure;
    }
  }

  float checksum = 0.0F;
  for (const float value : *output) {
    checksum += value;
  }
  std::string text = fmt::format("workload: encoder, sequence {}, hidden {}, heads {}, feed-forward {}\n",
                                 group_thousands(config.sequence), group_thousands(config.hidden),
                                 group_thousands(config.heads), group_thousands(config.feed_forward));
  text += arguments.input.empty() ? fmt::format("input:    (i - 9) / 16 for i = 0..{}\n", count == 0 ? 0 : count - 1)
                                  : fmt::format("input:    {}\n", arguments.input);
  text += fmt::format("values:   {}\n", group_thousands(output->size()));
  text += fmt::format("checksum: {}\n", checksum);
  if (!output->empty()) {
    const auto [minimum, maximum] = std::minmax_element(output->begin(), output->end());
    text += fmt::format("min:      {}\nmax:      {}\n", *minimum, *maximum);
  }
  text += fmt::format("time:     {:.3f} ms\n", elapsed.count() * 1000.0);
  return print_output(text);
}

}  // namespace orvo_compiler::orvoc
