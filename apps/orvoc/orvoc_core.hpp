// The command-line compiler's own building blocks: option numbers, the
// workload it compiles, the summary with its timing, tile stream files, the
// reference's raw floats, all-or-nothing output files and progress lines.
// They live in a small library so that the tests reach them directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvo_compiler/orvo_compiler.hpp"
#include "orvo_compiler/views.hpp"

namespace orvo_compiler::orvoc {

// ---- Numbers as people write them ------------------------------------------

// A decimal ("335872") or 0x-prefixed hexadecimal ("0x52000") number; nothing
// else (no sign, spaces or suffix). Empty for malformed text or a value past 2^64 - 1.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The value of option `name` (e.g. "--tiles") given as `text`, checked to lie
// within [minimum, maximum]; the error is a one-line message naming the option.
[[nodiscard]] std::expected<std::uint64_t, std::string> option_number(std::string_view name, std::string_view text,
                                                                      std::uint64_t minimum, std::uint64_t maximum);

// ---- The workload --------------------------------------------------------

// The workload's graph: the single encoder layer, or `layers` of them in
// sequence; fails as the encoder builders do.
[[nodiscard]] Result<Graph> workload_graph(const Workload& workload);

// ---- Output --------------------------------------------------------------

// The summary printed after a successful compile: schedule_summary and the compile time.
[[nodiscard]] std::string summary_text(const Workload& workload, const CompilerOptions& options,
                                       const Schedule& schedule, const ScheduleStatistics& statistics,
                                       double compile_seconds);

// "tile-0000.bin" for tile 0; at least four digits.
[[nodiscard]] std::string stream_file_name(std::uint16_t tile);

// The reference's input or output as raw little-endian float32.
[[nodiscard]] std::vector<std::uint8_t> float_bytes(std::span<const float> values);
// Empty when the byte count is not a multiple of 4.
[[nodiscard]] std::optional<std::vector<float>> floats_from_bytes(std::span<const std::uint8_t> bytes);

// ---- Progress ------------------------------------------------------------

// Progress of the stages that can take a while (import, compile, diagnosis,
// evaluation, writing files) on standard error, for a person at a terminal.
// With no thread of its own it cannot know, as a stage starts, how long it
// will take, so it writes "orvoc: <stage>..." at once and then, when the
// stage ends, completes that line with the seconds taken (" 2.3 s") for a
// stage of a second or more, or blanks it out with spaces between two '\r'
// otherwise, so that quick stages leave nothing to read. Disabled, it writes
// nothing at all.
class Progress {
 public:
  Progress(std::ostream& out, bool enabled);

  // Starts `stage`, a short phrase ("compiling 15 operations for 64 tiles");
  // control characters show as '?' and a long one is cut short.
  void start(std::string_view stage);
  // Ends the stage started last, which took `elapsed`.
  void finish(std::chrono::duration<double> elapsed);

  // `work()` run as `stage`, timed on the steady clock; its result.
  template <class Work>
  auto run(std::string_view stage, Work&& work) {
    start(stage);
    const auto started = std::chrono::steady_clock::now();
    auto result = std::forward<Work>(work)();
    finish(std::chrono::steady_clock::now() - started);
    return result;
  }

 private:
  std::ostream* out_;
  bool enabled_;
  std::size_t pending_ = 0;  // bytes of the line a stage left open; 0 when none
};

// Whether to show progress: not `quiet`, and standard error is a terminal.
[[nodiscard]] bool progress_wanted(bool quiet);

// ---- Files ---------------------------------------------------------------

// The whole content of a file; the error names the path and the reason.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> read_file(const std::filesystem::path& path);

// Output files written all or nothing: each is staged under a temporary name in
// its own directory, and `commit` renames them all into place. Files staged but
// not committed are removed when the object goes away, so a failure leaves no
// partial output behind.
class StagedFiles {
 public:
  StagedFiles() = default;
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles();

  // Writes `bytes` to a fresh temporary file beside `path`.
  [[nodiscard]] std::expected<void, std::string> stage(const std::filesystem::path& path,
                                                       std::span<const std::uint8_t> bytes);
  // Renames every staged file to its final path, in staging order.
  [[nodiscard]] std::expected<void, std::string> commit();

 private:
  struct Entry {
    std::filesystem::path temporary;
    std::filesystem::path final_path;
  };
  std::vector<Entry> entries_;
};

}  // namespace orvo_compiler::orvoc
