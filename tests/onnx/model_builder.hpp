// Small ONNX models written in the tests with protobuf's API, the way
// exporters write them: inputs with fixed or symbolic dimensions, float and
// int64 initializers in raw_data, nodes with attributes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <onnx/onnx_pb.h>

#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler::test_support {

// A dimension: a value or a symbol.
using Dim = std::variant<std::int64_t, std::string>;
// An attribute value as the tests write it.
using AttributeValue = std::variant<std::int64_t, float, std::vector<std::int64_t>, std::vector<float>, std::string>;

// An empty model importing `opset` of the default domain, IR version 8.
onnx::ModelProto make_model(std::int64_t opset = 17);
void add_input(onnx::ModelProto& model, const std::string& name, const std::vector<Dim>& dims,
               std::int32_t data_type = 1);
// An output, with a declared shape when `dims` is given.
void add_output(onnx::ModelProto& model, const std::string& name,
                const std::optional<std::vector<Dim>>& dims = std::nullopt, std::int32_t data_type = 1);
void add_initializer(onnx::ModelProto& model, const std::string& name, const std::vector<std::int64_t>& dims,
                     const std::vector<float>& values);
void add_int64_initializer(onnx::ModelProto& model, const std::string& name, const std::vector<std::int64_t>& dims,
                           const std::vector<std::int64_t>& values);
// A node named `name` (or unnamed when empty).
onnx::NodeProto& add_node(onnx::ModelProto& model, const std::string& op_type, const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs, const std::string& name = "");
void set_attribute(onnx::NodeProto& node, const std::string& name, const AttributeValue& value);
// A Constant node holding an int64 (or float) tensor of `dims`.
void add_int64_constant(onnx::ModelProto& model, const std::string& output, const std::vector<std::int64_t>& dims,
                        const std::vector<std::int64_t>& values);
void add_float_constant(onnx::ModelProto& model, const std::string& output, const std::vector<std::int64_t>& dims,
                        const std::vector<float>& values);

std::vector<std::uint8_t> serialize(const onnx::ModelProto& model);
// Each operation as "<name> = <kind>(<input names>) <shape>", in graph order.
std::vector<std::string> describe_ops(const Graph& graph);
Result<ImportedModel> import_model(const onnx::ModelProto& model, const ImportOptions& options = {});

}  // namespace orvo_compiler::test_support
