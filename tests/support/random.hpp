// Seeded random numbers for tests: the same sequence on every platform and
// standard library, so that random cases and the values expected of them
// stay valid. Random draws from splitmix64; BasicRandom takes any fully
// specified engine (std::mt19937 for the kernel tests' values).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvo_compiler::test_support {

// splitmix64: each call adds a fixed odd constant to the state and mixes it.
class SplitMix64 {
 public:
  using result_type = std::uint64_t;

  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return ~result_type{0}; }

  result_type operator()() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15U);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9U;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBU;
    return z ^ (z >> 31U);
  }

 private:
  std::uint64_t state_;
};

// Draws on top of `Engine`; every draw takes exactly one engine output, so
// the sequence of draws is fixed by the seed alone.
template <class Engine>
class BasicRandom {
 public:
  explicit BasicRandom(typename Engine::result_type seed) : engine_(seed) {}

  std::uint64_t next() { return engine_(); }
  // The low 32 bits of the next output.
  std::uint32_t next32() { return static_cast<std::uint32_t>(engine_()); }
  // Uniform enough in [0, bound) for the small bounds tests use.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }
  std::uint64_t between(std::uint64_t low, std::uint64_t high) { return low + below(high - low + 1); }
  bool chance(std::uint64_t percent) { return below(100) < percent; }
  template <class T, std::size_t N>
  T pick(const std::array<T, N>& values) {
    return values[below(N)];
  }

 private:
  Engine engine_;
};

using Random = BasicRandom<SplitMix64>;

}  // namespace orvo_compiler::test_support
