// The importer's entry points: the passes in order (parse, bind dimensions,
// fold constants, fuse patterns, map operators and build the graph), each
// failure passed on unchanged; and the symbols a model leaves unbound.
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "onnx/bind_dimensions.hpp"
#include "onnx/build_graph.hpp"
#include "onnx/fold_constants.hpp"
#include "onnx/fuse_patterns.hpp"
#include "onnx/parse_model.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler {
namespace {

Result<std::vector<std::uint8_t>> read_model_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
  std::vector<std::uint8_t> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (size >= 0) {
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  if (size < 0 || !file) {
    return std::unexpected(CompileError::graph(fmt::format("onnx: cannot read {}", path.string())));
  }
  return bytes;
}

// Every tensor of the graph holds at most `limit` elements.
Result<void> check_sizes(const Graph& graph, std::uint64_t limit) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.elements() > limit) {
      return std::unexpected(CompileError::graph(
          fmt::format("onnx: tensor {} of shape [{}] would hold {} elements, more than the limit of {} "
                      "(ImportOptions::max_elements)",
                      tensor.name, fmt::join(tensor.shape, ", "), tensor.elements(), limit)));
    }
  }
  return {};
}

}  // namespace

Result<ImportedModel> import_onnx(std::span<const std::uint8_t> bytes, const ImportOptions& options) {
  using namespace onnx_import;
  Result<Model> model = parse_model(bytes);
  if (!model) {
    return std::unexpected(model.error());
  }
  Result<std::vector<BoundInput>> inputs = bind_dimensions(model->inputs, options.dimensions);
  if (!inputs) {
    return std::unexpected(inputs.error());
  }
  Result<Folded> folded = fold_constants(std::move(model->initializers), std::move(model->nodes), *inputs,
                                          model->opset);
  if (!folded) {
    return std::unexpected(folded.error());
  }
  std::set<std::string> outputs;
  for (const ValueInfo& output : model->outputs) {
    outputs.insert(resolve_alias(*folded, output.name));
  }
  std::vector<std::string> fused = fuse_patterns(*folded, outputs);
  Result<ImportedModel> imported = build_graph(std::move(*folded), *inputs, model->outputs, options.dimensions);
  if (!imported) {
    return std::unexpected(imported.error());
  }
  if (Result<void> sizes = check_sizes(imported->graph, options.max_elements); !sizes) {
    return std::unexpected(sizes.error());
  }
  imported->opset = model->opset;
  imported->producer = std::move(model->producer);
  imported->fused = std::move(fused);
  return imported;
}

Result<ImportedModel> import_onnx(const std::filesystem::path& path, const ImportOptions& options) {
  Result<std::vector<std::uint8_t>> bytes = read_model_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  return import_onnx(std::span<const std::uint8_t>(*bytes), options);
}

Result<std::vector<std::string>> unbound_dimensions(std::span<const std::uint8_t> bytes,
                                                    const ImportOptions& options) {
  Result<onnx_import::Model> model = onnx_import::parse_model(bytes);
  if (!model) {
    return std::unexpected(model.error());
  }
  return onnx_import::unbound_symbols(model->inputs, options.dimensions);
}

Result<std::vector<std::string>> unbound_dimensions(const std::filesystem::path& path, const ImportOptions& options) {
  Result<std::vector<std::uint8_t>> bytes = read_model_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  return unbound_dimensions(std::span<const std::uint8_t>(*bytes), options);
}

}  // namespace orvo_compiler
