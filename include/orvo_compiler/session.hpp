// A model ready to run: imported once, its weights bound to a prepared
// evaluation, its inputs and outputs listed by name, shape and element type,
// and every run's values checked against them before anything is computed.
// Part of the ONNX library (orvo_compiler::onnx).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/npy.hpp"
#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/prepared.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// An input or output of a model as its caller names and feeds it.
struct TensorInfo {
  std::string name;
  Shape shape;
  DType dtype = DType::F32;

  friend bool operator==(const TensorInfo&, const TensorInfo&) = default;
};

// The graph's inputs, in the order the graph declares them.
[[nodiscard]] std::vector<TensorInfo> input_infos(const Graph& graph);
// The graph's outputs in the order it marks them, each tensor once.
[[nodiscard]] std::vector<TensorInfo> output_infos(const Graph& graph);

struct SessionOptions {
  // How the model is imported: its symbolic dimensions' values and the size
  // limit of one tensor.
  ImportOptions import;
  // Threads each run uses, the caller's included (1 to max_thread_count).
  std::size_t threads = default_thread_count();
  // What reports of the model's schedules call it; empty means the model
  // file's name, or "model" for a model given as bytes.
  std::string name;

  friend bool operator==(const SessionOptions&, const SessionOptions&) = default;
};

// Values of a run keyed by input or output name; each an array of the
// tensor's shape, elements in C order.
using NamedArrays = std::map<std::string, NpyData>;

// An imported model with its weights bound to a prepared evaluation. A run
// names only the model's inputs; each must be given, with exactly the shape
// and element type the model declares, and the errors say which input, what
// the model expects and what was given. Runs give `evaluate`'s bits on any
// thread count. Runs of one session are serialised.
class Session {
 public:
  // A session over an imported model. Fails as PreparedEvaluation::make and
  // PreparedEvaluation::bind fail for the model's graph and weights.
  [[nodiscard]] static Result<Session> make(ImportedModel model, const SessionOptions& options = {});
  // A session over the model in a file or in serialised bytes; also fails as
  // import_onnx does.
  [[nodiscard]] static Result<Session> load(const std::filesystem::path& path, const SessionOptions& options = {});
  [[nodiscard]] static Result<Session> load(std::span<const std::uint8_t> bytes, const SessionOptions& options = {});

  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  [[nodiscard]] const std::vector<TensorInfo>& inputs() const;
  [[nodiscard]] const std::vector<TensorInfo>& outputs() const;
  // The imported model: its graph, weights, opset, producer and fusions.
  [[nodiscard]] const ImportedModel& model() const;
  // What reports call the model.
  [[nodiscard]] const std::string& name() const;
  [[nodiscard]] std::size_t threads() const;

  // The outputs named in `wanted` (every output when empty) for `feeds`, one
  // array per input name. Fails, computing nothing, when a feed names no
  // input, an input has no feed, a feed's shape or element type is not the
  // input's, or its element count is not its shape's; then as `evaluate`
  // fails on the values, with the same texts.
  [[nodiscard]] Result<NamedArrays> run(NamedArrays feeds, std::span<const std::string> wanted = {});

  // The schedule of the model's graph for `options`, as `compile` returns it.
  [[nodiscard]] Result<Schedule> compile(const CompilerOptions& options) const;

 private:
  class Impl;
  explicit Session(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo_compiler
