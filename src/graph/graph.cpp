// The graph builder: appends tensors and operations, applying each
// operation's shape rule (its kind's definition) first so that a failed call
// changes nothing; and the debug renderings of the graph's records.
#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "graph/op_definitions.hpp"
#include "orvo_compiler/graph.hpp"
#include "support/render.hpp"

namespace orvo_compiler {
namespace {

bool names_tensor(const Graph& graph, TensorId id) { return id.index < graph.tensors.size(); }

std::unexpected<CompileError> unknown_input(std::string_view name) {
  return std::unexpected(CompileError::graph(fmt::format("{}: unknown input", name)));
}

// `graph.apply` of an element-wise kind whose two operands must have one
// shape (the named builders; `apply` itself broadcasts).
Result<TensorId> same_shaped(Graph& graph, std::string_view name, OpKind kind, TensorId left, TensorId right) {
  if (!names_tensor(graph, left) || !names_tensor(graph, right)) {
    return unknown_input(name);
  }
  const std::array inputs{left, right};
  if (Result<Shape> shape = detail::same_shapes(detail::InputShapes(graph.tensors, inputs), name); !shape) {
    return std::unexpected(std::move(shape.error()));
  }
  return graph.apply(name, std::move(kind), {left, right});
}

}  // namespace

std::uint64_t Tensor::elements() const {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    count *= dimension;
  }
  return count;
}

TensorId Graph::tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{id, std::string(name), DType::F32, std::move(shape), kind, producer});
  return id;
}

TensorId Graph::input(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, Shape shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
}

TensorId Graph::input(std::string_view name, Shape shape, DType dtype) {
  const TensorId id = input(name, std::move(shape));
  tensors[id.index].dtype = dtype;
  return id;
}

TensorId Graph::weight(std::string_view name, Shape shape, DType dtype) {
  const TensorId id = weight(name, std::move(shape));
  tensors[id.index].dtype = dtype;
  return id;
}

Result<TensorId> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs, Shape shape) {
  if (!std::ranges::all_of(inputs, [this](TensorId id) { return names_tensor(*this, id); })) {
    return unknown_input(name);
  }
  const OpId id{ops.size()};
  const TensorId output = tensor(name, std::move(shape), TensorKind::Intermediate, id);
  ops.push_back(Op{id, std::string(name), std::move(kind), std::move(inputs), output});
  return output;
}

Result<TensorId> Graph::binary(std::string_view name, OpKind kind, TensorId left, TensorId right) {
  if (!names_tensor(*this, left) || !names_tensor(*this, right)) {
    return unknown_input(name);
  }
  const std::array inputs{left, right};
  Result<Shape> shape = detail::same_shapes(detail::InputShapes(tensors, inputs), name);
  if (!shape) {
    return std::unexpected(std::move(shape.error()));
  }
  return op(name, std::move(kind), {left, right}, std::move(*shape));
}

Result<TensorId> Graph::apply(std::string_view name, OpKind kind, std::vector<TensorId> inputs) {
  if (!std::ranges::all_of(inputs, [this](TensorId id) { return names_tensor(*this, id); })) {
    return unknown_input(name);
  }
  if (!detail::takes_inputs(kind, inputs.size())) {
    const std::size_t arity = detail::arity(kind);
    const std::string expected = arity == detail::variadic ? "at least 1" : fmt::format("{}", arity);
    return std::unexpected(CompileError::graph(
        fmt::format("{}: {} takes {} inputs, not {}", name, op_kind_info(kind).operation, expected, inputs.size())));
  }
  Result<Shape> shape = detail::output_shape(kind, detail::InputShapes(tensors, inputs), name);
  if (!shape) {
    return std::unexpected(std::move(shape.error()));
  }
  Result<DType> dtype = detail::output_dtype(kind, detail::InputTypes(tensors, inputs), name);
  if (!dtype) {
    return std::unexpected(std::move(dtype.error()));
  }
  Result<TensorId> output = op(name, std::move(kind), std::move(inputs), std::move(*shape));
  tensors[output->index].dtype = *dtype;
  return output;
}

Result<TensorId> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return same_shaped(*this, name, Add{}, left, right);
}

Result<TensorId> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  return apply(name, MatMul{}, {left, right});
}

Result<TensorId> Graph::transpose(std::string_view name, TensorId input, std::vector<std::uint64_t> permutation) {
  return apply(name, Transpose{std::move(permutation)}, {input});
}

Result<TensorId> Graph::softmax(std::string_view name, TensorId input, std::uint64_t axis) {
  return apply(name, Softmax{axis}, {input});
}

Result<TensorId> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  return apply(name, LayerNorm{epsilon}, {input});
}

Result<TensorId> Graph::gelu(std::string_view name, TensorId input) { return apply(name, Gelu{}, {input}); }

Result<TensorId> Graph::mul(std::string_view name, TensorId left, TensorId right) {
  return same_shaped(*this, name, Mul{}, left, right);
}

Result<TensorId> Graph::sub(std::string_view name, TensorId left, TensorId right) {
  return same_shaped(*this, name, Sub{}, left, right);
}

Result<TensorId> Graph::div(std::string_view name, TensorId left, TensorId right) {
  return same_shaped(*this, name, Div{}, left, right);
}

Result<TensorId> Graph::reshape(std::string_view name, TensorId input, Shape shape) {
  return apply(name, Reshape{std::move(shape)}, {input});
}

Result<TensorId> Graph::broadcast(std::string_view name, TensorId input, Shape shape) {
  return apply(name, Broadcast{std::move(shape)}, {input});
}

Result<TensorId> Graph::batch_matmul(std::string_view name, TensorId left, TensorId right) {
  return apply(name, BatchMatMul{}, {left, right});
}

Result<TensorId> Graph::slice(std::string_view name, TensorId input, std::uint64_t axis, std::uint64_t start,
                              std::uint64_t end) {
  return apply(name, Slice{axis, start, end}, {input});
}

Result<TensorId> Graph::erf(std::string_view name, TensorId input) { return apply(name, Erf{}, {input}); }

Result<TensorId> Graph::tanh(std::string_view name, TensorId input) { return apply(name, Tanh{}, {input}); }

Result<TensorId> Graph::sqrt(std::string_view name, TensorId input) { return apply(name, Sqrt{}, {input}); }

Result<TensorId> Graph::reduce_mean(std::string_view name, TensorId input) {
  return apply(name, ReduceMean{}, {input});
}

void Graph::mark_output(TensorId tensor) {
  if (names_tensor(*this, tensor)) {
    tensors[tensor.index].kind = TensorKind::Output;
  }
  outputs.push_back(tensor);
}

std::ostream& operator<<(std::ostream& out, TensorId id) { return out << "TensorId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, OpId id) { return out << "OpId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, DType dtype) {
  switch (dtype) {
    case DType::F32:
      return out << "F32";
    case DType::I64:
      return out << "I64";
    case DType::Bool:
      return out << "Bool";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, TensorKind kind) {
  switch (kind) {
    case TensorKind::Input:
      return out << "Input";
    case TensorKind::Weight:
      return out << "Weight";
    case TensorKind::Intermediate:
      return out << "Intermediate";
    case TensorKind::Output:
      return out << "Output";
  }
  return out;
}

const OpKindInfo& op_kind_info(const OpKind& kind) {
  return std::visit([]<class Kind>(const Kind& /*alternative*/) -> const OpKindInfo& { return Kind::info; }, kind);
}

// The kind's type name, then its fields, if any: `Slice { axis: 1, start: 0, end: 4 }`.
std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit(
      [&out]<class Kind>(const Kind& alternative) {
        out << Kind::info.type_name;
        const char* separator = " { ";
        for_each_field<Kind>([&](const auto& field) {
          out << separator << field.name << ": ";
          detail::render_field(out, alternative.*field.member);
          separator = ", ";
        });
        if (detail::field_count<Kind> > 0) {
          out << " }";
        }
      },
      kind);
  return out;
}

}  // namespace orvo_compiler
