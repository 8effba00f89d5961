// Session: an imported model bound to a prepared evaluation, with its inputs
// and outputs listed and every run's values checked by name, shape and type.
#include "orvo_compiler/session.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/npy.hpp"
#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/prepared.hpp"

namespace orvo_compiler {
namespace {

TensorInfo info_of(const Tensor& tensor) { return TensorInfo{tensor.name, tensor.shape, tensor.dtype}; }

std::string shape_text(const Shape& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

// "x (float32 [1, 24, 96])".
std::string described(const TensorInfo& info) {
  return fmt::format("{} ({} {})", info.name, numpy_name(info.dtype), shape_text(info.shape));
}

// "a, b and c", for the names an error offers instead.
std::string listed(const std::vector<TensorInfo>& infos) {
  std::string text;
  for (std::size_t index = 0; index < infos.size(); ++index) {
    if (index > 0) {
      text += index + 1 == infos.size() ? " and " : ", ";
    }
    text += infos[index].name;
  }
  return text.empty() ? std::string("none") : text;
}

CompileError session_error(std::string message) { return CompileError::graph("session: " + std::move(message)); }

// Checks one feed against the input it names.
Result<void> check_feed(const TensorInfo& input, const NpyData& feed) {
  if (feed.shape != input.shape) {
    return std::unexpected(session_error(fmt::format("input {} has shape {}; the model expects {}", input.name,
                                                     shape_text(feed.shape), shape_text(input.shape))));
  }
  if (const DType given = dtype_of(feed.values); given != input.dtype) {
    return std::unexpected(session_error(fmt::format("input {} holds {}; the model expects {}", input.name,
                                                     numpy_name(given), numpy_name(input.dtype))));
  }
  // The shape is the input's, whose element count validation kept below 2^64.
  const std::uint64_t expected =
      std::accumulate(input.shape.begin(), input.shape.end(), std::uint64_t{1}, std::multiplies<>());
  if (const std::uint64_t given = element_count(feed.values); given != expected) {
    return std::unexpected(session_error(fmt::format("input {} holds {} values for its shape {}", input.name,
                                                     given, shape_text(feed.shape))));
  }
  return {};
}

}  // namespace

std::vector<TensorInfo> input_infos(const Graph& graph) {
  std::vector<TensorInfo> infos;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.kind == TensorKind::Input) {
      infos.push_back(info_of(tensor));
    }
  }
  return infos;
}

std::vector<TensorInfo> output_infos(const Graph& graph) {
  std::vector<TensorInfo> infos;
  std::set<TensorId> listed_ids;
  for (const TensorId output : graph.outputs) {
    if (output.index < graph.tensors.size() && listed_ids.insert(output).second) {
      infos.push_back(info_of(graph.tensors[output.index]));
    }
  }
  return infos;
}

class Session::Impl {
 public:
  Impl(ImportedModel imported, PreparedEvaluation made, std::string label)
      : model(std::move(imported)),
        prepared(std::move(made)),
        name(std::move(label)),
        inputs(input_infos(model.graph)),
        outputs(output_infos(model.graph)) {
    for (const Tensor& tensor : model.graph.tensors) {
      if (tensor.kind == TensorKind::Input) {
        input_ids.emplace(tensor.name, tensor.id);
      }
    }
    for (const TensorId output : model.graph.outputs) {
      output_ids.emplace(model.graph.tensors[output.index].name, output);
    }
  }

  ImportedModel model;
  PreparedEvaluation prepared;
  std::string name;
  std::vector<TensorInfo> inputs;
  std::vector<TensorInfo> outputs;
  std::map<std::string, TensorId> input_ids;
  std::map<std::string, TensorId> output_ids;
  // One run at a time: the kept outputs belong to the run in progress.
  std::mutex run_mutex;
  TensorValues computed;
};

Session::Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

Result<Session> Session::make(ImportedModel model, const SessionOptions& options) {
  Result<PreparedEvaluation> prepared = PreparedEvaluation::make(model.graph, options.threads);
  if (!prepared) {
    return std::unexpected(prepared.error());
  }
  // The prepared evaluation keeps its own copy of the weights (and packs the
  // products' right matrices from it).
  if (Result<void> bound = prepared->bind(model.weights); !bound) {
    return std::unexpected(bound.error());
  }
  std::string name = options.name.empty() ? std::string("model") : options.name;
  return Session(std::make_unique<Impl>(std::move(model), std::move(*prepared), std::move(name)));
}

Result<Session> Session::load(const std::filesystem::path& path, const SessionOptions& options) {
  Result<ImportedModel> model = import_onnx(path, options.import);
  if (!model) {
    return std::unexpected(model.error());
  }
  SessionOptions named = options;
  if (named.name.empty()) {
    named.name = path.filename().string();
  }
  return make(std::move(*model), named);
}

Result<Session> Session::load(std::span<const std::uint8_t> bytes, const SessionOptions& options) {
  Result<ImportedModel> model = import_onnx(bytes, options.import);
  if (!model) {
    return std::unexpected(model.error());
  }
  return make(std::move(*model), options);
}

const std::vector<TensorInfo>& Session::inputs() const { return impl_->inputs; }
const std::vector<TensorInfo>& Session::outputs() const { return impl_->outputs; }
const ImportedModel& Session::model() const { return impl_->model; }
const std::string& Session::name() const { return impl_->name; }
std::size_t Session::threads() const { return impl_->prepared.threads(); }

Result<NamedArrays> Session::run(NamedArrays feeds, std::span<const std::string> wanted) {
  // Every check before any work: unknown names first, then each input in
  // the model's order.
  for (const auto& [name, feed] : feeds) {
    if (!impl_->input_ids.contains(name)) {
      return std::unexpected(
          session_error(fmt::format("the model has no input named {}; its inputs are {}", name, listed(impl_->inputs))));
    }
  }
  for (const std::string& name : wanted) {
    if (!impl_->output_ids.contains(name)) {
      return std::unexpected(session_error(
          fmt::format("the model has no output named {}; its outputs are {}", name, listed(impl_->outputs))));
    }
  }
  TensorValues values;
  for (const TensorInfo& input : impl_->inputs) {
    const auto feed = feeds.find(input.name);
    if (feed == feeds.end()) {
      return std::unexpected(session_error(fmt::format("no value for input {}", described(input))));
    }
    if (Result<void> checked = check_feed(input, feed->second); !checked) {
      return std::unexpected(checked.error());
    }
    values.emplace(impl_->input_ids.at(input.name), std::move(feed->second.values));
  }

  const std::scoped_lock lock(impl_->run_mutex);
  if (Result<void> ran = impl_->prepared.run(values, impl_->computed); !ran) {
    return std::unexpected(ran.error());
  }
  NamedArrays results;
  for (const TensorInfo& output : impl_->outputs) {
    if (!wanted.empty() && std::ranges::find(wanted, output.name) == wanted.end()) {
      continue;
    }
    results.emplace(output.name,
                    NpyData{output.shape, std::move(impl_->computed.at(impl_->output_ids.at(output.name)))});
  }
  return results;
}

Result<Schedule> Session::compile(const CompilerOptions& options) const {
  return orvo_compiler::compile(impl_->model.graph, options);
}

}  // namespace orvo_compiler
