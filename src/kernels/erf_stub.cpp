// Temporary stand-in for the correctly rounded error function: the C
// library's erf, which is not guaranteed to round correctly. To be replaced.
#include <cmath>

#include "kernels/exact_math.hpp"

namespace orvo_compiler::detail {

float erf_f32(float x) { return std::erf(x); }

}  // namespace orvo_compiler::detail
