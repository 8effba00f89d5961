// Reader of .npy files holding float32 arrays (little-endian, C order), the
// form of the importer fixtures' inputs and reference outputs.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace orvo_compiler::test_support {

struct NpyArray {
  std::vector<std::uint64_t> shape;
  std::vector<float> values;
};

// The array in `bytes`; an error text when the magic, version, header,
// element type ('<f4' only), order (C only) or data length is wrong.
std::expected<NpyArray, std::string> parse_npy(std::span<const std::uint8_t> bytes);
std::expected<NpyArray, std::string> read_npy(const std::filesystem::path& path);

}  // namespace orvo_compiler::test_support
