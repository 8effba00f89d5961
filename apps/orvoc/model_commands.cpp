// `orvoc import` and `orvoc run`: what an imported model holds, and its
// outputs computed on the host from .npy inputs (float32, int64, int32 read as
// int64, bool), written in their own types. Output files are written all or
// nothing, as the compile command writes its files.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "commands.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/npy.hpp"
#include "orvo_compiler/session.hpp"

namespace orvo_compiler::orvoc {
namespace {

std::string shape_text(const Shape& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

// "  name [shape]", with the element type after it unless float32.
std::string tensor_line(const Tensor& tensor) {
  if (tensor.dtype == DType::F32) {
    return fmt::format("  {} {}", tensor.name, shape_text(tensor.shape));
  }
  return fmt::format("  {} {} {}", tensor.name, shape_text(tensor.shape), numpy_name(tensor.dtype));
}

// The model after its dimensions are bound; prints the error and gives the
// exit status when the options or the model are wrong.
std::expected<ImportedModel, int> import_model(const ModelArguments& arguments, Progress& progress) {
  const std::expected<ImportOptions, std::string> options = parse_dimensions(arguments.dimensions);
  if (!options) {
    report_error(options.error());
    return std::unexpected(exit_usage);
  }
  Result<ImportedModel> model =
      progress.run(fmt::format("importing {}", std::filesystem::path(arguments.path).filename().string()),
                   [&] { return load_model(arguments.path, *options); });
  if (!model) {
    report_error(model.error().message);
    return std::unexpected(exit_failure);
  }
  return std::move(*model);
}

std::string operations_line(const Graph& graph) {
  std::map<std::string_view, std::uint64_t> counts;
  for (const Op& op : graph.ops) {
    ++counts[operation_name(op.kind)];
  }
  std::vector<std::string> parts;
  for (const auto& [name, count] : counts) {
    parts.push_back(fmt::format("{} {}", name, count));
  }
  return fmt::format("operations: {} ({})\n", group_thousands(graph.ops.size()), fmt::join(parts, ", "));
}

std::string model_text(const std::string& path, const ImportedModel& model) {
  std::string text = fmt::format("model:      {} (opset {}{})\n", path, model.opset,
                                 model.producer.empty() ? std::string() : ", " + model.producer);
  text += "inputs:\n";
  std::uint64_t weight_bytes = 0;
  std::uint64_t weight_count = 0;
  for (const Tensor& tensor : model.graph.tensors) {
    if (tensor.kind == TensorKind::Input) {
      text += tensor_line(tensor) + "\n";
    }
    if (tensor.kind == TensorKind::Weight) {
      ++weight_count;
      weight_bytes += tensor.elements() * size(tensor.dtype);
    }
  }
  text += "outputs:\n";
  for (const TensorId output : model.graph.outputs) {
    text += tensor_line(model.graph.tensors[output.index]) + "\n";
  }
  text += operations_line(model.graph);
  text += fmt::format("weights:    {} tensors, {} B\n", group_thousands(weight_count), group_thousands(weight_bytes));
  text += model.fused.empty() ? "fused:      none\n" : "fused:\n";
  for (const std::string& fused : model.fused) {
    text += fmt::format("  {}\n", fused);
  }
  return text;
}

// "NAME=FILE" arguments by input name; a usage error for malformed or repeated ones.
std::expected<std::map<std::string, std::string>, std::string> parse_inputs(const std::vector<std::string>& texts) {
  std::map<std::string, std::string> files;
  for (const std::string& text : texts) {
    const std::size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == text.size()) {
      return std::unexpected(fmt::format("--input: expected NAME=FILE.npy, got '{}'", text));
    }
    if (!files.emplace(text.substr(0, equals), text.substr(equals + 1)).second) {
      return std::unexpected(fmt::format("--input: {} is given twice", text.substr(0, equals)));
    }
  }
  return files;
}

// The values of every graph input read from its file, checked against the
// input's shape and keyed by its name, as a session's run takes them; the
// error says what was expected and what was found. A name that names no input
// is reported once every input has its value.
std::expected<NamedArrays, std::string> read_inputs(const Graph& graph,
                                                     const std::map<std::string, std::string>& files) {
  std::map<TensorId, std::string> input_files;
  std::optional<std::string> unknown;
  for (const auto& [name, file] : files) {
    const Result<TensorId> input = tensor_by_name(graph, name, TensorKind::Input);
    if (!input) {
      if (!unknown) {
        unknown = name;
      }
      continue;
    }
    input_files.emplace(*input, file);
  }
  NamedArrays feeds;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.kind != TensorKind::Input) {
      continue;
    }
    const auto file = input_files.find(tensor.id);
    if (file == input_files.end()) {
      return std::unexpected(fmt::format("no --input for {} ({} {})", tensor.name, numpy_name(tensor.dtype),
                                         shape_text(tensor.shape)));
    }
    Result<NpyData> array = read_npy_data(file->second);
    if (!array) {
      return std::unexpected(fmt::format("input {}: {}", tensor.name, array.error().message));
    }
    if (const DType found = dtype_of(array->values); found != tensor.dtype) {
      return std::unexpected(fmt::format("input {}: expected {} {}, found {} {} in {}", tensor.name,
                                         numpy_name(tensor.dtype), shape_text(tensor.shape), numpy_name(found),
                                         shape_text(array->shape), file->second));
    }
    if (array->shape != tensor.shape) {
      return std::unexpected(fmt::format("input {}: expected {} {}, found {} in {}", tensor.name,
                                         numpy_name(tensor.dtype), shape_text(tensor.shape),
                                         shape_text(array->shape), file->second));
    }
    feeds.emplace(tensor.name, std::move(*array));
  }
  if (unknown) {
    return std::unexpected(fmt::format("the model has no input named {}", *unknown));
  }
  return feeds;
}

// The output's name with every character outside [A-Za-z0-9._-] replaced by
// '_', so that ONNX names such as "/ff/Add_1" or "logits:0" make file names.
std::string file_stem(const std::string& name) {
  std::string stem = name;
  std::replace_if(
      stem.begin(), stem.end(),
      [](char c) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return !plain && c != '.' && c != '_' && c != '-';
      },
      '_');
  if (stem.empty() || stem == "." || stem == "..") {
    stem = "_" + stem;
  }
  return stem;
}

// "name [shape]: sum S, min A, max B"; int64 outputs add "int64" after the
// shape and sum exactly (wrapping past 2^63), bool outputs count their trues.
std::string output_line(const TensorInfo& tensor, const TensorData& data) {
  const std::string head = fmt::format("{} {}", tensor.name, shape_text(tensor.shape));
  if (const auto* floats = std::get_if<std::vector<float>>(&data)) {
    double sum = 0.0;
    for (const float value : *floats) {
      sum += value;
    }
    const auto [minimum, maximum] = std::minmax_element(floats->begin(), floats->end());
    return fmt::format("{}: sum {}, min {}, max {}\n", head, sum, *minimum, *maximum);
  }
  if (const auto* integers = std::get_if<std::vector<std::int64_t>>(&data)) {
    std::uint64_t sum = 0;
    for (const std::int64_t value : *integers) {
      sum += static_cast<std::uint64_t>(value);
    }
    const auto [minimum, maximum] = std::minmax_element(integers->begin(), integers->end());
    return fmt::format("{} int64: sum {}, min {}, max {}\n", head, static_cast<std::int64_t>(sum), *minimum,
                       *maximum);
  }
  const auto& flags = std::get<std::vector<std::uint8_t>>(data);
  return fmt::format("{} bool: {} of {} true\n", head, std::ranges::count(flags, std::uint8_t{1}), flags.size());
}

// Stages DIR/<stem>.npy for every output and commits them together.
std::expected<void, std::string> write_outputs(const std::filesystem::path& directory, const NamedArrays& outputs) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error || !std::filesystem::is_directory(directory)) {
    return std::unexpected(fmt::format("cannot write outputs to {}: {}", directory.string(),
                                       error ? error.message() : "not a directory"));
  }
  StagedFiles staged;
  std::map<std::string, std::string> stems;
  for (const auto& [name, array] : outputs) {
    const std::string stem = file_stem(name);
    if (const auto [other, fresh] = stems.emplace(stem, name); !fresh) {
      return std::unexpected(
          fmt::format("outputs {} and {} would both be written to {}.npy", other->second, name, stem));
    }
    if (auto written = staged.stage(directory / (stem + ".npy"), npy_data_bytes(array.shape, array.values));
        !written) {
      return written;
    }
  }
  return staged.commit();
}

}  // namespace

int run_import(const ImportArguments& arguments) {
  Progress progress(std::cerr, progress_wanted(arguments.quiet));
  const std::expected<ImportedModel, int> model = import_model(arguments.model, progress);
  if (!model) {
    return model.error();
  }
  return print_output(model_text(arguments.model.path, *model));
}

int run_model(const RunArguments& arguments) {
  const auto files = parse_inputs(arguments.inputs);
  if (!files) {
    report_error(files.error());
    return exit_usage;
  }
  Progress progress(std::cerr, progress_wanted(arguments.quiet));
  std::expected<ImportedModel, int> model = import_model(arguments.model, progress);
  if (!model) {
    return model.error();
  }
  std::expected<NamedArrays, std::string> feeds =
      progress.run("reading the inputs", [&] { return read_inputs(model->graph, *files); });
  if (!feeds) {
    report_error(feeds.error());
    return exit_failure;
  }
  // The session binds the weights; a run takes the inputs.
  SessionOptions options;
  options.threads = arguments.threads;
  Result<Session> session =
      progress.run("preparing the evaluation", [&] { return Session::make(std::move(*model), options); });
  if (!session) {
    report_error(session.error().message);
    return exit_failure;
  }
  const Result<NamedArrays> outputs =
      progress.run(fmt::format("evaluating {} operations", group_thousands(session->model().graph.ops.size())),
                   [&] { return session->run(std::move(*feeds)); });
  if (!outputs) {
    report_error(outputs.error().message);
    return exit_failure;
  }
  if (!arguments.output.empty()) {
    if (auto written = progress.run("writing the outputs", [&] { return write_outputs(arguments.output, *outputs); });
        !written) {
      report_error(written.error());
      return exit_failure;
    }
  }
  // In the order the model lists its outputs, each once.
  std::string text;
  for (const TensorInfo& output : session->outputs()) {
    text += output_line(output, outputs->at(output.name).values);
  }
  return print_output(text);
}

}  // namespace orvo_compiler::orvoc
