// The test models' writer: thin wrappers over the generated protobuf API.
#include "onnx/model_builder.hpp"

#include <cstring>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace orvo_compiler::test_support {
namespace {

void set_shape(onnx::ValueInfoProto& value, const std::vector<Dim>& dims, std::int32_t data_type) {
  onnx::TypeProto_Tensor* tensor = value.mutable_type()->mutable_tensor_type();
  tensor->set_elem_type(data_type);
  onnx::TensorShapeProto* shape = tensor->mutable_shape();
  for (const Dim& dim : dims) {
    onnx::TensorShapeProto_Dimension* axis = shape->add_dim();
    if (const auto* value_of = std::get_if<std::int64_t>(&dim)) {
      axis->set_dim_value(*value_of);
    } else {
      axis->set_dim_param(std::get<std::string>(dim));
    }
  }
}

template <class T>
void fill_tensor(onnx::TensorProto& tensor, const std::string& name, const std::vector<std::int64_t>& dims,
                 const std::vector<T>& values, std::int32_t data_type) {
  tensor.set_name(name);
  tensor.set_data_type(data_type);
  for (const std::int64_t dim : dims) {
    tensor.add_dims(dim);
  }
  std::string raw(values.size() * sizeof(T), '\0');
  if (!raw.empty()) {  // an empty list may hold no buffer at all
    std::memcpy(raw.data(), values.data(), raw.size());
  }
  tensor.set_raw_data(std::move(raw));
}

}  // namespace

onnx::ModelProto make_model(std::int64_t opset) {
  onnx::ModelProto model;
  model.set_ir_version(8);
  model.set_producer_name("tests");
  onnx::OperatorSetIdProto* import = model.add_opset_import();
  import->set_domain("");
  import->set_version(opset);
  model.mutable_graph()->set_name("test");
  return model;
}

void add_input(onnx::ModelProto& model, const std::string& name, const std::vector<Dim>& dims,
               std::int32_t data_type) {
  onnx::ValueInfoProto* input = model.mutable_graph()->add_input();
  input->set_name(name);
  set_shape(*input, dims, data_type);
}

void add_output(onnx::ModelProto& model, const std::string& name, const std::optional<std::vector<Dim>>& dims,
                std::int32_t data_type) {
  onnx::ValueInfoProto* output = model.mutable_graph()->add_output();
  output->set_name(name);
  if (dims) {
    set_shape(*output, *dims, data_type);
  } else {
    output->mutable_type()->mutable_tensor_type()->set_elem_type(data_type);
  }
}

void add_initializer(onnx::ModelProto& model, const std::string& name, const std::vector<std::int64_t>& dims,
                     const std::vector<float>& values) {
  fill_tensor(*model.mutable_graph()->add_initializer(), name, dims, values, onnx::TensorProto_DataType_FLOAT);
}

void add_int64_initializer(onnx::ModelProto& model, const std::string& name, const std::vector<std::int64_t>& dims,
                           const std::vector<std::int64_t>& values) {
  fill_tensor(*model.mutable_graph()->add_initializer(), name, dims, values, onnx::TensorProto_DataType_INT64);
}

onnx::NodeProto& add_node(onnx::ModelProto& model, const std::string& op_type, const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs, const std::string& name) {
  onnx::NodeProto* node = model.mutable_graph()->add_node();
  node->set_op_type(op_type);
  node->set_name(name);
  for (const std::string& input : inputs) {
    node->add_input(input);
  }
  for (const std::string& output : outputs) {
    node->add_output(output);
  }
  return *node;
}

void set_attribute(onnx::NodeProto& node, const std::string& name, const AttributeValue& value) {
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name(name);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    attribute->set_type(onnx::AttributeProto_AttributeType_INT);
    attribute->set_i(*integer);
  } else if (const auto* real = std::get_if<float>(&value)) {
    attribute->set_type(onnx::AttributeProto_AttributeType_FLOAT);
    attribute->set_f(*real);
  } else if (const auto* integers = std::get_if<std::vector<std::int64_t>>(&value)) {
    attribute->set_type(onnx::AttributeProto_AttributeType_INTS);
    for (const std::int64_t item : *integers) {
      attribute->add_ints(item);
    }
  } else if (const auto* reals = std::get_if<std::vector<float>>(&value)) {
    attribute->set_type(onnx::AttributeProto_AttributeType_FLOATS);
    for (const float item : *reals) {
      attribute->add_floats(item);
    }
  } else {
    attribute->set_type(onnx::AttributeProto_AttributeType_STRING);
    attribute->set_s(std::get<std::string>(value));
  }
}

void add_int64_constant(onnx::ModelProto& model, const std::string& output, const std::vector<std::int64_t>& dims,
                        const std::vector<std::int64_t>& values) {
  onnx::NodeProto& node = add_node(model, "Constant", {}, {output});
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name("value");
  attribute->set_type(onnx::AttributeProto_AttributeType_TENSOR);
  fill_tensor(*attribute->mutable_t(), "", dims, values, onnx::TensorProto_DataType_INT64);
}

void add_float_constant(onnx::ModelProto& model, const std::string& output, const std::vector<std::int64_t>& dims,
                        const std::vector<float>& values) {
  onnx::NodeProto& node = add_node(model, "Constant", {}, {output});
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name("value");
  attribute->set_type(onnx::AttributeProto_AttributeType_TENSOR);
  fill_tensor(*attribute->mutable_t(), "", dims, values, onnx::TensorProto_DataType_FLOAT);
}

std::vector<std::uint8_t> serialize(const onnx::ModelProto& model) {
  const std::string bytes = model.SerializeAsString();
  return {bytes.begin(), bytes.end()};
}

std::vector<std::string> describe_ops(const Graph& graph) {
  std::vector<std::string> lines;
  for (const Op& op : graph.ops) {
    std::vector<std::string> inputs;
    for (const TensorId input : op.inputs) {
      inputs.push_back(graph.tensors[input.index].name);
    }
    lines.push_back(fmt::format("{} = {}({}) [{}]", op.name, op.kind, fmt::join(inputs, ", "),
                                fmt::join(graph.tensors[op.output.index].shape, ", ")));
  }
  return lines;
}

Result<ImportedModel> import_model(const onnx::ModelProto& model, const ImportOptions& options) {
  const std::vector<std::uint8_t> bytes = serialize(model);
  return import_onnx(std::span<const std::uint8_t>(bytes), options);
}

std::vector<float> seeded_values(const std::string& name, std::size_t count, float scale, float offset) {
  std::uint32_t seed = 0x811C9DC5U;
  for (const char c : name) {
    seed = (seed ^ static_cast<std::uint8_t>(c)) * 0x01000193U;
  }
  std::vector<float> values(count);
  for (std::size_t index = 0; index < count; ++index) {
    std::uint32_t h = seed + static_cast<std::uint32_t>(index) * 0x9E3779B9U;
    h ^= h >> 16U;
    h *= 0x85EBCA6BU;
    h ^= h >> 13U;
    h *= 0xC2B2AE35U;
    h ^= h >> 16U;
    const float unit = static_cast<float>(static_cast<std::int32_t>(h >> 8U) - (1 << 23)) / static_cast<float>(1 << 23);
    const float scaled = unit * scale;
    values[index] = scaled + offset;
  }
  return values;
}

void fill_seeded(onnx::ModelProto& model, const std::vector<SeededInitializer>& seeded) {
  for (const SeededInitializer& entry : seeded) {
    onnx::TensorProto* found = nullptr;
    for (onnx::TensorProto& initializer : *model.mutable_graph()->mutable_initializer()) {
      if (initializer.name() == entry.name) {
        found = &initializer;
      }
    }
    ASSERT_NE(found, nullptr) << entry.name;
    ASSERT_EQ(found->data_type(), onnx::TensorProto_DataType_FLOAT) << entry.name;
    std::size_t count = 1;
    for (const std::int64_t dim : found->dims()) {
      count *= static_cast<std::size_t>(dim);
    }
    const std::vector<float> values = seeded_values(entry.name, count, entry.scale, entry.offset);
    found->set_raw_data(values.data(), values.size() * sizeof(float));
  }
}

}  // namespace orvo_compiler::test_support
