// Hands bytes that are no model to the installed ONNX importer, which must
// refuse them with an error rather than a model.
#include <array>
#include <cstdint>
#include <span>

#include <orvo_compiler/onnx.hpp>

int main() {
  constexpr std::array<std::uint8_t, 4> not_a_model{0xFF, 0xFF, 0xFF, 0xFF};
  return orvo_compiler::import_onnx(std::span<const std::uint8_t>(not_a_model)).has_value() ? 1 : 0;
}
