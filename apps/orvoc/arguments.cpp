// What the subcommands share: the error line and the encoder options.
#include <iostream>
#include <limits>

#include <fmt/format.h>

#include "commands.hpp"

namespace orvo_compiler::orvoc {

void report_error(std::string_view message) {
  // Every line starts with "orvoc: ", whatever the message holds: an error
  // of several lines (an import's refusals) keeps them, a carriage return
  // cannot overwrite the prefix.
  std::string text = "orvoc: ";
  for (const char c : message) {
    if (c == '\n') {
      text += "\norvoc: ";
    } else {
      text += c == '\r' ? ' ' : c;
    }
  }
  std::cerr << text << '\n' << std::flush;
}

int print_output(std::string_view text) {
  std::cout << text << std::flush;
  if (!std::cout) {
    report_error("cannot write to standard output");
    return exit_failure;
  }
  return exit_success;
}

std::expected<Workload, std::string> parse_workload(const WorkloadArguments& arguments) {
  constexpr std::uint64_t any = std::numeric_limits<std::uint64_t>::max();
  Workload workload;
  const struct {
    std::string_view name;
    const std::string& text;
    std::uint64_t minimum;
    std::uint64_t& value;
  } fields[] = {
      {"--sequence", arguments.sequence, 0, workload.config.sequence},
      {"--hidden", arguments.hidden, 0, workload.config.hidden},
      {"--heads", arguments.heads, 0, workload.config.heads},
      {"--feed-forward", arguments.feed_forward, 0, workload.config.feed_forward},
      {"--layers", arguments.layers, 1, workload.layers},
  };
  for (const auto& field : fields) {
    const std::expected<std::uint64_t, std::string> value = option_number(field.name, field.text, field.minimum, any);
    if (!value) {
      return std::unexpected(value.error());
    }
    field.value = *value;
  }
  return workload;
}

std::expected<ImportOptions, std::string> parse_dimensions(const std::vector<std::string>& texts) {
  ImportOptions options;
  for (const std::string& text : texts) {
    const std::size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos) {
      return std::unexpected(fmt::format("--dim: expected NAME=N, got '{}'", text));
    }
    const std::string name = text.substr(0, equals);
    const std::expected<std::uint64_t, std::string> value =
        option_number("--dim " + name, std::string_view(text).substr(equals + 1), 1,
                      std::numeric_limits<std::uint64_t>::max());
    if (!value) {
      return std::unexpected(value.error());
    }
    if (!options.dimensions.emplace(name, *value).second) {
      return std::unexpected(fmt::format("--dim: {} is given twice", name));
    }
  }
  return options;
}

Result<ImportedModel> load_model(const std::string& path, const ImportOptions& options) {
  Result<ImportedModel> model = import_onnx(std::filesystem::path(path), options);
  if (model) {
    return model;
  }
  // The library's advice names ImportOptions; here the values come as --dim.
  const Result<std::vector<std::string>> unbound = unbound_dimensions(std::filesystem::path(path), options);
  if (!unbound || unbound->empty()) {
    return model;
  }
  std::vector<std::string> flags;
  for (const std::string& symbol : *unbound) {
    flags.push_back(fmt::format("--dim {}=N", symbol));
  }
  return std::unexpected(CompileError::graph(
      unbound->size() == 1
          ? fmt::format("onnx: symbolic dimension {} is not bound; pass {}", unbound->front(), flags.front())
          : fmt::format("onnx: symbolic dimensions {} are not bound; pass {}", fmt::join(*unbound, ", "),
                        fmt::join(flags, " "))));
}

}  // namespace orvo_compiler::orvoc
