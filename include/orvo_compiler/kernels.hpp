// Host reference kernels in single-precision arithmetic, each step one IEEE
// operation in a fixed order so results are reproducible bit for bit. Lists
// shorter than the counts require, and counts whose products overflow 64
// bits, stop the process with a message; the try_ forms return that message
// as an error instead.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "orvo_compiler/error.hpp"

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

// matmul's product, or a Graph error with matmul's message when a count
// product overflows or a list is shorter than its counts require.
[[nodiscard]] Result<std::vector<float>> try_matmul(std::span<const float> left, std::span<const float> right,
                                                    std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

// layer_norm's result, or a Graph error with layer_norm's message when
// rows x columns overflows or `input` holds fewer values.
[[nodiscard]] Result<std::vector<float>> try_layer_norm(std::span<const float> input, std::uint64_t rows,
                                                        std::uint64_t columns, float epsilon);

// softmax_rows in place, or a Graph error with softmax_rows's message, and
// `values` unchanged, when rows x columns overflows or `values` holds fewer.
[[nodiscard]] Result<void> try_softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns);

}  // namespace orvo_compiler
