// Shared pieces of the fuzz targets: a hard stop for broken properties and
// decoders that turn fuzzer bytes into the library's values, biased towards
// the edges where faults hide (0, 1, powers of two, the type's maximum).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include <fmt/core.h>
#include <fuzzer/FuzzedDataProvider.h>

#include "orvo_compiler/error.hpp"

namespace orvo_fuzz {

// Stops the run with a message when a property the library promises fails;
// libFuzzer records the input as a crash.
inline void check(bool holds, std::string_view what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
  }
}

inline std::string describe(const orvo_compiler::CompileError& error) { return fmt::format("{}", error); }

// A 64-bit count: mostly small, sometimes an edge value or anything at all.
inline std::uint64_t pick_count(FuzzedDataProvider& data, std::uint64_t small_limit) {
  static constexpr std::array<std::uint64_t, 8> edges = {
      0, 1, 1ULL << 31, 1ULL << 32, (1ULL << 32) + 1, 1ULL << 62, 1ULL << 63, std::numeric_limits<std::uint64_t>::max()};
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return edges[data.ConsumeIntegralInRange<std::size_t>(0, edges.size() - 1)];
    case 1:
      return data.ConsumeIntegral<std::uint64_t>();
    default:
      return data.ConsumeIntegralInRange<std::uint64_t>(0, small_limit);
  }
}

// A 32-bit value of the same kind (sizes, addresses, alignments).
inline std::uint32_t pick_u32(FuzzedDataProvider& data, std::uint32_t small_limit) {
  static constexpr std::array<std::uint32_t, 9> edges = {0,          1,          3,          16,         4096,
                                                         0x52000,    0xE0000,    1U << 31,   0xFFFFFFFFU};
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return edges[data.ConsumeIntegralInRange<std::size_t>(0, edges.size() - 1)];
    case 1:
      return data.ConsumeIntegral<std::uint32_t>();
    default:
      return data.ConsumeIntegralInRange<std::uint32_t>(0, small_limit);
  }
}

// A float from its bits: NaNs with payloads, infinities, signed zeros and
// subnormals come out as often as ordinary values.
inline float pick_float(FuzzedDataProvider& data) {
  if (data.ConsumeBool()) {
    return static_cast<float>(data.ConsumeIntegralInRange<int>(-8, 8)) * 0.25F;
  }
  const std::uint32_t bits = data.ConsumeIntegral<std::uint32_t>();
  float value = 0.0F;
  static_assert(sizeof value == sizeof bits);
  __builtin_memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace orvo_fuzz
