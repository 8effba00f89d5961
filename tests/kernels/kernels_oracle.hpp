// The reference kernels and the encoder layer written as the plainest loops,
// one element at a time in the defining order. The blocked kernel paths must
// reproduce these bit for bit; tests and benchmarks compare against them.
// Arguments are trusted: lengths and counts are the caller's business.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernels/exact_math.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler::oracle {

inline std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                                 std::uint64_t inner, std::uint64_t columns) {
  std::vector<float> output(rows * columns, 0.0F);
  for (std::uint64_t row = 0; row < rows; ++row) {
    for (std::uint64_t column = 0; column < columns; ++column) {
      float sum = 0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float product = left[row * inner + k] * right[k * columns + column];
        sum = product + sum;
      }
      output[row * columns + column] = sum;
    }
  }
  return output;
}

inline std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows, std::uint64_t columns,
                                     float epsilon) {
  std::vector<float> output(input.size(), 0.0F);
  const auto divisor = static_cast<float>(columns);
  for (std::uint64_t row = 0; row < rows; ++row) {
    float sum = -0.0F;
    for (std::uint64_t column = 0; column < columns; ++column) {
      sum = sum + input[row * columns + column];
    }
    const float mean = sum / divisor;
    float squares = -0.0F;
    for (std::uint64_t column = 0; column < columns; ++column) {
      const float difference = input[row * columns + column] - mean;
      squares = squares + difference * difference;
    }
    const float scale = 1.0F / std::sqrt(squares / divisor + epsilon);
    for (std::uint64_t column = 0; column < columns; ++column) {
      output[row * columns + column] = (input[row * columns + column] - mean) * scale;
    }
  }
  return output;
}

inline void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  for (std::uint64_t row = 0; row < rows; ++row) {
    float* const elements = values.data() + row * columns;
    float maximum = -std::numeric_limits<float>::infinity();
    for (std::uint64_t column = 0; column < columns; ++column) {
      const float element = elements[column];
      if (std::isnan(maximum)) {
        maximum = element;
      } else if (!std::isnan(element) && element > maximum) {
        maximum = element;
      }
    }
    float total = 0.0F;
    for (std::uint64_t column = 0; column < columns; ++column) {
      elements[column] = detail::exp_f32(elements[column] - maximum);
      total = elements[column] + total;
    }
    for (std::uint64_t column = 0; column < columns; ++column) {
      elements[column] = elements[column] / total;
    }
  }
}

inline float gelu(float value) {
  const float half = 0.5F * value;
  const float cube = value * (value * value);
  const float inner = value + 0.044715F * cube;
  const float t = detail::tanh_f32(0.7978846F * inner);
  return half * (1.0F + t);
}

// One encoder layer, every loop as the layer defines it; `heads` must be at
// least 1 and the weights long enough.
inline std::vector<float> encoder_reference(const EncoderConfig& config, std::span<const float> input,
                                            const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::uint64_t head_size = h / config.heads;
  constexpr float epsilon = 1e-5F;

  const std::vector<float> norm1 = layer_norm(input, s, h, epsilon);
  const std::vector<float> q = matmul(norm1, weights.wq, s, h, h);
  const std::vector<float> k = matmul(norm1, weights.wk, s, h, h);
  const std::vector<float> v = matmul(norm1, weights.wv, s, h, h);

  std::vector<float> context(s * h, 0.0F);
  const float scale_divisor = std::sqrt(static_cast<float>(head_size));
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t offset = head * head_size;
    std::vector<float> scores(s * s, 0.0F);
    for (std::uint64_t row = 0; row < s; ++row) {
      for (std::uint64_t column = 0; column < s; ++column) {
        float sum = 0.0F;
        for (std::uint64_t inner = 0; inner < head_size; ++inner) {
          sum = (q[row * h + offset + inner] * k[column * h + offset + inner]) + sum;
        }
        scores[row * s + column] = sum / scale_divisor;
      }
    }
    softmax_rows(scores, s, s);
    for (std::uint64_t row = 0; row < s; ++row) {
      for (std::uint64_t inner = 0; inner < head_size; ++inner) {
        float sum = 0.0F;
        for (std::uint64_t column = 0; column < s; ++column) {
          sum = (scores[row * s + column] * v[column * h + offset + inner]) + sum;
        }
        context[row * h + offset + inner] = sum;
      }
    }
  }

  const std::vector<float> projected = matmul(context, weights.wo, s, h, h);
  std::vector<float> residual1(s * h);
  for (std::size_t i = 0; i < residual1.size(); ++i) {
    residual1[i] = input[i] + projected[i];
  }
  const std::vector<float> norm2 = layer_norm(residual1, s, h, epsilon);
  std::vector<float> hidden = matmul(norm2, weights.w1, s, h, f);
  for (float& value : hidden) {
    value = gelu(value);
  }
  const std::vector<float> down = matmul(hidden, weights.w2, s, f, h);
  std::vector<float> output(s * h);
  for (std::size_t i = 0; i < output.size(); ++i) {
    output[i] = residual1[i] + down[i];
  }
  return output;
}

}  // namespace orvo_compiler::oracle
