// Address space for a float list that is never backed by memory: any read of
// it stops the process, so a call handed it must decide from the list's
// length alone. Lets tests and fuzzing pass inputs of billions of elements.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvo_compiler::test_support {

class UnreadableFloats {
 public:
  // `count` floats, or none when their byte count passes 64 bits or the
  // system will not reserve that much address space.
  explicit UnreadableFloats(std::uint64_t count) {
    std::uint64_t bytes = 0;
    if (count == 0 || __builtin_mul_overflow(count, sizeof(float), &bytes)) {
      return;
    }
    void* const start = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (start != MAP_FAILED) {
      start_ = start;
      count_ = count;
    }
  }
  UnreadableFloats(const UnreadableFloats&) = delete;
  UnreadableFloats& operator=(const UnreadableFloats&) = delete;
  ~UnreadableFloats() {
    if (start_ != nullptr) {
      munmap(start_, count_ * sizeof(float));
    }
  }

  [[nodiscard]] std::span<const float> floats() const {
    return start_ == nullptr ? std::span<const float>() : std::span(static_cast<const float*>(start_), count_);
  }

 private:
  void* start_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace orvo_compiler::test_support
