// Arrays in numpy's .npy file format, the way model inputs and outputs travel
// between this library, numpy and PyTorch: little-endian float32 (and, typed,
// int64, int32 and bool) in C order, format versions 1 to 3 read, version 1
// written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

struct NpyArray {
  Shape shape;
  std::vector<float> values;

  friend bool operator==(const NpyArray&, const NpyArray&) = default;
};

// An array of any element type a graph tensor has.
struct NpyData {
  Shape shape;
  TensorData values;

  friend bool operator==(const NpyData&, const NpyData&) = default;
};

// The array in `bytes`. Fails with a Graph error starting "npy: " that says
// what was expected and what was found: the magic string, the version, the
// header, the element type ('<f4' only), the order (C only) or the data length.
[[nodiscard]] Result<NpyArray> parse_npy(std::span<const std::uint8_t> bytes);

// The same for a file; also fails, naming the path, when it cannot be read.
[[nodiscard]] Result<NpyArray> read_npy(const std::filesystem::path& path);

// `values` as a version 1.0 .npy file of `shape` ('<f4', C order). `values`
// must hold exactly the shape's element count (a broken precondition stops the
// process); a rank-0 shape writes the scalar form "()".
[[nodiscard]] std::vector<std::uint8_t> npy_bytes(const Shape& shape, std::span<const float> values);

// The array in `bytes`, of its own element type: '<f4' as F32, '<i8' as I64,
// '<i4' widened to I64, '|b1' as Bool (each byte 0 or 1). Fails as parse_npy
// does, naming the four types for any other, and for a bool byte other than
// 0 and 1.
[[nodiscard]] Result<NpyData> parse_npy_data(std::span<const std::uint8_t> bytes);

// The same for a file; also fails, naming the path, when it cannot be read.
[[nodiscard]] Result<NpyData> read_npy_data(const std::filesystem::path& path);

// `values` as a version 1.0 .npy file of `shape`: '<f4', '<i8' or '|b1' by
// their type, C order. The same precondition as npy_bytes.
[[nodiscard]] std::vector<std::uint8_t> npy_data_bytes(const Shape& shape, const TensorData& values);

// numpy's name of the element type of `dtype`: "float32", "int64" or "bool".
[[nodiscard]] std::string_view numpy_name(DType dtype);

}  // namespace orvo_compiler
