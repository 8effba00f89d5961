// Parsing: protobuf bytes to the importer's model records. The only pass that
// touches protobuf and ONNX's own library; everything after it reads `Model`.
//
// The ONNX checker reports a fault by throwing, so `run_checker` holds the one
// try/catch of the importer, turning the exception into a Graph error before
// it can leave this file.
#include "onnx/parse_model.hpp"

#include <bit>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>

#include "onnx/operator_registry.hpp"

namespace orvo_compiler::onnx_import {
namespace {

constexpr std::int64_t lowest_opset = 7;
constexpr std::int64_t highest_opset = 17;

// ONNX stores raw_data little-endian; the reads below copy bytes as they are.
static_assert(std::endian::native == std::endian::little, "reading raw_data on a big-endian host needs byte swaps");

// The values of raw_data as a range: each element read from its bytes with
// memcpy, so that a vector constructed from the range is written once (no
// zero fill before the copy).
template <class Wire, class Stored>
struct RawValue {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = Stored;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = Stored;

  const char* bytes = nullptr;

  Stored operator*() const {
    Wire wire{};
    std::memcpy(&wire, bytes, sizeof(Wire));
    return static_cast<Stored>(wire);
  }
  RawValue& operator++() {
    bytes += sizeof(Wire);
    return *this;
  }
  RawValue operator++(int) {
    RawValue before = *this;
    bytes += sizeof(Wire);
    return before;
  }
  difference_type operator-(const RawValue& other) const {
    return (bytes - other.bytes) / static_cast<difference_type>(sizeof(Wire));
  }
  friend bool operator==(const RawValue&, const RawValue&) = default;
};

// Reads `count` values of type Wire from `raw` into `values`: one copy.
template <class Wire, class Stored>
void read_raw(const std::string& raw, std::vector<Stored>& values, std::size_t count) {
  values = std::vector<Stored>(RawValue<Wire, Stored>{raw.data()},
                               RawValue<Wire, Stored>{raw.data() + count * sizeof(Wire)});
}

template <class Field, class Stored>
void read_field(const Field& field, std::vector<Stored>& values) {
  values.reserve(static_cast<std::size_t>(field.size()));
  for (const auto value : field) {
    values.push_back(static_cast<Stored>(value));
  }
}

// The width in bytes of one raw value of an integer type.
std::size_t integer_width(std::int32_t data_type) {
  switch (data_type) {
    case 2:  // UINT8
    case 3:  // INT8
    case bool_type:
      return 1;
    case 4:  // UINT16
    case 5:  // INT16
      return 2;
    case int32_type:
    case 12:  // UINT32
      return 4;
    default:
      return 8;
  }
}

void read_raw_integers(const std::string& raw, std::int32_t data_type, std::vector<std::int64_t>& values,
                       std::size_t count) {
  switch (data_type) {
    case 2:  // UINT8
    case bool_type:
      return read_raw<std::uint8_t>(raw, values, count);
    case 3:  // INT8
      return read_raw<std::int8_t>(raw, values, count);
    case 4:  // UINT16
      return read_raw<std::uint16_t>(raw, values, count);
    case 5:  // INT16
      return read_raw<std::int16_t>(raw, values, count);
    case int32_type:
      return read_raw<std::int32_t>(raw, values, count);
    case 12:  // UINT32
      return read_raw<std::uint32_t>(raw, values, count);
    default:
      return read_raw<std::int64_t>(raw, values, count);
  }
}

// The number of values in the typed field that `tensor`'s type uses.
std::size_t typed_count(const onnx::TensorProto& tensor) {
  switch (tensor.data_type()) {
    case float_type:
      return static_cast<std::size_t>(tensor.float_data_size());
    case int64_type:
      return static_cast<std::size_t>(tensor.int64_data_size());
    case 12:  // UINT32
      return static_cast<std::size_t>(tensor.uint64_data_size());
    default:
      return static_cast<std::size_t>(tensor.int32_data_size());
  }
}

// `tensor`'s element type and dims, once its data is known to be readable:
// kept in the model, and as many values as its dims need. `what` names it in
// errors ("initializer w"). The values are copied later, by copy_values.
Result<Constant> check_tensor(const onnx::TensorProto& tensor, std::string_view what) {
  if (tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL) {
    return std::unexpected(
        model_error(fmt::format("{} keeps its data in an external file, which the importer does not read", what)));
  }
  if (tensor.has_segment()) {
    return std::unexpected(model_error(fmt::format("{} is split into segments, which the importer does not read", what)));
  }
  Constant constant{tensor.data_type(), {tensor.dims().begin(), tensor.dims().end()}, {}, {}};
  const std::optional<std::uint64_t> elements = element_count(constant.dims);
  if (!elements) {
    return std::unexpected(model_error(fmt::format("{} has invalid dims {}", what, dims_text(constant.dims))));
  }
  if (!constant.is_float() && !constant.is_integer()) {
    return constant;
  }
  const std::size_t width = constant.is_float() ? sizeof(float) : integer_width(constant.data_type);
  const std::size_t held = tensor.has_raw_data() ? tensor.raw_data().size() : typed_count(tensor) * width;
  if (*elements > std::numeric_limits<std::size_t>::max() / width || held != *elements * width) {
    return std::unexpected(model_error(fmt::format("{} holds {} bytes of data where its dims {} need {}", what, held,
                                                   dims_text(constant.dims), *elements * width)));
  }
  return constant;
}

// Copies the values of a tensor that check_tensor accepted into `constant`.
void copy_values(const onnx::TensorProto& tensor, Constant& constant) {
  if (tensor.has_raw_data()) {
    if (constant.is_float()) {
      read_raw<float>(tensor.raw_data(), constant.floats, tensor.raw_data().size() / sizeof(float));
    } else if (constant.is_integer()) {
      const std::size_t count = tensor.raw_data().size() / integer_width(constant.data_type);
      read_raw_integers(tensor.raw_data(), constant.data_type, constant.integers, count);
    }
  } else if (constant.is_float()) {
    read_field(tensor.float_data(), constant.floats);
  } else if (constant.data_type == int64_type) {
    read_field(tensor.int64_data(), constant.integers);
  } else if (constant.data_type == 12) {  // UINT32
    read_field(tensor.uint64_data(), constant.integers);
  } else if (constant.is_integer()) {
    read_field(tensor.int32_data(), constant.integers);
  }
}

Result<Attribute> read_attribute(const onnx::AttributeProto& attribute, const Node& node) {
  switch (attribute.type()) {
    case onnx::AttributeProto_AttributeType_FLOAT:
      return Attribute{attribute.f()};
    case onnx::AttributeProto_AttributeType_INT:
      return Attribute{static_cast<std::int64_t>(attribute.i())};
    case onnx::AttributeProto_AttributeType_STRING:
      return Attribute{attribute.s()};
    case onnx::AttributeProto_AttributeType_FLOATS:
      return Attribute{std::vector<float>(attribute.floats().begin(), attribute.floats().end())};
    case onnx::AttributeProto_AttributeType_INTS:
      return Attribute{std::vector<std::int64_t>(attribute.ints().begin(), attribute.ints().end())};
    case onnx::AttributeProto_AttributeType_TENSOR: {
      Result<Constant> value =
          check_tensor(attribute.t(), fmt::format("attribute {} of node {}", attribute.name(), node_label(node)));
      if (!value) {
        return std::unexpected(value.error());
      }
      copy_values(attribute.t(), *value);
      return Attribute{std::move(*value)};
    }
    default:
      return Attribute{};
  }
}

Result<Node> read_node(const onnx::NodeProto& proto) {
  Node node{proto.name(),
            proto.op_type(),
            proto.domain() == "ai.onnx" ? std::string() : proto.domain(),
            {proto.input().begin(), proto.input().end()},
            {proto.output().begin(), proto.output().end()},
            {}};
  for (const onnx::AttributeProto& attribute : proto.attribute()) {
    Result<Attribute> value = read_attribute(attribute, node);
    if (!value) {
      return std::unexpected(value.error());
    }
    node.attributes.insert_or_assign(attribute.name(), std::move(*value));
  }
  return node;
}

ValueInfo read_value_info(const onnx::ValueInfoProto& proto) {
  ValueInfo info{proto.name(), 0, std::nullopt};
  if (!proto.type().has_tensor_type()) {
    return info;
  }
  const onnx::TypeProto_Tensor& tensor = proto.type().tensor_type();
  info.data_type = tensor.elem_type();
  if (!tensor.has_shape()) {
    return info;
  }
  std::vector<Dimension>& dims = info.shape.emplace();
  for (const onnx::TensorShapeProto_Dimension& dim : tensor.shape().dim()) {
    if (dim.has_dim_value()) {
      dims.push_back(Dimension{dim.dim_value(), {}});
    } else {
      dims.push_back(Dimension{std::nullopt, dim.has_dim_param() ? dim.dim_param() : std::string()});
    }
  }
  return info;
}

Result<std::int64_t> default_opset(const onnx::ModelProto& proto) {
  for (const onnx::OperatorSetIdProto& opset : proto.opset_import()) {
    if (opset.domain().empty() || opset.domain() == "ai.onnx") {
      if (opset.version() < lowest_opset || opset.version() > highest_opset) {
        return std::unexpected(model_error(fmt::format("opset {} of the default domain is not supported ({} to {} are)",
                                                       opset.version(), lowest_opset, highest_opset)));
      }
      return opset.version();
    }
  }
  return std::unexpected(model_error("the model imports no opset of the default domain"));
}

// Reads the graph, each initializer without its values (read_values copies them).
Result<void> read_graph(const onnx::GraphProto& graph, Model& model) {
  for (const onnx::TensorProto& tensor : graph.initializer()) {
    Result<Constant> value = check_tensor(tensor, fmt::format("initializer {}", tensor.name()));
    if (!value) {
      return std::unexpected(value.error());
    }
    if (!model.initializers.emplace(tensor.name(), std::move(*value)).second) {
      return std::unexpected(model_error(fmt::format("tensor name {} is defined twice", tensor.name())));
    }
  }
  for (const onnx::ValueInfoProto& input : graph.input()) {
    // Older models list initializers among the inputs too; those are constants.
    if (!model.initializers.contains(input.name())) {
      model.inputs.push_back(read_value_info(input));
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    model.outputs.push_back(read_value_info(output));
  }
  model.nodes.reserve(static_cast<std::size_t>(graph.node_size()));
  for (const onnx::NodeProto& proto : graph.node()) {
    Result<Node> node = read_node(proto);
    if (!node) {
      return std::unexpected(node.error());
    }
    model.nodes.push_back(std::move(*node));
  }
  return {};
}

// Copies each initializer's values into `model`, releasing its raw_data right
// after, so that the model is not held twice over at the peak and the memory
// released serves the next copies.
void read_values(onnx::GraphProto& graph, Model& model) {
  for (onnx::TensorProto& tensor : *graph.mutable_initializer()) {
    copy_values(tensor, model.initializers.at(tensor.name()));
    if (tensor.has_raw_data()) {
      std::string().swap(*tensor.mutable_raw_data());
    }
  }
}

// Every name defined once (inputs, initializers, node outputs), every node
// input defined before its node, every graph output defined somewhere.
Result<void> check_names(const Model& model) {
  std::set<std::string> defined;
  for (const auto& [name, constant] : model.initializers) {
    defined.insert(name);
  }
  const auto define = [&defined](const std::string& name) -> Result<void> {
    if (!defined.insert(name).second) {
      return std::unexpected(model_error(fmt::format("tensor name {} is defined twice", name)));
    }
    return {};
  };
  for (const ValueInfo& input : model.inputs) {
    if (Result<void> added = define(input.name); !added) {
      return added;
    }
  }
  for (const Node& node : model.nodes) {
    for (const std::string& input : node.inputs) {
      if (!input.empty() && !defined.contains(input)) {
        return std::unexpected(node_error(
            node, fmt::format("input {} is not a graph input, an initializer or an output of an earlier node", input)));
      }
    }
    for (const std::string& output : node.outputs) {
      if (!output.empty()) {
        if (Result<void> added = define(output); !added) {
          return added;
        }
      }
    }
  }
  if (model.outputs.empty()) {
    return std::unexpected(model_error("the graph has no outputs"));
  }
  for (const ValueInfo& output : model.outputs) {
    if (!defined.contains(output.name)) {
      return std::unexpected(model_error(fmt::format("graph output {} is computed by no node", output.name)));
    }
  }
  return {};
}

Result<void> run_checker(const onnx::ModelProto& proto) {
  try {
    onnx::checker::check_model(proto);
  } catch (const std::exception& error) {
    return std::unexpected(model_error(fmt::format("the ONNX checker rejects the model: {}", error.what())));
  }
  return {};
}

}  // namespace

Result<Model> parse_model(std::span<const std::uint8_t> bytes) {
  onnx::ModelProto proto;
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return std::unexpected(model_error(fmt::format("cannot parse model: {} bytes is past protobuf's 2 GiB limit",
                                                   bytes.size())));
  }
  if (!proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return std::unexpected(
        model_error(fmt::format("cannot parse model: {} bytes that are not an ONNX ModelProto", bytes.size())));
  }
  Result<std::int64_t> opset = default_opset(proto);
  if (!opset) {
    return std::unexpected(opset.error());
  }
  Model model{*opset, {}, {}, {}, {}, {}};
  if (!proto.producer_name().empty()) {
    model.producer = proto.producer_version().empty()
                         ? proto.producer_name()
                         : fmt::format("{} {}", proto.producer_name(), proto.producer_version());
  }
  if (Result<void> read = read_graph(proto.graph(), model); !read) {
    return std::unexpected(read.error());
  }
  if (Result<void> names = check_names(model); !names) {
    return std::unexpected(names.error());
  }
  if (Result<void> operators = check_operators(model.nodes, model.opset); !operators) {
    return std::unexpected(operators.error());
  }
  if (Result<void> checked = run_checker(proto); !checked) {
    return std::unexpected(checked.error());
  }
  read_values(*proto.mutable_graph(), model);
  return model;
}

}  // namespace orvo_compiler::onnx_import
