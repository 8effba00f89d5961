// Overflow-checked products of 64-bit counts: checked_mul gives nothing where
// the exact product does not fit, and required_product stops the process
// instead, for functions that have no error channel.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <string_view>

#include "support/check.hpp"

namespace orvo_compiler::detail {

// a x b, or nothing when the product does not fit in 64 bits.
[[nodiscard]] constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    return std::nullopt;
  }
  return product;
}

// a x b; stops the process with `message` when the product does not fit in
// 64 bits (no list can then be that long).
[[nodiscard]] inline std::uint64_t required_product(std::uint64_t a, std::uint64_t b, std::string_view message,
                                                    std::source_location location = std::source_location::current()) {
  const std::optional<std::uint64_t> product = checked_mul(a, b);
  require(product.has_value(), message, location);
  return *product;
}

}  // namespace orvo_compiler::detail
