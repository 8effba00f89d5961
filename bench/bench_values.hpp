// The input values the benchmarks share, so that every program measures the
// same layer on the same numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvo_compiler::bench {

// Values spread over a few binades, from a fixed linear congruential sequence.
inline std::vector<float> filled(std::size_t count, std::uint32_t seed) {
  std::vector<float> values(count);
  std::uint32_t state = seed;
  for (float& value : values) {
    state = state * 1664525U + 1013904223U;
    value = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / 4194304.0F;
  }
  return values;
}

}  // namespace orvo_compiler::bench
