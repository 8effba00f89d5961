// Checked preconditions for functions that have no error channel: a broken
// precondition stops the process with a message, in every build type.
#pragma once

#include <source_location>
#include <string_view>

namespace orvo_compiler::detail {

[[noreturn]] void precondition_failed(std::string_view message, std::source_location location);

inline void require(bool condition, std::string_view message,
                    std::source_location location = std::source_location::current()) {
  if (!condition) {
    precondition_failed(message, location);
  }
}

}  // namespace orvo_compiler::detail
