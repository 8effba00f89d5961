// The .npy reader: format versions 1 to 3, whose header is a Python dict
// literal; only the three keys numpy always writes are read.
#include "support/npy.hpp"

#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace orvo_compiler::test_support {
namespace {

constexpr std::string_view magic = "\x93NUMPY";

std::expected<NpyArray, std::string> error(std::string text) { return std::unexpected(std::move(text)); }

// The text after `key` up to `end`, e.g. the value of 'descr'.
std::string_view field(std::string_view header, std::string_view key, char end) {
  const std::size_t at = header.find(key);
  if (at == std::string_view::npos) {
    return {};
  }
  const std::size_t begin = header.find_first_not_of(" :", at + key.size());
  const std::size_t stop = header.find(end, begin + 1);
  return begin == std::string_view::npos || stop == std::string_view::npos ? std::string_view()
                                                                          : header.substr(begin, stop - begin + 1);
}

std::expected<std::vector<std::uint64_t>, std::string> parse_shape(std::string_view tuple) {
  if (tuple.size() < 2 || tuple.front() != '(' || tuple.back() != ')') {
    return std::unexpected("npy: shape is not a tuple");
  }
  std::vector<std::uint64_t> shape;
  std::uint64_t value = 0;
  bool digits = false;
  for (const char c : tuple.substr(1)) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      digits = true;
    } else if (c == ',' || c == ')') {
      if (digits) {
        shape.push_back(value);
      }
      value = 0;
      digits = false;
    } else if (c != ' ') {
      return std::unexpected("npy: shape holds a non-digit");
    }
  }
  return shape;
}

}  // namespace

std::expected<NpyArray, std::string> parse_npy(std::span<const std::uint8_t> bytes) {
  static_assert(std::endian::native == std::endian::little, "the reader copies little-endian floats as they are");
  if (bytes.size() < 10 || std::memcmp(bytes.data(), magic.data(), magic.size()) != 0) {
    return error("npy: bad magic");
  }
  const std::uint8_t major = bytes[6];
  if (major < 1 || major > 3) {
    return error("npy: unknown format version");
  }
  const std::size_t length_bytes = major == 1 ? 2 : 4;
  std::size_t header_length = 0;
  for (std::size_t index = 0; index < length_bytes; ++index) {
    header_length |= static_cast<std::size_t>(bytes[8 + index]) << (8 * index);
  }
  const std::size_t data_start = 8 + length_bytes + header_length;
  if (data_start > bytes.size()) {
    return error("npy: header past the end");
  }
  const std::string_view header(reinterpret_cast<const char*>(bytes.data()) + 8 + length_bytes, header_length);
  if (field(header, "'descr'", '\'') != "'<f4'") {
    return error("npy: element type is not '<f4'");
  }
  if (field(header, "'fortran_order'", 'e') != "False") {
    return error("npy: not in C order");
  }
  auto shape = parse_shape(field(header, "'shape'", ')'));
  if (!shape) {
    return std::unexpected(shape.error());
  }
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : *shape) {
    count *= dimension;
  }
  if (bytes.size() - data_start != count * sizeof(float)) {
    return error("npy: data length does not match the shape");
  }
  NpyArray array{std::move(*shape), std::vector<float>(count)};
  std::memcpy(array.values.data(), bytes.data() + data_start, count * sizeof(float));
  return array;
}

std::expected<NpyArray, std::string> read_npy(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return error("npy: cannot open " + path.string());
  }
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return parse_npy(bytes);
}

}  // namespace orvo_compiler::test_support
