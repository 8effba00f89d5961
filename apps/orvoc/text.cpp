// Numbers as the command line reads them and as the summary and the pictures
// print them, and text made safe for XML and HTML.
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

std::string group_thousands(std::uint64_t value) {
  const std::string digits = fmt::format("{}", value);
  std::string grouped;
  grouped.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) {
      grouped.push_back(',');
    }
    grouped.push_back(digits[i]);
  }
  return grouped;
}

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

// Upper-case digits after a lower-case prefix: 0x52000, 0xE0000.
std::string hex_address(std::uint64_t value) { return fmt::format("0x{:X}", value); }

std::string kib_text(std::uint64_t bytes) {
  std::string text = group_thousands(bytes / 1024);
  if (const std::uint64_t rest = bytes % 1024; rest != 0) {
    // rest / 1024 has at most ten decimals: rest * 10^10 / 2^10 is exact.
    std::string decimals = fmt::format("{:010}", rest * 9765625);
    decimals.erase(decimals.find_last_not_of('0') + 1);
    text += '.' + decimals;
  }
  return text + " KiB";
}

std::string xml_escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      case '\t':
      case '\n':
      case '\r':
        escaped += c;
        break;
      default:
        // Other control characters may not appear in XML at all, not even as references.
        if (static_cast<unsigned char>(c) < 0x20) {
          escaped += "\uFFFD";
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

}  // namespace orvo_compiler::orvoc
