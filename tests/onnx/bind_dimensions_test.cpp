// Binding of symbolic dimensions: shapes once bound, every refusal with its
// exact text, and the declared output shapes used to check the graph.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/bind_dimensions.hpp"

namespace orvo_compiler::onnx_import {
namespace {

Dimension fixed(std::int64_t value) { return Dimension{value, {}}; }
Dimension symbol(const char* name) { return Dimension{std::nullopt, name}; }

TEST(BindDimensions, ShapesAndErrors) {
  struct Case {
    const char* name;
    ValueInfo input;
    std::map<std::string, std::uint64_t> dimensions;
    Shape expected;  // unused when `error` is set
    std::string error = {};
    DType dtype = DType::F32;
  };
  const Case cases[] = {
      {"fixed", {"x", float_type, std::vector{fixed(2), fixed(3)}}, {}, {2, 3}},
      {"symbols", {"x", float_type, std::vector{symbol("batch"), symbol("sequence"), fixed(32)}},
       {{"sequence", 128}, {"batch", 4}, {"unused", 9}}, {4, 128, 32}},
      {"unbound", {"x", float_type, std::vector{fixed(1), symbol("sequence")}}, {{"batch", 4}}, {},
       "onnx: input x: symbolic dimension sequence (axis 1) is not bound; give it a value in "
       "ImportOptions::dimensions"},
      {"unknown without a symbol", {"x", float_type, std::vector{fixed(1), Dimension{}}}, {}, {},
       "onnx: input x has an unknown dimension at axis 1 with no symbol to bind"},
      {"bound to 0", {"x", float_type, std::vector{symbol("n")}}, {{"n", 0}}, {},
       "onnx: dimension n is bound to 0; dimensions must be 1 to 4294967296"},
      {"bound past 2^32", {"x", float_type, std::vector{symbol("n")}}, {{"n", (std::uint64_t{1} << 32) + 1}}, {},
       "onnx: dimension n is bound to 4294967297; dimensions must be 1 to 4294967296"},
      {"negative", {"x", float_type, std::vector{fixed(-1)}}, {}, {},
       "onnx: input x has dimension -1 at axis 0; dimensions must be 1 to 4294967296"},
      {"no shape", {"x", float_type, std::nullopt}, {}, {}, "onnx: input x declares no shape"},
      {"no tensor type", {"x", 0, std::nullopt}, {}, {},
       "onnx: input x has element type UNDEFINED; only FLOAT, INT64, INT32 and BOOL inputs are supported"},
      {"double", {"x", 11, std::vector{fixed(1)}}, {}, {},
       "onnx: input x has element type DOUBLE; only FLOAT, INT64, INT32 and BOOL inputs are supported"},
      {"int8", {"x", 3, std::vector{fixed(1)}}, {}, {},
       "onnx: input x has element type INT8; only FLOAT, INT64, INT32 and BOOL inputs are supported"},
      {"int64", {"x", int64_type, std::vector{fixed(2)}}, {}, {2}, {}, DType::I64},
      {"int32 widened", {"x", int32_type, std::vector{symbol("n")}}, {{"n", 5}}, {5}, {}, DType::I64},
      {"bool", {"x", bool_type, std::vector{fixed(3), fixed(1)}}, {}, {3, 1}, {}, DType::Bool},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::vector<ValueInfo> inputs{test.input};
    const Result<std::vector<BoundInput>> bound = bind_dimensions(inputs, test.dimensions);
    if (test.error.empty()) {
      ASSERT_TRUE(bound) << bound.error();
      EXPECT_EQ(*bound, (std::vector<BoundInput>{{"x", test.expected, test.dtype}}));
    } else {
      ASSERT_FALSE(bound);
      EXPECT_EQ(bound.error(), CompileError::graph(test.error));
    }
  }
}

// Every unbound symbol is named in one error, each once with where it first
// appears, before any other fault of the inputs (here x's DOUBLE type).
TEST(BindDimensions, NamesEveryUnboundSymbolAtOnce) {
  const std::vector<ValueInfo> inputs{
      {"x", 11, std::vector{symbol("batch"), fixed(4), symbol("sequence")}},
      {"mask", float_type, std::vector{symbol("batch"), symbol("heads"), symbol("sequence"), symbol("width")}},
  };
  const std::map<std::string, std::uint64_t> dimensions{{"heads", 2}};
  EXPECT_EQ(unbound_symbols(inputs, dimensions), (std::vector<std::string>{"batch", "sequence", "width"}));
  const Result<std::vector<BoundInput>> bound = bind_dimensions(inputs, dimensions);
  ASSERT_FALSE(bound);
  EXPECT_EQ(bound.error(), CompileError::graph("onnx: symbolic dimensions batch (input x, axis 0), sequence (input x, "
                                               "axis 2), width (input mask, axis 3) are not bound; give each a value "
                                               "in ImportOptions::dimensions"));
  EXPECT_EQ(unbound_symbols(inputs, {{"batch", 1}, {"heads", 1}, {"sequence", 1}, {"width", 1}}), std::vector<std::string>{});
}

TEST(BindDimensions, DeclaredOutputShapes) {
  const ValueInfo output{"y", float_type, std::vector{symbol("batch"), fixed(32), symbol("other"), Dimension{}}};
  EXPECT_EQ(declared_shape(output, {{"batch", 2}}),
            (std::vector<std::optional<std::uint64_t>>{2, 32, std::nullopt, std::nullopt}));
  EXPECT_EQ(declared_shape(ValueInfo{"y", float_type, std::nullopt}, {}), std::nullopt);
}

}  // namespace
}  // namespace orvo_compiler::onnx_import
