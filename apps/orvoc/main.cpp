// orvoc: the command-line compiler. Parses the command line with its five
// subcommands and maps every outcome to the exit status: 0 on success, 1 when
// compilation, evaluation or file access fails, 2 on a usage error.
#include <exception>
#include <new>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.hpp"

namespace orvo_compiler::orvoc {
namespace {

constexpr const char* exit_status_footer =
    "Exit status: 0 on success, 1 when compilation, evaluation or file access fails, 2 on a usage error.\n";
// For the commands whose stages can take a while.
constexpr const char* progress_footer =
    "Progress: when standard error is a terminal, each stage that can take a while (importing, compiling, "
    "explaining a memory failure, evaluating, writing files) shows as 'orvoc: <stage>...' while it runs; a stage "
    "of a second or more keeps its line with the seconds taken, a quicker one is blanked out. --quiet shows none.\n"
    "Exit status: 0 on success, 1 when compilation, evaluation or file access fails, 2 on a usage error.\n";

void add_quiet_flag(CLI::App& command, bool& quiet) {
  command.add_flag("-q,--quiet", quiet, "Show no progress on standard error");
}

void add_workload_options(CLI::App& command, WorkloadArguments& arguments) {
  command.add_option("--sequence", arguments.sequence, "Token rows of the encoder input")
      ->type_name("N")
      ->capture_default_str();
  command.add_option("--hidden", arguments.hidden, "Model width")->type_name("N")->capture_default_str();
  command.add_option("--heads", arguments.heads, "Attention heads")->type_name("N")->capture_default_str();
  command.add_option("--feed-forward", arguments.feed_forward, "Inner width of the feed-forward block")
      ->type_name("N")
      ->capture_default_str();
}

// The files compile writes: the JSON schedule, the streams and the pictures
// of the schedule, with the tile they show first.
void add_output_options(CLI::App& command, CompileArguments& compile) {
  const struct {
    const char* name;
    std::string& value;
    const char* help;
    const char* type;
  } options[] = {
      {"--json", compile.json,
       "Write the schedule and its statistics as JSON to FILE ('-': standard output, instead of the summary)",
       "FILE"},
      {"--streams", compile.streams, "Write each tile's encoded command stream to DIR/tile-NNNN.bin", "DIR"},
      {"--memory-map", compile.memory_map, "Write an SVG map of one tile's SRAM over the phases to FILE (see --tile)",
       "FILE"},
      {"--tile", compile.tile,
       "The tile of --memory-map and the one --report shows first (default: the highest peak)", "N"},
      {"--report", compile.report,
       "Write a self-contained HTML report (summary, peaks, memory maps, phases) to FILE", "FILE"},
      {"--trace", compile.trace,
       "Write the schedule as trace-event JSON (one track per tile, one phase = 1 us) to FILE", "FILE"},
  };
  for (const auto& option : options) {
    command.add_option(option.name, option.value, option.help)->type_name(option.type);
  }
}

// The model file and its --dim options; `required` for import and run.
void add_model_options(CLI::App& command, ModelArguments& model, bool required) {
  // A word that names no file is a usage error, as a stray argument was
  // before compile took a model.
  CLI::Option* path = command.add_option("MODEL", model.path, "An ONNX model file (.onnx)")
                          ->type_name("MODEL")
                          ->check(CLI::ExistingFile);
  if (required) {
    path->required();
  }
  command.add_option("--dim", model.dimensions, "Value of a symbolic dimension of the model's inputs (repeatable)")
      ->type_name("NAME=N");
}

CLI::App* add_compile_command(CLI::App& app, CompileArguments& compile) {
  CLI::App* command =
      app.add_subcommand("compile", "Compile the encoder workload, or the model of an ONNX file (MODEL)");
  add_model_options(*command, compile.model, false);
  add_workload_options(*command, compile.workload);
  command->add_option("--layers", compile.workload.layers, "Encoder layers in sequence")
      ->type_name("N")
      ->capture_default_str();
  command->add_option("--tiles", compile.tiles, "Number of tiles, 1 to 65535")->type_name("N")->capture_default_str();
  command->add_option("--data-base", compile.data_base, "First address of each tile's data window")
      ->type_name("ADDRESS")
      ->capture_default_str();
  command->add_option("--data-limit", compile.data_limit, "End of the data window (exclusive)")
      ->type_name("ADDRESS")
      ->capture_default_str();
  add_output_options(*command, compile);
  command->add_option("--log-level", compile.log_level, "Library log events on stderr: off, info, debug")
      ->type_name("LEVEL")
      ->capture_default_str();
  command->add_flag("-q,--quiet", compile.quiet, "Print no summary and show no progress");
  command->footer(progress_footer);
  return command;
}

CLI::App* add_reference_command(CLI::App& app, ReferenceArguments& reference) {
  CLI::App* command = app.add_subcommand("reference", "Evaluate the encoder reference on the deterministic weights");
  add_workload_options(*command, reference.workload);
  command
      ->add_option("--input", reference.input,
                   "Raw little-endian float32 input, sequence x hidden values (default: (i - 9) / 16)")
      ->type_name("FILE");
  command->add_option("--output", reference.output, "Write the output as raw little-endian float32")
      ->type_name("FILE");
  add_quiet_flag(*command, reference.quiet);
  command->footer(progress_footer);
  return command;
}

CLI::App* add_import_command(CLI::App& app, ImportArguments& import) {
  CLI::App* command = app.add_subcommand(
      "import", "Import an ONNX model and print its inputs, outputs, operations, weights and fused patterns");
  add_model_options(*command, import.model, true);
  add_quiet_flag(*command, import.quiet);
  command->footer(progress_footer);
  return command;
}

CLI::App* add_run_command(CLI::App& app, RunArguments& run) {
  CLI::App* command =
      app.add_subcommand("run", "Evaluate an ONNX model on the host from .npy inputs, bit-exactly");
  add_model_options(*command, run.model, true);
  command
      ->add_option("--input", run.inputs,
                   "A graph input from a .npy file (float32, little-endian, C order, the input's exact shape); "
                   "every input must be given")
      ->type_name("NAME=FILE");
  command
      ->add_option("--output", run.output,
                   "Write every output to DIR/<name>.npy, characters outside A-Z a-z 0-9 . _ - of the name made '_'")
      ->type_name("DIR");
  command
      ->add_option("--threads", run.threads,
                   "Threads of the evaluation, 1 to 256 (default: the processor's); the results never depend on it")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, max_thread_count));
  add_quiet_flag(*command, run.quiet);
  command->footer(progress_footer);
  return command;
}

// Whether any option that describes the built-in encoder was given.
bool encoder_options_given(const CLI::App& command) {
  for (const char* name : {"--sequence", "--hidden", "--heads", "--feed-forward", "--layers"}) {
    if (command.count(name) > 0) {
      return true;
    }
  }
  return false;
}

CLI::App* add_selfcheck_command(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "selfcheck", "Run the self-checks; other arguments (--gtest_filter=... and the like) go to GoogleTest");
  command->allow_extras();
  command->footer(exit_status_footer);
  return command;
}

// The exit status when parsing ends the run (help, version, a usage error);
// empty when a command is to run.
std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    report_error(error.what());
    return exit_usage;
  }
  return std::nullopt;
}

int run(int argc, char** argv) {
  CLI::App app{
      "Ahead-of-time compiler for tile processors: compiles the encoder workload or an ONNX model, "
      "evaluates models and the encoder reference on the host, and runs the self-checks.",
      "orvoc"};
  app.set_version_flag("--version", "orvoc " ORVOC_VERSION, "Print the version and exit");
  app.require_subcommand(0, 1);
  app.footer(exit_status_footer);

  CompileArguments compile;
  const CLI::App* compile_command = add_compile_command(app, compile);
  ReferenceArguments reference;
  const CLI::App* reference_command = add_reference_command(app, reference);
  ImportArguments import;
  const CLI::App* import_command = add_import_command(app, import);
  RunArguments run_arguments;
  const CLI::App* run_command = add_run_command(app, run_arguments);
  CLI::App* selfcheck_command = add_selfcheck_command(app);

  if (const std::optional<int> status = parse_command_line(app, argc, argv)) {
    return *status;
  }
  if (compile_command->parsed()) {
    compile.encoder_options_given = encoder_options_given(*compile_command);
    return run_compile(compile);
  }
  if (import_command->parsed()) {
    return run_import(import);
  }
  if (run_command->parsed()) {
    return run_model(run_arguments);
  }
  if (reference_command->parsed()) {
    return run_reference(reference);
  }
  if (selfcheck_command->parsed()) {
    return run_selfcheck(selfcheck_command->remaining());
  }
  report_error("a subcommand is required: compile, import, run, reference or selfcheck (see orvoc --help)");
  return exit_usage;
}

}  // namespace
}  // namespace orvo_compiler::orvoc

int main(int argc, char** argv) {
  try {
    return orvo_compiler::orvoc::run(argc, argv);
  } catch (const std::bad_alloc&) {
    orvo_compiler::orvoc::report_error("out of memory");
  } catch (const std::exception& error) {
    orvo_compiler::orvoc::report_error(error.what());
  }
  return orvo_compiler::orvoc::exit_failure;
}
