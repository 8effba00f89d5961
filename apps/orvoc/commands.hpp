// The subcommands of orvoc as the command-line parser hands them over: option
// values still as text, checked by each command, which prints its own errors
// and returns the exit status.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/prepared.hpp"
#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

// Exit statuses of the tool.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;  // compilation, evaluation or file access failed
inline constexpr int exit_usage = 2;    // the command line is wrong

// Prints "orvoc: <message>" on stderr, each line of a message of several
// lines after its own "orvoc: ".
void report_error(std::string_view message);

// Writes `text` to stdout; a failed write (a full disk, a closed pipe) is
// reported and gives exit_failure, so it never passes for success.
[[nodiscard]] int print_output(std::string_view text);

struct WorkloadArguments {
  std::string sequence = "32";
  std::string hidden = "64";
  std::string heads = "4";
  std::string feed_forward = "256";
  std::string layers = "1";
};

// A model file and the values of its symbolic dimensions, "NAME=N" each.
struct ModelArguments {
  std::string path;  // empty: the built-in encoder
  std::vector<std::string> dimensions;
};

struct CompileArguments {
  WorkloadArguments workload;
  // Set when any encoder option was given, which a model file excludes.
  bool encoder_options_given = false;
  ModelArguments model;
  std::string tiles = "64";
  std::string data_base = "0x52000";
  std::string data_limit = "0xE0000";
  std::string json;
  std::string streams;
  std::string memory_map;
  std::string report;
  std::string trace;
  std::string tile;  // empty: the tile with the highest peak
  std::string log_level = "off";
  bool quiet = false;  // no summary and no progress
};

struct ReferenceArguments {
  WorkloadArguments workload;
  std::string input;
  std::string output;
  bool quiet = false;  // no progress
};

struct ImportArguments {
  ModelArguments model;
  bool quiet = false;  // no progress
};

struct RunArguments {
  ModelArguments model;
  std::vector<std::string> inputs;  // "NAME=FILE.npy" each
  std::string output;               // directory for the outputs; empty: none written
  bool quiet = false;               // no progress
  std::size_t threads = default_thread_count();  // threads of the evaluation; the bits never depend on it
};

// The values of symbolic dimensions given as "NAME=N"; the error is a one-line
// usage message naming the option.
[[nodiscard]] std::expected<ImportOptions, std::string> parse_dimensions(const std::vector<std::string>& texts);

// The model a command names, imported; the error is the importer's message,
// but for symbolic dimensions left unbound, named as the --dim options that
// bind them (every one at once).
[[nodiscard]] Result<ImportedModel> load_model(const std::string& path, const ImportOptions& options);

// The workload the arguments describe; the error is a one-line usage message.
// Dimensions are only parsed here: which ones the encoder accepts is the
// library's to say. `layers` must be at least 1.
[[nodiscard]] std::expected<Workload, std::string> parse_workload(const WorkloadArguments& arguments);

[[nodiscard]] int run_compile(const CompileArguments& arguments);
[[nodiscard]] int run_reference(const ReferenceArguments& arguments);
[[nodiscard]] int run_import(const ImportArguments& arguments);
[[nodiscard]] int run_model(const RunArguments& arguments);
// `arguments` are passed on to GoogleTest (--gtest_filter=... and the like).
[[nodiscard]] int run_selfcheck(const std::vector<std::string>& arguments);

}  // namespace orvo_compiler::orvoc
