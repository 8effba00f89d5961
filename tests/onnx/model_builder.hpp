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

// How the vision fixtures' weights are made: element i of a tensor whose
// name hashes (32-bit FNV-1a) to `seed` is float(u * scale) + offset, with u
// in [-1, 1) from MurmurHash3's finaliser of seed + i * 0x9E3779B9, each step
// rounded to float. tools/export_vision_fixtures.py makes the same bits.
struct SeededInitializer {
  std::string name;
  float scale = 1.0F;
  float offset = 0.0F;
};
std::vector<float> seeded_values(const std::string& name, std::size_t count, float scale, float offset);
// Fills each listed FLOAT initializer, stored without data, with its values.
// Fails the calling test when a listed initializer is missing.
void fill_seeded(onnx::ModelProto& model, const std::vector<SeededInitializer>& seeded);

}  // namespace orvo_compiler::test_support
