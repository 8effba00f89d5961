// The importer's own form of an ONNX model: plain records free of protobuf,
// which every pass after parsing reads and rewrites, and the helpers that
// read node attributes and word error messages after the model's names.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::onnx_import {

// ONNX element type codes (TensorProto.DataType) the importer names.
inline constexpr std::int32_t float_type = 1;
inline constexpr std::int32_t int32_type = 6;
inline constexpr std::int32_t int64_type = 7;
inline constexpr std::int32_t bool_type = 9;

// "FLOAT", "INT64", ... as ONNX spells them; "type <code>" for unknown codes.
std::string data_type_name(std::int32_t code);
// Integer and boolean types, whose values the importer holds as int64.
bool is_integer_type(std::int32_t code);
// The element type a value of ONNX type `code` has in the graph: FLOAT as
// F32, BOOL as Bool, every other integer type widened to I64 (INT32 model
// inputs included, whose callers give int64 values); nothing for the types the
// graph cannot hold (DOUBLE, FLOAT16, STRING, ...).
std::optional<DType> graph_dtype(std::int32_t code);

// A tensor known while importing: an initializer, a Constant node's value or
// a folded result. FLOAT values live in `floats`, integer and boolean ones in
// `integers` (widened to int64); other types keep only their dims.
struct Constant {
  std::int32_t data_type = float_type;
  std::vector<std::int64_t> dims;  // empty for a rank-0 scalar
  std::vector<float> floats;
  std::vector<std::int64_t> integers;

  [[nodiscard]] bool is_float() const { return data_type == float_type; }
  [[nodiscard]] bool is_integer() const { return is_integer_type(data_type); }
  // Number of values held (of the type's own list).
  [[nodiscard]] std::uint64_t count() const { return is_float() ? floats.size() : integers.size(); }

  friend bool operator==(const Constant&, const Constant&) = default;
};

// An attribute value; std::monostate for kinds the importer never reads
// (graphs, strings lists, sparse tensors, types).
using Attribute = std::variant<std::monostate, std::int64_t, float, std::string, std::vector<std::int64_t>,
                               std::vector<float>, Constant>;

// Domain of the operations the fusion pass writes; never met in a model
// because the importer rejects every node outside the default domain first.
inline constexpr std::string_view fused_domain = "orvo_compiler";

struct Node {
  std::string name;  // may be empty
  std::string op_type;
  std::string domain;                // "" (or "ai.onnx") for the default domain
  std::vector<std::string> inputs;   // "" for an omitted optional input
  std::vector<std::string> outputs;  // "" for an omitted optional output
  std::map<std::string, Attribute> attributes;

  friend bool operator==(const Node&, const Node&) = default;
};

// One axis of a declared shape: a value, a symbol, or neither (unknown).
struct Dimension {
  std::optional<std::int64_t> value;
  std::string symbol;

  friend bool operator==(const Dimension&, const Dimension&) = default;
};

// A graph input or output as declared: element type 0 when the declaration
// has no tensor type, no shape when it declares none.
struct ValueInfo {
  std::string name;
  std::int32_t data_type = 0;
  std::optional<std::vector<Dimension>> shape;

  friend bool operator==(const ValueInfo&, const ValueInfo&) = default;
};

struct Model {
  std::int64_t opset = 0;  // of the default domain
  std::string producer;
  std::vector<ValueInfo> inputs;  // graph inputs without an initializer of the same name
  std::vector<ValueInfo> outputs;
  std::map<std::string, Constant> initializers;
  std::vector<Node> nodes;  // in the model's (topological) order

  friend bool operator==(const Model&, const Model&) = default;
};

// The node's name, or its first output's name when it has none.
std::string node_label(const Node& node);
// "onnx: <op_type> node <label>: <what>".
CompileError node_error(const Node& node, std::string_view what);
// A Graph error "onnx: <what>".
CompileError model_error(std::string_view what);
// node_error(node, what) as the error of a Result.
std::unexpected<CompileError> fail(const Node& node, std::string_view what);

// The most refusals one error lists line by line; the rest are counted.
inline constexpr std::size_t listed_refusals = 20;
// The refusals a pass found, as one error: the first exactly as it would
// stand alone, then each further one on its own line, in the order given,
// and past listed_refusals a last line "onnx: and N more refusals". So a
// model with one fault reads as it always did. `errors` must not be empty.
CompileError joined_errors(const std::vector<CompileError>& errors);
// The name of the node's input `index`; empty when the node has no such input.
std::string_view input_name(const Node& node, std::size_t index);

// Attribute readers: the value, `fallback` when the attribute is absent, an
// error naming the node when it has another kind.
[[nodiscard]] Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback);
[[nodiscard]] Result<float> float_attribute(const Node& node, std::string_view name, float fallback);
// Nothing when absent.
[[nodiscard]] Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node,
                                                                             std::string_view name);

// The number of elements of `dims`; nothing when a dimension is negative or
// the product passes 2^63.
std::optional<std::uint64_t> element_count(const std::vector<std::int64_t>& dims);
Shape to_shape(const std::vector<std::int64_t>& dims);
std::vector<std::int64_t> to_dims(const Shape& shape);
// `[2, 8, 32]`.
std::string dims_text(const std::vector<std::int64_t>& dims);

}  // namespace orvo_compiler::onnx_import
