// Numbers as the command line reads them.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {
namespace {

// Digits only, after an optional 0x: a number, however large.
bool well_formed(std::string_view text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) {
    text.remove_prefix(2);
  }
  return !text.empty() && std::all_of(text.begin(), text.end(), [hex](char c) {
    return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

}  // namespace


std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes no sign for unsigned types but stops at the first foreign
  // character: the whole text must be used.
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::expected<std::uint64_t, std::string> option_number(std::string_view name, std::string_view text,
                                                        std::uint64_t minimum, std::uint64_t maximum) {
  const std::optional<std::uint64_t> value = parse_unsigned(text);
  if (!value && !well_formed(text)) {
    return std::unexpected(fmt::format("{}: '{}' is not an unsigned number (decimal or 0x-hex)", name, text));
  }
  if (value && *value >= minimum && *value <= maximum) {
    return *value;
  }
  if (maximum == std::numeric_limits<std::uint64_t>::max()) {
    return std::unexpected(
        value ? fmt::format("{}: {} is out of range (at least {})", name, text, group_thousands(minimum))
              : fmt::format("{}: {} is too large", name, text));
  }
  return std::unexpected(
      fmt::format("{}: {} is out of range ({} to {})", name, text, group_thousands(minimum), group_thousands(maximum)));
}

}  // namespace orvo_compiler::orvoc
