// The .npy reader and writer. The header is a Python dict literal; the reader
// takes the three keys numpy always writes ('descr', 'fortran_order',
// 'shape'), each given once, and refuses anything but little-endian float32,
// int64, int32 and bool in C order, so a file is either read exactly as numpy
// wrote it or refused with the reason.
#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "orvo_compiler/npy.hpp"
#include "support/check.hpp"
#include "support/checked_math.hpp"
#include "support/render.hpp"

namespace orvo_compiler {
namespace {

static_assert(std::endian::native == std::endian::little, "data is copied as it lies in the file");

constexpr std::string_view magic = "\x93NUMPY";
constexpr std::size_t header_alignment = 64;

std::unexpected<CompileError> npy_error(std::string message) {
  return std::unexpected(CompileError::graph("npy: " + message));
}

// The value written after `key` in the header dict, up to the comma or brace
// that ends it; empty when the key is absent.
std::string_view dict_value(std::string_view header, std::string_view key) {
  const std::size_t at = header.find(key);
  if (at == std::string_view::npos) {
    return {};
  }
  std::size_t begin = header.find(':', at + key.size());
  if (begin == std::string_view::npos) {
    return {};
  }
  begin = header.find_first_not_of(' ', begin + 1);
  if (begin == std::string_view::npos) {
    return {};
  }
  const char closing = header[begin] == '(' ? ')' : '\0';
  const std::size_t end = closing != '\0' ? header.find(closing, begin) + 1 : header.find_first_of(",}", begin);
  if (end == std::string_view::npos || end == 0) {
    return {};
  }
  std::string_view value = header.substr(begin, end - begin);
  while (!value.empty() && value.back() == ' ') {
    value.remove_suffix(1);
  }
  return value;
}

// "(2, 3)", "(5,)" or "()".
std::optional<Shape> parse_shape(std::string_view tuple) {
  if (tuple.size() < 2 || tuple.front() != '(' || tuple.back() != ')') {
    return std::nullopt;
  }
  Shape shape;
  std::uint64_t value = 0;
  bool digits = false;
  for (const char c : tuple.substr(1)) {
    if (c >= '0' && c <= '9') {
      const std::optional<std::uint64_t> tens = detail::checked_mul(value, 10);
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (!tens || *tens > UINT64_MAX - digit) {
        return std::nullopt;
      }
      value = *tens + digit;
      digits = true;
    } else if (c == ',' || c == ')') {
      if (digits) {
        shape.push_back(value);
      } else if (c == ',') {
        return std::nullopt;
      }
      value = 0;
      digits = false;
    } else if (c != ' ') {
      return std::nullopt;
    }
  }
  return shape;
}

std::optional<std::uint64_t> element_count(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t dimension : shape) {
    const std::optional<std::uint64_t> product = detail::checked_mul(count, dimension);
    if (!product) {
      return std::nullopt;
    }
    count = *product;
  }
  return count;
}

// An element type the reader takes: its descr, its width in the file and the
// type it is read as.
struct ElementType {
  std::string_view descr;
  std::size_t width = 0;
  DType dtype = DType::F32;
};

constexpr ElementType element_types[] = {
    {"'<f4'", 4, DType::F32}, {"'<i8'", 8, DType::I64}, {"'<i4'", 4, DType::I64}, {"'|b1'", 1, DType::Bool}};

template <class Stored, class Wire = Stored>
std::vector<Stored> copy_values(const std::uint8_t* data, std::uint64_t count) {
  std::vector<Stored> values(count);
  for (std::uint64_t index = 0; index < count; ++index) {
    Wire wire{};
    std::memcpy(&wire, data + index * sizeof(Wire), sizeof(Wire));
    values[index] = static_cast<Stored>(wire);
  }
  return values;
}

// The data of `count` elements of `type` at `data`; fails for a bool byte
// other than 0 and 1, which numpy never writes.
Result<TensorData> read_values(const ElementType& type, const std::uint8_t* data, std::uint64_t count) {
  if (type.descr == "'<f4'") {
    std::vector<float> values(count);
    if (count != 0) {
      std::memcpy(values.data(), data, count * sizeof(float));
    }
    return values;
  }
  if (type.descr == "'<i8'") {
    return copy_values<std::int64_t>(data, count);
  }
  if (type.descr == "'<i4'") {
    return copy_values<std::int64_t, std::int32_t>(data, count);
  }
  std::vector<std::uint8_t> values(data, data + count);
  if (const auto bad = std::ranges::find_if(values, [](std::uint8_t value) { return value > 1; });
      bad != values.end()) {
    return npy_error(fmt::format("bool element {} holds byte {}, not 0 or 1", bad - values.begin(), *bad));
  }
  return values;
}

// The header and data of a .npy file; `floats_only` keeps the float32
// reader's wording for other element types.
Result<NpyData> parse(std::span<const std::uint8_t> bytes, bool floats_only);

std::vector<std::uint8_t> encode(const Shape& shape, std::string_view descr, const std::uint8_t* data,
                                 std::size_t data_bytes);

std::string shape_tuple(const Shape& shape) {
  if (shape.size() == 1) {
    return fmt::format("({},)", shape[0]);
  }
  return fmt::format("({})", fmt::join(shape, ", "));
}

Result<NpyData> parse(std::span<const std::uint8_t> bytes, bool floats_only) {
  if (bytes.size() < 10 || std::memcmp(bytes.data(), magic.data(), magic.size()) != 0) {
    return npy_error("not a .npy file (no \\x93NUMPY magic string)");
  }
  const std::uint8_t major = bytes[6];
  if (major < 1 || major > 3) {
    return npy_error(fmt::format("format version {}.{} is not 1.0, 2.0 or 3.0", major, bytes[7]));
  }
  const std::size_t length_bytes = major == 1 ? 2 : 4;
  std::uint64_t header_length = 0;
  for (std::size_t index = 0; index < length_bytes && 8 + index < bytes.size(); ++index) {
    header_length |= std::uint64_t{bytes[8 + index]} << (8 * index);
  }
  const std::uint64_t data_start = 8 + length_bytes + header_length;
  if (data_start > bytes.size()) {
    return npy_error(fmt::format("the header needs {} bytes but the file has {}", data_start, bytes.size()));
  }
  const std::string_view header(reinterpret_cast<const char*>(bytes.data()) + 8 + length_bytes, header_length);
  // numpy reads the header as a dict literal, where a repeated key's last value
  // wins; the reader takes the first, so a repeated key would read the values
  // in another order or shape than numpy does.
  for (const std::string_view key : {"'descr'", "'fortran_order'", "'shape'"}) {
    if (const std::size_t first = header.find(key);
        first != std::string_view::npos && header.find(key, first + key.size()) != std::string_view::npos) {
      return npy_error(fmt::format("the header gives {} twice", key));
    }
  }
  const std::string_view descr = dict_value(header, "'descr'");
  const auto type = std::ranges::find(element_types, descr, &ElementType::descr);
  if (type == std::end(element_types) || (floats_only && type->dtype != DType::F32)) {
    if (floats_only) {
      return npy_error(
          fmt::format("element type {} is not little-endian float32 ('<f4')", descr.empty() ? "?" : descr));
    }
    return npy_error(fmt::format("element type {} is not one of '<f4', '<i8', '<i4' (read as int64) and '|b1'",
                                 descr.empty() ? "?" : descr));
  }
  if (dict_value(header, "'fortran_order'") != "False") {
    return npy_error("the array is not in C order (fortran_order is not False)");
  }
  const std::optional<Shape> shape = parse_shape(dict_value(header, "'shape'"));
  if (!shape) {
    return npy_error("the header's shape is not a tuple of sizes");
  }
  const std::optional<std::uint64_t> count = element_count(*shape);
  const std::optional<std::uint64_t> needed = detail::checked_mul(count.value_or(UINT64_MAX), type->width);
  const std::uint64_t data_bytes = bytes.size() - data_start;
  if (!count || needed != data_bytes) {
    return npy_error(fmt::format("shape {} needs {} data bytes but the file has {}", detail::shape_text(*shape),
                                 needed ? fmt::format("{}", *needed) : std::string("more than 2^64"), data_bytes));
  }
  Result<TensorData> values = read_values(*type, bytes.data() + data_start, *count);
  if (!values) {
    return std::unexpected(values.error());
  }
  return NpyData{*shape, std::move(*values)};
}

Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return npy_error(fmt::format("cannot read {}", path.string()));
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) {
    return npy_error(fmt::format("cannot read {}", path.string()));
  }
  return bytes;
}

std::vector<std::uint8_t> encode(const Shape& shape, std::string_view descr, const std::uint8_t* data,
                                 std::size_t data_bytes) {
  std::string header = fmt::format("{{'descr': {}, 'fortran_order': False, 'shape': {}, }}", descr, shape_tuple(shape));
  // Padded with spaces and ended by a newline so that the data starts at a
  // multiple of 64 bytes, as numpy writes it.
  const std::size_t unpadded = magic.size() + 4 + header.size() + 1;
  header.append((header_alignment - unpadded % header_alignment) % header_alignment, ' ');
  header += '\n';
  std::vector<std::uint8_t> bytes(magic.begin(), magic.end());
  bytes.push_back(1);
  bytes.push_back(0);
  bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), data, data + data_bytes);
  return bytes;
}

}  // namespace

Result<NpyArray> parse_npy(std::span<const std::uint8_t> bytes) {
  Result<NpyData> data = parse(bytes, true);
  if (!data) {
    return std::unexpected(data.error());
  }
  return NpyArray{std::move(data->shape), std::get<std::vector<float>>(std::move(data->values))};
}

Result<NpyArray> read_npy(const std::filesystem::path& path) {
  Result<std::vector<std::uint8_t>> bytes = read_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  return parse_npy(*bytes);
}

Result<NpyData> parse_npy_data(std::span<const std::uint8_t> bytes) { return parse(bytes, false); }

Result<NpyData> read_npy_data(const std::filesystem::path& path) {
  Result<std::vector<std::uint8_t>> bytes = read_file(path);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  return parse_npy_data(*bytes);
}

std::vector<std::uint8_t> npy_bytes(const Shape& shape, std::span<const float> values) {
  const std::optional<std::uint64_t> count = element_count(shape);
  detail::require(count == values.size(), "npy_bytes: values do not match the shape");
  return encode(shape, "'<f4'", reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes());
}

std::vector<std::uint8_t> npy_data_bytes(const Shape& shape, const TensorData& values) {
  const std::optional<std::uint64_t> count = element_count(shape);
  detail::require(count == orvo_compiler::element_count(values), "npy_bytes: values do not match the shape");
  return std::visit(
      [&shape](const auto& list) {
        using Value = typename std::decay_t<decltype(list)>::value_type;
        const std::string_view descr =
            std::is_same_v<Value, float> ? "'<f4'" : (std::is_same_v<Value, std::int64_t> ? "'<i8'" : "'|b1'");
        return encode(shape, descr, reinterpret_cast<const std::uint8_t*>(list.data()), list.size() * sizeof(Value));
      },
      static_cast<const TensorData::variant&>(values));
}

std::string_view numpy_name(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return "float32";
    case DType::I64:
      return "int64";
    case DType::Bool:
      return "bool";
  }
  return "float32";
}

}  // namespace orvo_compiler
