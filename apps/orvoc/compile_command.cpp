// `orvoc compile`: checks the options, builds the encoder workload, compiles
// it, explains a memory failure, and writes the summary, the JSON schedule,
// the tile streams and the pictures of the schedule (memory map, report,
// trace). Files appear only when everything succeeded.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "commands.hpp"
#include "orvoc_core.hpp"
#include "orvo_compiler/schedule_json.hpp"

namespace orvo_compiler::orvoc {
namespace {

constexpr std::uint64_t max_tiles = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t max_address = std::numeric_limits<std::uint32_t>::max();

std::expected<CompilerOptions, std::string> parse_target(const CompileArguments& arguments) {
  const auto tiles = option_number("--tiles", arguments.tiles, 1, max_tiles);
  if (!tiles) {
    return std::unexpected(tiles.error());
  }
  const auto base = option_number("--data-base", arguments.data_base, 0, max_address);
  if (!base) {
    return std::unexpected(base.error());
  }
  const auto limit = option_number("--data-limit", arguments.data_limit, 0, max_address);
  if (!limit) {
    return std::unexpected(limit.error());
  }
  if (*base >= *limit) {
    return std::unexpected(fmt::format("empty data window: --data-base {} is not below --data-limit {}",
                                       arguments.data_base, arguments.data_limit));
  }
  return CompilerOptions{static_cast<std::uint16_t>(*tiles), static_cast<std::uint32_t>(*base),
                         static_cast<std::uint32_t>(*limit)};
}

std::expected<spdlog::level::level_enum, std::string> parse_log_level(const std::string& text) {
  if (text == "off") {
    return spdlog::level::off;
  }
  if (text == "info") {
    return spdlog::level::info;
  }
  if (text == "debug") {
    return spdlog::level::debug;
  }
  return std::unexpected(fmt::format("--log-level: '{}' is not one of off, info, debug", text));
}

// The library logs to "orvo_compiler" only when an application registers it.
void register_library_logger(spdlog::level::level_enum level) {
  if (level == spdlog::level::off) {
    return;
  }
  const std::shared_ptr<spdlog::logger> logger = spdlog::stderr_logger_st("orvo_compiler");
  logger->set_pattern("[%l] %v");
  logger->set_level(level);
}

int report_compile_error(const Graph& graph, const CompilerOptions& options, const CompileError& error,
                         Progress& progress) {
  report_error(error.message);
  // The diagnosis recompiles; its events would only confuse the log.
  spdlog::drop("orvo_compiler");
  const std::vector<std::string> lines =
      error.kind == CompileError::Kind::Memory
          ? progress.run("explaining the memory failure", [&] { return diagnose_memory_error(graph, options, error); })
          : std::vector<std::string>{};
  for (const std::string& line : lines) {
    report_error("diagnosis: " + line);
  }
  return exit_failure;
}

std::expected<void, std::string> stage_streams(StagedFiles& staged, const std::filesystem::path& directory,
                                               const Schedule& schedule) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error || !std::filesystem::is_directory(directory)) {
    return std::unexpected(
        fmt::format("cannot write streams to {}: {}", directory.string(), error ? error.message() : "not a directory"));
  }
  for (std::uint32_t tile = 0; tile < schedule.tile_count; ++tile) {
    const auto tile16 = static_cast<std::uint16_t>(tile);
    const Result<std::vector<std::uint8_t>> bytes = tile_stream_bytes(schedule, tile16);
    if (!bytes) {
      return std::unexpected(bytes.error().message);
    }
    if (auto staged_file = staged.stage(directory / stream_file_name(tile16), *bytes); !staged_file) {
      return staged_file;
    }
  }
  return {};
}

std::vector<std::uint8_t> text_bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The tile that --tile names, checked against the tile count; empty when not given.
std::expected<std::optional<std::uint16_t>, std::string> parse_tile(const CompileArguments& arguments,
                                                                    const CompilerOptions& options) {
  if (arguments.tile.empty()) {
    return std::nullopt;
  }
  if (arguments.memory_map.empty() && arguments.report.empty()) {
    return std::unexpected(std::string("--tile: needs --memory-map or --report"));
  }
  const auto tile = option_number("--tile", arguments.tile, 0, options.tile_count - 1U);
  if (!tile) {
    return std::unexpected(tile.error());
  }
  return static_cast<std::uint16_t>(*tile);
}

// Standard output is for the summary or the JSON; the pictures go to files only.
std::expected<void, std::string> check_picture_paths(const CompileArguments& arguments) {
  const struct {
    std::string_view option;
    const std::string& path;
  } pictures[] = {{"--memory-map", arguments.memory_map}, {"--report", arguments.report}, {"--trace", arguments.trace}};
  for (const auto& picture : pictures) {
    if (picture.path == "-") {
      return std::unexpected(fmt::format("{}: writes to a file only ('-' is standard output)", picture.option));
    }
  }
  return {};
}

// Stages the memory map, report and trace that were asked for; without
// --tile, they show the tile with the highest peak.
std::expected<void, std::string> stage_pictures(StagedFiles& staged, const CompileArguments& arguments,
                                                const Workload& workload, const CompilerOptions& options,
                                                const Graph& graph, const Schedule& schedule,
                                                std::optional<std::uint16_t> tile) {
  if (!tile) {
    const ScheduleStatistics statistics = schedule_statistics(graph, schedule);
    tile = statistics.worst_tile ? statistics.worst_tile->tile : std::uint16_t{0};
  }
  // Each picture is drawn only when asked for, and staged at once.
  if (!arguments.memory_map.empty()) {
    if (auto written = staged.stage(arguments.memory_map, text_bytes(memory_map_svg(graph, schedule, options, *tile)));
        !written) {
      return written;
    }
  }
  if (!arguments.report.empty()) {
    if (auto written =
            staged.stage(arguments.report, text_bytes(report_html(workload, options, graph, schedule, *tile)));
        !written) {
      return written;
    }
  }
  if (!arguments.trace.empty()) {
    if (auto written = staged.stage(arguments.trace, text_bytes(trace_json(graph, schedule))); !written) {
      return written;
    }
  }
  return {};
}

// For a model file: its name as the workload, and the dimension values. The
// encoder options describe the built-in workload, so they exclude a model.
std::expected<ImportOptions, std::string> parse_model(const CompileArguments& arguments, Workload& workload) {
  if (arguments.model.path.empty()) {
    if (!arguments.model.dimensions.empty()) {
      return std::unexpected(std::string("--dim: needs a model file"));
    }
    return ImportOptions{};
  }
  if (arguments.encoder_options_given) {
    return std::unexpected(
        std::string("the encoder options (--sequence, --hidden, --heads, --feed-forward, --layers) do not go with "
                    "a model file"));
  }
  workload.model = std::filesystem::path(arguments.model.path).filename().string();
  return parse_dimensions(arguments.model.dimensions);
}

// What the compile command's arguments ask for, checked.
struct CompileRequest {
  Workload workload;
  ImportOptions import_options;  // for a model file
  CompilerOptions options;
  std::optional<std::uint16_t> tile;
  spdlog::level::level_enum log_level = spdlog::level::off;
};

// The request, or the first usage error in the order the options are checked.
std::expected<CompileRequest, std::string> parse_request(const CompileArguments& arguments) {
  std::expected<Workload, std::string> workload = parse_workload(arguments.workload);
  if (!workload) {
    return std::unexpected(workload.error());
  }
  const std::expected<ImportOptions, std::string> import_options = parse_model(arguments, *workload);
  if (!import_options) {
    return std::unexpected(import_options.error());
  }
  const std::expected<CompilerOptions, std::string> options = parse_target(arguments);
  if (!options) {
    return std::unexpected(options.error());
  }
  const std::expected<std::optional<std::uint16_t>, std::string> tile = parse_tile(arguments, *options);
  if (!tile) {
    return std::unexpected(tile.error());
  }
  if (auto paths = check_picture_paths(arguments); !paths) {
    return std::unexpected(paths.error());
  }
  const std::expected<spdlog::level::level_enum, std::string> log_level = parse_log_level(arguments.log_level);
  if (!log_level) {
    return std::unexpected(log_level.error());
  }
  return CompileRequest{*workload, *import_options, *options, *tile, *log_level};
}

// The encoder's graph, or the model's.
Result<Graph> request_graph(const CompileArguments& arguments, const CompileRequest& request, Progress& progress) {
  if (request.workload.model.empty()) {
    return workload_graph(request.workload);
  }
  Result<ImportedModel> model = progress.run(fmt::format("importing {}", request.workload.model), [&] {
    return load_model(arguments.model.path, request.import_options);
  });
  if (!model) {
    return std::unexpected(model.error());
  }
  return std::move(model->graph);
}

// Stages the JSON file, the streams and the pictures asked for, then commits
// them all at once.
std::expected<void, std::string> write_files(const CompileArguments& arguments, const CompileRequest& request,
                                             const Graph& graph, const Schedule& schedule,
                                             const std::string& json_text) {
  StagedFiles staged;
  if (!arguments.json.empty() && arguments.json != "-") {
    if (auto written = staged.stage(arguments.json, text_bytes(json_text)); !written) {
      return written;
    }
  }
  if (!arguments.streams.empty()) {
    if (auto written = stage_streams(staged, arguments.streams, schedule); !written) {
      return written;
    }
  }
  if (auto written =
          stage_pictures(staged, arguments, request.workload, request.options, graph, schedule, request.tile);
      !written) {
    return written;
  }
  return staged.commit();
}

}  // namespace

int run_compile(const CompileArguments& arguments) {
  const std::expected<CompileRequest, std::string> request = parse_request(arguments);
  if (!request) {
    report_error(request.error());
    return exit_usage;
  }
  // Library log events share standard error; a progress line would split them.
  Progress progress(std::cerr, request->log_level == spdlog::level::off && progress_wanted(arguments.quiet));
  const Result<Graph> graph = request_graph(arguments, *request, progress);
  if (!graph) {
    report_error(graph.error().message);
    return exit_failure;
  }

  register_library_logger(request->log_level);
  progress.start(fmt::format("compiling {} operations for {} tiles", group_thousands(graph->ops.size()),
                             group_thousands(request->options.tile_count)));
  const auto started = std::chrono::steady_clock::now();
  const Result<Schedule> schedule = compile(*graph, request->options);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  progress.finish(elapsed);
  if (!schedule) {
    return report_compile_error(*graph, request->options, schedule.error(), progress);
  }
  spdlog::drop("orvo_compiler");

  std::string json_text;
  const std::expected<void, std::string> written = progress.run("writing the output", [&] {
    if (!arguments.json.empty()) {
      json_text = schedule_json(request->workload, request->options, *graph, *schedule).dump(2) + "\n";
    }
    return write_files(arguments, *request, *graph, *schedule, json_text);
  });
  if (!written) {
    report_error(written.error());
    return exit_failure;
  }
  if (arguments.json == "-") {
    return print_output(json_text);
  }
  if (!arguments.quiet) {
    const ScheduleStatistics statistics = schedule_statistics(*graph, *schedule);
    return print_output(summary_text(request->workload, request->options, *schedule, statistics, elapsed.count()));
  }
  return exit_success;
}

}  // namespace orvo_compiler::orvoc
