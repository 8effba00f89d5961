// Host reference kernels in single-precision arithmetic, each step one IEEE
// operation in a fixed order so results are reproducible bit for bit. Lists
// shorter than the counts require, and counts whose products overflow 64
// bits, stop the process with a message.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvo_compiler {

// rows x inner times inner x columns; each sum accumulated as product + sum
// from k = 0 upwards, starting at +0.0.
[[nodiscard]] std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                                        std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

// Each row normalised to zero mean and unit population variance; the result
// is as long as `input`, positions past rows x columns +0.0.
[[nodiscard]] std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                                            std::uint64_t columns, float epsilon);

// Softmax of each row, in place.
void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns);

// GELU in its tanh form.
[[nodiscard]] float gelu(float value);

}  // namespace orvo_compiler
