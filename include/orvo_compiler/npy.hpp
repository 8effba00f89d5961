// Float arrays in numpy's .npy file format, the way model inputs and outputs
// travel between this library, numpy and PyTorch: little-endian float32 in
// C order, format versions 1 to 3 read, version 1 written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

struct NpyArray {
  Shape shape;
  std::vector<float> values;

  friend bool operator==(const NpyArray&, const NpyArray&) = default;
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

}  // namespace orvo_compiler
