// The widest data window a 32-bit address allows, where the analyses compile
// a graph to see what it needs without the caller's limit in the way.
#pragma once

#include <cstdint>

namespace orvo_compiler::detail {

inline constexpr std::uint32_t widest_limit = 0xFFFFFFFF;

}  // namespace orvo_compiler::detail
