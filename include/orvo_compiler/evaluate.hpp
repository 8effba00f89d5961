// The host evaluator of any graph: computes the graph's outputs from values
// for its inputs and weights in single precision, with the same arithmetic as
// the reference kernels, so results are reproducible bit for bit everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

// Row-major values of one tensor, in the list of its element type: the
// alternative's index is the DType's value (F32 floats, I64 integers, Bool
// bytes holding 0 or 1). A list of floats in braces makes F32 values.
struct TensorData : std::variant<std::vector<float>, std::vector<std::int64_t>, std::vector<std::uint8_t>> {
  using variant::variant;
  TensorData() = default;
  TensorData(std::initializer_list<float> values) : variant(std::vector<float>(values)) {}
};

// The element type of `data`.
[[nodiscard]] constexpr DType dtype_of(const TensorData& data) { return static_cast<DType>(data.index()); }
// The number of values `data` holds.
[[nodiscard]] inline std::size_t element_count(const TensorData& data) {
  return std::visit([](const auto& values) { return values.size(); }, data);
}

// Values of tensors, by id.
using TensorValues = std::map<TensorId, TensorData>;

// Numeric meaning of each operation kind. Every float step is one IEEE
// single-precision operation rounded to nearest, in the order given (no fused
// multiply-add, no reordering); "row" means the elements of the last axis.
//  MatMul       the reference `matmul`: each sum from +0.0, sum = left x right + sum for k ascending.
//  BatchMatMul  MatMul of each pair of matrices over the last two axes, leading indices in row-major order.
//  Add, Sub, Mul, Div  left op right, element by element, each operand read where numpy's broadcast places
//               it; on I64 operands wrapping modulo 2^64, Div truncating toward zero (by zero: an error).
//  LayerNorm    the reference `layer_norm` of each row with the kind's epsilon.
//  Softmax      the reference `softmax_rows` over the elements of the kind's axis, the other indices fixed.
//  Gelu         the reference `gelu` (tanh form) of each element.
//  Erf          erf rounded correctly to float, each element.
//  Tanh         tanh rounded correctly to float, each element (as in `gelu`).
//  Sqrt         the correctly rounded float square root, each element.
//  ReduceMean   each row summed first to last (from -0.0, as `layer_norm`'s mean), divided by float(row length).
//  Reshape, Transpose, Broadcast, Slice  copies of values of any element type, no arithmetic (Broadcast by numpy's rules).
//  Reductions   over the kind's axes, each total taking its elements in row-major order of the reduced
//               index space: ReduceSum, ReduceMeanAxes, ReduceLogSum from -0.0 as total + x (the mean then
//               / float(element count), the log sum then log); ReduceSumSquare, ReduceL2 as total + x * x
//               (L2 then the correctly rounded sqrt); ReduceL1 as total + |x|; ReduceProd from 1.0 as
//               total * x; ReduceLogSumExp as total + exp(x) with the correctly rounded exp, then log;
//               ReduceMax, ReduceMin the first largest (smallest) element, NaN if any element is NaN.
//  LogSoftmax   along the axis: m the maximum (NaN passed over, from -inf), d = x - m, the exp(d)
//               (correctly rounded) summed from +0.0 as exp + total in index order, d - log(total).
//  Hardmax      1.0 at the first largest element along the axis (the first NaN if any), +0.0 elsewhere.
//  CumSum       running sums along the axis, in index order (from the last index when reversed): each
//               inclusive sum from -0.0 as total + x; an exclusive one the inclusive sum one index
//               earlier, +0.0 first; on I64 wrapping modulo 2^64.
//  ArgMax, ArgMin  the index (I64) of the first largest (smallest) element along the axis, the last
//               with select_last_index; a NaN counts as larger and smaller than any number.
//  log          the project's own log (ops_reductions.hpp): IEEE double additions, multiplications and
//               divisions only, rounded once to float; deterministic everywhere, not claimed correctly
//               rounded. Reductions of no elements cannot occur (a graph has no zero dimensions).
//  Concat, Gather, Tile, Pad, StridedSlice, Trilu, OneHot  copies of values (Pad's and OneHot's from
//               their value inputs, Trilu's zeros), no arithmetic; an index outside its axis is an error.
//  Cast         F32 to I64 truncates towards zero (NaN and values outside I64 are errors); I64 to F32
//               rounds to nearest even; anything to Bool is x != 0 (NaN gives true); Bool gives 0 or 1.
//  Functions of one element x (exp is `exp` above: e^x rounded correctly; "glibc" is the C library's float
//  function, not correctly rounded but the same bits on every build we make):
//  Relu         x < 0 ? +0 : x.                    LeakyRelu  x < 0 ? alpha * x : x.
//  Elu          x < 0 ? alpha * (exp(x) - 1) : x.  Celu       x > 0 ? x : alpha * (exp(x / alpha) - 1).
//  Selu         x > 0 ? gamma * x : gamma * (alpha * (exp(x) - 1)).
//  ThresholdedRelu  x > alpha ? x : +0.
//  Sigmoid      1 / (1 + exp(-x)).
//  HardSigmoid  h = alpha * x + beta; h < 0 ? +0 : (h > 1 ? 1 : h).   HardSwish  x * HardSigmoid(x) with
//               alpha = 0x3E2AAAAB (1/6 rounded), beta = 0.5.
//  Softplus     x > 0 ? x + log1p(exp(-x)) : log1p(exp(x)), log1p glibc's (never overflows for large x).
//  Softsign     x / (1 + |x|).
//  Shrink       x < -lambd ? x + bias : (x > lambd ? x - bias : +0).
//  Exp          exp(x), the correctly rounded e^x.
//  Neg, Abs, Reciprocal, Floor, Ceil  -x, |x|, 1 / x, floor, ceil (all exact or one rounding).
//  Round        the nearest integer, halves to even, the sign kept (-0.5 gives -0).
//  Sign         1 for x > 0, -1 for x < 0, +0 for either zero, NaN for NaN.
//  Log, Sin, Cos, Tan, Asin, Acos, Atan, Sinh, Cosh, Asinh, Acosh, Atanh  glibc's float function.
//  Clip         r = x < min ? min : x; r > max ? max : r (NaN stays NaN; max wins where min > max).
//  Kinds of several inputs broadcast them by numpy's rules, each read in place:
//  Max, Min     of F32 or I64 inputs, first to last: r = larger(r, next) (smaller); a NaN wins (the first).
//  Sum          of F32 or I64 inputs, r = r + next first to last (I64 wraps modulo 2^64).
//  Mean         of F32 inputs, Sum's r, then r / float(input count).
//  Pow          float(pow(double(base), double(exponent))), glibc's pow; the exponent F32 or I64.
//  Mod          F32: fmod(a, b) (exact); I64: a % b (b = -1 gives 0). fmod 0 (floored) adds b to a non-zero
//               result whose sign differs from b's. An I64 divisor of 0 fails: "evaluate: {op}: integer
//               division by zero".
//  PRelu        x < 0 ? slope * x : x, the slope broadcast to x.
//  Equal, Less, Greater, LessOrEqual, GreaterOrEqual  of two F32 or I64 inputs (Equal: or Bool), a Bool output.
//  Not, And, Or, Xor  of Bool inputs.
//  Where        condition (Bool) ? second : third, of any one element type.
//  Image kinds, over [batch, channels, spatial...]; a window's taps are its positions inside the
//  input (padding left out), in row-major order of the window:
//  Conv         each output from +0.0, sum = x * w + sum over the group's input channels ascending, then
//               the taps (k ascending over (channel, tap), as MatMul's), then sum + bias when given.
//  MaxPool      the taps from -inf as r = x > r ? x : r; a NaN tap gives NaN.
//  AveragePool  the taps summed from -0.0 as total + x, divided by float(tap count), or with
//               count_include_pad by float(the window's positions inside the padded input).
//  GlobalAveragePool, GlobalMaxPool  as ReduceMeanAxes and ReduceMax over the spatial axes.
//  BatchNormalization  per channel r = sqrt(var + epsilon) (correctly rounded), then each element
//               (x - mean) / r * scale + bias.
//  ConvTranspose  each output from +0.0, sum = x * w + sum over the group's input channels
//               ascending, then the taps reaching it (the filter positions k whose input position
//               (o + pads_before - dilation k) / stride is whole and inside) in row-major order
//               of the window, then sum + bias when given.
//  Resize       any rank; on each axis output position o has the source coordinate x, worked in double
//               (each step one double operation) from the float32 scale s widened exactly and the
//               resized length L = input * s (without scales s = output / input, L = output):
//               half_pixel (o + 0.5) / s - 0.5, pytorch_half_pixel the same or 0 when L <= 1,
//               align_corners o * (input - 1) / (L - 1) or 0 when L = 1, asymmetric o / s,
//               tf_half_pixel_for_nn (o + 0.5) / s. nearest: f = floor(x), round_prefer_floor takes
//               f + 1 when x - f > 0.5, round_prefer_ceil when x - f >= 0.5, floor f, ceil ceil(x); the
//               index clamped to the input; no arithmetic on values. linear: x clamped to
//               [0, input - 1], low = floor(x), r = float(x - low) (rounded once); r = 0 reads
//               value(low) alone, otherwise over the axes from the first (1 - r) * value(low) +
//               r * value(low + 1), 1 - r in float, both products, then their sum; value() the
//               same over the later axes.
//
// Returns exactly the ids of `graph.outputs` (a repeated id once). Fails with
// the error of `Graph::validate` for an invalid graph; "invalid op {name}" for
// an operation that reads its own or a later operation's output, has the wrong
// number of inputs or an output shape its kind does not give; the builder's
// own error when its input shapes break its kind's shape rule; and, naming the
// tensor, "evaluate: {name} is not an input or weight" for a value given for a
// tensor an operation produces or for an unknown id, "evaluate: no value for
// input {name}" for a tensor no operation produces (inputs and weights)
// without a value, "evaluate: value for {name} is {dtype}, expected {dtype}",
// "evaluate: value for {name} has {n} elements, expected {m}", and
// "evaluate: {op}: {what}" for values an operation cannot compute (an integer
// division by zero, an index out of range). Intermediate values are released
// after their last reader.
[[nodiscard]] Result<TensorValues> evaluate(const Graph& graph, const TensorValues& values);

// The one tensor of `graph` named `name` (of `kind`, when one is given), as
// front-ends name the tensors they take values for; fails with "no tensor is
// named '{name}'" when none is and "{n} tensors are named '{name}': use a
// TensorId" when several are ("no input tensor", "{n} input tensors" and so
// on when a kind is given).
[[nodiscard]] Result<TensorId> tensor_by_name(const Graph& graph, std::string_view name,
                                              std::optional<TensorKind> kind = std::nullopt);

}  // namespace orvo_compiler
