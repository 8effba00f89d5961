// Numbers as the summary and the pictures print them, and text made safe for
// XML and HTML.
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "orvo_compiler/views.hpp"

namespace orvo_compiler {

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

}  // namespace orvo_compiler
