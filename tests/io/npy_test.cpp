// The .npy reader and writer: numpy's own bytes read back exactly, the
// written form byte for byte, and every refusal with its reason.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/npy.hpp"

namespace orvo_compiler {
namespace {

// A version 1.0 file with `header` (padded as given) and `data`.
std::vector<std::uint8_t> npy_file(std::string_view header, std::vector<std::uint8_t> data = {},
                                   std::uint8_t major = 1) {
  std::vector<std::uint8_t> bytes{0x93, 'N', 'U', 'M', 'P', 'Y', major, 0};
  bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
  if (major > 1) {
    bytes.push_back(0);
    bytes.push_back(0);
  }
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

std::vector<std::uint8_t> float_data(std::initializer_list<float> values) {
  std::vector<std::uint8_t> bytes;
  for (const float value : values) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
  }
  return bytes;
}

TEST(Npy, ReadsWhatNumpyWrites) {
  // numpy.save of np.array([[1, -2, 0.5], [3, 4, 5]], dtype=np.float32).
  const auto bytes = npy_file("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }" + std::string(58, ' ') +
                                  "\n",
                              float_data({1.0F, -2.0F, 0.5F, 3.0F, 4.0F, 5.0F}));
  ASSERT_EQ(bytes.size(), 128U + 24U);  // 128 bytes of header, then the data
  const Result<NpyArray> array = parse_npy(bytes);
  ASSERT_TRUE(array) << array.error();
  EXPECT_EQ(array->shape, (Shape{2, 3}));
  EXPECT_EQ(array->values, (std::vector<float>{1.0F, -2.0F, 0.5F, 3.0F, 4.0F, 5.0F}));
  // The writer makes exactly that file.
  EXPECT_EQ(npy_bytes(array->shape, array->values), bytes);
}

TEST(Npy, RoundTripsEveryRankAndVersion) {
  const std::vector<float> six{0.0F, -0.0F, 1e-45F, 3.5F, -7.0F, 1e30F};
  for (const Shape& shape : {Shape{6}, Shape{1, 6}, Shape{2, 3}, Shape{1, 2, 1, 3}}) {
    SCOPED_TRACE(::testing::PrintToString(shape));
    const std::vector<std::uint8_t> bytes = npy_bytes(shape, six);
    EXPECT_EQ((bytes.size() - six.size() * 4) % 64, 0U);
    const Result<NpyArray> array = parse_npy(bytes);
    ASSERT_TRUE(array) << array.error();
    EXPECT_EQ(array->shape, shape);
    for (std::size_t i = 0; i < six.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(array->values[i]), std::bit_cast<std::uint32_t>(six[i]));
    }
  }
  const Result<NpyArray> scalar = parse_npy(npy_bytes({}, std::vector<float>{2.0F}));
  ASSERT_TRUE(scalar);
  EXPECT_EQ(scalar->shape, Shape{});
  const Result<NpyArray> version2 =
      parse_npy(npy_file("{'descr': '<f4', 'fortran_order': False, 'shape': (1,), }\n", float_data({9.0F}), 2));
  ASSERT_TRUE(version2) << version2.error();
  EXPECT_EQ(version2->values, std::vector<float>{9.0F});
}

TEST(Npy, RefusalsSayWhatWasExpectedAndFound) {
  const std::string good_start = "{'descr': '<f4', 'fortran_order': False, 'shape': ";
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  const Case cases[] = {
      {"empty", {}, "npy: not a .npy file (no \\x93NUMPY magic string)"},
      {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'},
       "npy: not a .npy file (no \\x93NUMPY magic string)"},
      {"version", npy_file(good_start + "(1,), }", float_data({1.0F}), 4),
       "npy: format version 4.0 is not 1.0, 2.0 or 3.0"},
      {"header past the end", {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, 0xFF, 0x00, '{'},
       "npy: the header needs 265 bytes but the file has 11"},
      {"float64", npy_file("{'descr': '<f8', 'fortran_order': False, 'shape': (1,), }", float_data({1.0F, 2.0F})),
       "npy: element type '<f8' is not little-endian float32 ('<f4')"},
      {"big-endian", npy_file("{'descr': '>f4', 'fortran_order': False, 'shape': (1,), }", float_data({1.0F})),
       "npy: element type '>f4' is not little-endian float32 ('<f4')"},
      {"no descr", npy_file("{'fortran_order': False, 'shape': (1,), }", float_data({1.0F})),
       "npy: element type ? is not little-endian float32 ('<f4')"},
      {"fortran", npy_file("{'descr': '<f4', 'fortran_order': True, 'shape': (1,), }", float_data({1.0F})),
       "npy: the array is not in C order (fortran_order is not False)"},
      {"no fortran_order", npy_file("{'descr': '<f4', 'shape': (1,), }", float_data({1.0F})),
       "npy: the array is not in C order (fortran_order is not False)"},
      {"fortran_order twice", npy_file(good_start + "(1,), 'fortran_order': True, }", float_data({1.0F})),
       "npy: the header gives 'fortran_order' twice"},
      {"shape twice", npy_file(good_start + "(1,), 'shape': (2,), }", float_data({1.0F, 2.0F})),
       "npy: the header gives 'shape' twice"},
      {"descr twice", npy_file("{'descr': '<f4', 'descr': '>f4', 'fortran_order': False, 'shape': (1,), }",
                               float_data({1.0F})),
       "npy: the header gives 'descr' twice"},
      {"shape text", npy_file(good_start + "(2, x), }", float_data({1.0F})),
       "npy: the header's shape is not a tuple of sizes"},
      {"short data", npy_file(good_start + "(2, 2), }", float_data({1.0F, 2.0F, 3.0F})),
       "npy: shape [2, 2] needs 16 data bytes but the file has 12"},
      {"long data", npy_file(good_start + "(1,), }", float_data({1.0F, 2.0F})),
       "npy: shape [1] needs 4 data bytes but the file has 8"},
      {"ragged data", npy_file(good_start + "(1,), }", {0, 0, 128, 63, 0}),
       "npy: shape [1] needs 4 data bytes but the file has 5"},
      {"overflowing shape", npy_file(good_start + "(4294967296, 4294967296), }"),
       "npy: shape [4294967296, 4294967296] needs more than 2^64 data bytes but the file has 0"},
      {"digits past 64 bits", npy_file(good_start + "(99999999999999999999,), }"),
       "npy: the header's shape is not a tuple of sizes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<NpyArray> array = parse_npy(c.bytes);
    ASSERT_FALSE(array);
    EXPECT_EQ(array.error(), CompileError::graph(c.error));
  }
}

// The typed reader: numpy's int64, int32 (widened) and bool files, float32 as
// the float reader reads it, each written back in its own descr ('<i4' as
// '<i8'); float32 only for the float reader; other types and bool bytes other
// than 0 and 1 refused.
TEST(Npy, TypedArrays) {
  const auto header = [](std::string_view descr, std::string_view shape) {
    std::string text = fmt::format("{{'descr': {}, 'fortran_order': False, 'shape': {}, }}", descr, shape);
    text.append(63 - (10 + text.size()) % 64, ' ');
    return text + "\n";
  };
  const auto bytes_of = [](const auto& values) {
    std::vector<std::uint8_t> bytes(values.size() * sizeof(values[0]));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
  };
  const std::vector<std::int64_t> longs{-1, 1LL << 40, 7};
  const std::vector<std::int32_t> ints{-5, 2147483647};
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    NpyData expected;
    std::string written_descr;
  };
  const Case cases[] = {
      {"float32", npy_file(header("'<f4'", "(2,)"), float_data({1.5F, -2.0F})), {{2}, TensorData{1.5F, -2.0F}}, "'<f4'"},
      {"int64", npy_file(header("'<i8'", "(3, 1)"), bytes_of(longs)), {{3, 1}, longs}, "'<i8'"},
      {"int32 widened", npy_file(header("'<i4'", "(2,)"), bytes_of(ints)),
       {{2}, std::vector<std::int64_t>{-5, 2147483647}}, "'<i8'"},
      {"bool", npy_file(header("'|b1'", "(2, 2)"), {1, 0, 0, 1}), {{2, 2}, std::vector<std::uint8_t>{1, 0, 0, 1}},
       "'|b1'"},
      {"scalar", npy_file(header("'<i8'", "()"), bytes_of(std::vector<std::int64_t>{42})),
       {{}, std::vector<std::int64_t>{42}}, "'<i8'"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<NpyData> read = parse_npy_data(test.file);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(*read, test.expected);
    const std::vector<std::uint8_t> written = npy_data_bytes(read->shape, read->values);
    const Result<NpyData> again = parse_npy_data(written);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(*again, test.expected);
    EXPECT_NE(std::string(written.begin(), written.end()).find("'descr': " + test.written_descr), std::string::npos);
    EXPECT_EQ(written.size() % 64, (element_count(test.expected.values) * size(dtype_of(test.expected.values))) % 64);
  }
  // numpy's own bytes of np.array([[True, False]]), and the float writer's
  // bytes for float32 values.
  EXPECT_EQ(npy_data_bytes({1, 2}, std::vector<std::uint8_t>{1, 0}),
            npy_file(header("'|b1'", "(1, 2)"), {1, 0}));
  EXPECT_EQ(npy_data_bytes({2}, TensorData{1.5F, -2.0F}), npy_bytes({2}, std::vector<float>{1.5F, -2.0F}));

  struct Refusal {
    const char* name;
    std::vector<std::uint8_t> file;
    std::string typed_error;
    std::string float_error;
  };
  const Refusal refusals[] = {
      {"float64", npy_file(header("'<f8'", "(1,)"), float_data({1.0F, 2.0F})),
       "npy: element type '<f8' is not one of '<f4', '<i8', '<i4' (read as int64) and '|b1'",
       "npy: element type '<f8' is not little-endian float32 ('<f4')"},
      {"big-endian int64", npy_file(header("'>i8'", "(1,)"), bytes_of(longs)),
       "npy: element type '>i8' is not one of '<f4', '<i8', '<i4' (read as int64) and '|b1'",
       "npy: element type '>i8' is not little-endian float32 ('<f4')"},
      {"int64 for the float reader", npy_file(header("'<i8'", "(3,)"), bytes_of(longs)), "",
       "npy: element type '<i8' is not little-endian float32 ('<f4')"},
      {"bool byte 2", npy_file(header("'|b1'", "(3,)"), {0, 1, 2}), "npy: bool element 2 holds byte 2, not 0 or 1",
       "npy: element type '|b1' is not little-endian float32 ('<f4')"},
      {"int32 data short", npy_file(header("'<i4'", "(3,)"), bytes_of(ints)),
       "npy: shape [3] needs 12 data bytes but the file has 8",
       "npy: element type '<i4' is not little-endian float32 ('<f4')"},
  };
  for (const Refusal& test : refusals) {
    SCOPED_TRACE(test.name);
    const Result<NpyData> typed = parse_npy_data(test.file);
    EXPECT_EQ(typed.has_value(), test.typed_error.empty());
    if (!typed) {
      EXPECT_EQ(typed.error(), CompileError::graph(test.typed_error));
    }
    const Result<NpyArray> floats = parse_npy(test.file);
    ASSERT_FALSE(floats);
    EXPECT_EQ(floats.error(), CompileError::graph(test.float_error));
  }
  EXPECT_EQ(read_npy_data("/nonexistent/ids.npy").error(), CompileError::graph("npy: cannot read /nonexistent/ids.npy"));
}

TEST(Npy, ReadFileNamesThePath) {
  const Result<NpyArray> missing = read_npy("/nonexistent/input.npy");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), CompileError::graph("npy: cannot read /nonexistent/input.npy"));
}

}  // namespace
}  // namespace orvo_compiler
