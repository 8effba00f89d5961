// Bytes given to import_onnx as a serialised model (symbols batch and
// sequence bound). Any input gives a model or an "onnx: " Graph error. A model
// imported must validate, hold the values of exactly its weights, import the
// same a second time and, when small, evaluate on zero inputs (failing only on
// an integer division by zero): evaluate checks
// every operation's shape rule again, so a mapping fault shows up there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "fuzz_support.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"

namespace {

using namespace orvo_compiler;

// Zeros of the tensor's element type, one per element.
TensorData zeros(const Tensor& tensor) {
  switch (tensor.dtype) {
    case DType::F32:
      return std::vector<float>(tensor.elements(), 0.0F);
    case DType::I64:
      return std::vector<std::int64_t>(tensor.elements(), 0);
    case DType::Bool:
      return std::vector<std::uint8_t>(tensor.elements(), 0);
  }
  return std::vector<float>(tensor.elements(), 0.0F);
}

// Graphs up to this many elements in all are evaluated.
constexpr std::uint64_t evaluated_elements = std::uint64_t{1} << 20;

// Equality that holds for NaNs too: weights compared bit for bit, operation
// kinds (LayerNorm's epsilon may be NaN) by their rendering.
bool same_model(const ImportedModel& a, const ImportedModel& b) {
  const auto same_op = [](const Op& x, const Op& y) {
    return x.id == y.id && x.name == y.name && x.inputs == y.inputs && x.output == y.output &&
           fmt::format("{}", x.kind) == fmt::format("{}", y.kind);
  };
  const auto same_values = [](const auto& x, const auto& y) {
    return x.first == y.first && dtype_of(x.second) == dtype_of(y.second) &&
           element_count(x.second) == element_count(y.second) &&
           std::visit(
               [&y](const auto& values) {
                 return std::memcmp(values.data(), std::get<std::decay_t<decltype(values)>>(y.second).data(),
                                    values.size() * sizeof(values[0])) == 0;
               },
               static_cast<const TensorData::variant&>(x.second));
  };
  return a.opset == b.opset && a.producer == b.producer && a.fused == b.fused && a.graph.tensors == b.graph.tensors &&
         a.graph.outputs == b.graph.outputs && std::ranges::equal(a.graph.ops, b.graph.ops, same_op) &&
         std::ranges::equal(a.weights, b.weights, same_values);
}

void check_model(std::span<const std::uint8_t> bytes, const ImportOptions& options, const ImportedModel& model) {
  orvo_fuzz::check(model.graph.validate().has_value(), "an imported graph validates");
  std::size_t weights = 0;
  std::uint64_t elements = 0;
  for (const Tensor& tensor : model.graph.tensors) {
    // Capped, so that element counts near 2^64 cannot wrap the total back
    // below the evaluation limit.
    elements = std::min(elements + std::min(tensor.elements(), evaluated_elements + 1), evaluated_elements + 1);
    if (tensor.kind == TensorKind::Weight) {
      ++weights;
      const auto found = model.weights.find(tensor.id);
      orvo_fuzz::check(found != model.weights.end() && element_count(found->second) == tensor.elements() &&
                           dtype_of(found->second) == tensor.dtype,
                       "every weight has as many values as elements");
    }
  }
  orvo_fuzz::check(model.weights.size() == weights, "values only for weights");
  const Result<ImportedModel> again = import_onnx(bytes, options);
  orvo_fuzz::check(again && same_model(*again, model), "importing twice gives the same model");
  if (elements > evaluated_elements) {
    return;
  }
  TensorValues values = model.weights;
  for (const Tensor& tensor : model.graph.tensors) {
    if (tensor.kind == TensorKind::Input) {
      values.emplace(tensor.id, zeros(tensor));
    }
  }
  const Result<TensorValues> evaluated = evaluate(model.graph, values);
  if (!evaluated) {
    // Zeros are valid values for every operation except integer division
    // and remainder, whose divisor they make zero.
    orvo_fuzz::check(evaluated.error().message.ends_with(": integer division by zero"),
                     orvo_fuzz::describe(evaluated.error()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ImportOptions options{{{"batch", 2}, {"sequence", 8}}};
  const Result<ImportedModel> model = import_onnx(bytes, options);
  if (!model) {
    orvo_fuzz::check(model.error().kind == CompileError::Kind::Graph && model.error().message.starts_with("onnx: "),
                     orvo_fuzz::describe(model.error()));
    return 0;
  }
  check_model(bytes, options, *model);
  return 0;
}
