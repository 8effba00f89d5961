// The encoder's layer normalisation epsilon, shared by its graph and its reference.
#pragma once

namespace orvo_compiler::detail {

// The float nearest 1e-5, the epsilon of both layer normalisations.
inline constexpr float layer_norm_epsilon = 1e-5F;

}  // namespace orvo_compiler::detail
