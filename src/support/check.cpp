// Reports a broken precondition on stderr and aborts.
#include "support/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace orvo_compiler::detail {

void precondition_failed(std::string_view message, std::source_location location) {
  std::fprintf(stderr, "orvo_compiler: precondition failed in %s (%s:%u): %.*s\n", location.function_name(),
               location.file_name(), static_cast<unsigned>(location.line()), static_cast<int>(message.size()),
               message.data());
  std::abort();
}

}  // namespace orvo_compiler::detail
