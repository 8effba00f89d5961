// The tensor dataflow graph: plain lists of tensors and operations that refer
// to each other only by index, the builder that grows them with each
// operation's shape rule, and structural validation.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/ostream.h>

#include "orvo_compiler/error.hpp"

namespace orvo_compiler {

// Position of a tensor in `Graph::tensors`.
struct TensorId {
  std::uint64_t index = 0;
  friend auto operator<=>(const TensorId&, const TensorId&) = default;
  friend bool operator==(const TensorId&, const TensorId&) = default;
};

// Position of an operation in `Graph::ops`.
struct OpId {
  std::uint64_t index = 0;
  friend auto operator<=>(const OpId&, const OpId&) = default;
  friend bool operator==(const OpId&, const OpId&) = default;
};

// Element type of a tensor: float32 (every operation of the original
// language), int64 (indices and token ids, as ONNX writes them, so that every
// value round-trips exactly) and bool (masks, one byte holding 0 or 1).
enum class DType : std::uint8_t { F32, I64, Bool };

// Bytes of one element.
constexpr std::uint64_t size(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return 4;
    case DType::I64:
      return 8;
    case DType::Bool:
      return 1;
  }
  return 4;
}

enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

using Shape = std::vector<std::uint64_t>;

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype = DType::F32;
  Shape shape;
  TensorKind kind = TensorKind::Input;
  std::optional<OpId> producer;

  // Product of the dimensions (1 for an empty shape); wraps modulo 2^64 for
  // shapes that validation rejects as too large.
  [[nodiscard]] std::uint64_t elements() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

// ---- Operation kinds ------------------------------------------------------
//
// Each kind is a struct of its parameters (an aggregate: `Slice{axis, start,
// end}`) that also describes itself: `info` gives its operation name (as
// `operation_name` returns it and JSON writes it), the name of its type (the
// debug rendering and the Python class) and a one-line description;
// `fields`, for a kind with parameters, lists each parameter's name, member
// and description in order. The debug rendering, the JSON form and the
// Python class are made from these. The arity, the shape rule and the
// evaluator kernel of each kind are its definition in the library's sources.

// What an operation kind says about itself.
struct OpKindInfo {
  const char* operation;  // "layer_norm"
  const char* type_name;  // "LayerNorm"
  const char* doc;        // one line
};

// One parameter of an operation kind.
template <class Kind, class Type>
struct OpKindField {
  using value_type = Type;
  const char* name;
  Type Kind::*member;
  const char* doc;
};

template <class Kind, class Type>
consteval OpKindField<Kind, Type> op_field(const char* name, Type Kind::*member, const char* doc) {
  return {name, member, doc};
}

struct MatMul {
  static constexpr OpKindInfo info{"matmul", "MatMul", "Rank-2 matrix product."};
  friend bool operator==(const MatMul&, const MatMul&) = default;
};
struct Add {
  static constexpr OpKindInfo info{"add", "Add", "Element-wise sum."};
  friend bool operator==(const Add&, const Add&) = default;
};
struct Mul {
  static constexpr OpKindInfo info{"mul", "Mul", "Element-wise product."};
  friend bool operator==(const Mul&, const Mul&) = default;
};
struct Reshape {
  Shape shape;
  static constexpr OpKindInfo info{"reshape", "Reshape", "The same elements in row-major order under `shape`."};
  static constexpr std::tuple fields{op_field("shape", &Reshape::shape, "The output shape.")};
  friend bool operator==(const Reshape&, const Reshape&) = default;
};
struct Transpose {
  std::vector<std::uint64_t> permutation;
  static constexpr OpKindInfo info{"transpose", "Transpose", "Axes reordered by `permutation`."};
  static constexpr std::tuple fields{
      op_field("permutation", &Transpose::permutation, "Output axis i is input axis permutation[i].")};
  friend bool operator==(const Transpose&, const Transpose&) = default;
};
struct LayerNorm {
  float epsilon = 0.0F;
  static constexpr OpKindInfo info{"layer_norm", "LayerNorm", "Each row normalised to zero mean, unit variance."};
  static constexpr std::tuple fields{op_field("epsilon", &LayerNorm::epsilon, "Added to the variance (a float32).")};
  friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
};
struct Softmax {
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"softmax", "Softmax", "Softmax over one axis."};
  static constexpr std::tuple fields{op_field("axis", &Softmax::axis, "The axis the softmax runs along.")};
  friend bool operator==(const Softmax&, const Softmax&) = default;
};
struct Gelu {
  static constexpr OpKindInfo info{"gelu", "Gelu", "GELU in its tanh form, element-wise."};
  friend bool operator==(const Gelu&, const Gelu&) = default;
};

// The kinds below extend the language for imported models. Each has a builder
// with its own shape rule; their numeric meaning is that of `evaluate`.
struct Sub {
  static constexpr OpKindInfo info{"sub", "Sub", "Element-wise difference."};
  friend bool operator==(const Sub&, const Sub&) = default;
};
struct Div {
  static constexpr OpKindInfo info{"div", "Div", "Element-wise quotient."};
  friend bool operator==(const Div&, const Div&) = default;
};
// Copies the input to `shape` by numpy's rules: dimensions aligned from the
// right, each input dimension 1 (repeated) or equal, missing leading ones 1.
struct Broadcast {
  Shape shape;
  static constexpr OpKindInfo info{"broadcast", "Broadcast", "Copies the input to `shape` by numpy's rules."};
  static constexpr std::tuple fields{op_field("shape", &Broadcast::shape, "The output shape.")};
  friend bool operator==(const Broadcast&, const Broadcast&) = default;
};
// Matrix products over the last two axes, one per index of the leading axes.
struct BatchMatMul {
  static constexpr OpKindInfo info{"batch_matmul", "BatchMatMul", "Matrix products over the last two axes."};
  friend bool operator==(const BatchMatMul&, const BatchMatMul&) = default;
};
// Indices [start, end) of one axis.
struct Slice {
  std::uint64_t axis = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  static constexpr OpKindInfo info{"slice", "Slice", "Indices [start, end) of one axis."};
  static constexpr std::tuple fields{op_field("axis", &Slice::axis, "The sliced axis."),
                                     op_field("start", &Slice::start, "The first index kept."),
                                     op_field("end", &Slice::end, "One past the last index kept.")};
  friend bool operator==(const Slice&, const Slice&) = default;
};
struct Erf {
  static constexpr OpKindInfo info{"erf", "Erf", "erf, element-wise."};
  friend bool operator==(const Erf&, const Erf&) = default;
};
struct Tanh {
  static constexpr OpKindInfo info{"tanh", "Tanh", "tanh, element-wise."};
  friend bool operator==(const Tanh&, const Tanh&) = default;
};
struct Sqrt {
  static constexpr OpKindInfo info{"sqrt", "Sqrt", "Square root, element-wise."};
  friend bool operator==(const Sqrt&, const Sqrt&) = default;
};
// The mean over the last axis, which the output keeps with size 1.
struct ReduceMean {
  static constexpr OpKindInfo info{"reduce_mean", "ReduceMean", "The mean over the last axis, kept with size 1."};
  friend bool operator==(const ReduceMean&, const ReduceMean&) = default;
};

// ---- Reductions, softmax family and cumulative sums ----------------------
//
// Each reduction is a kind of its own, made from the Reduction template over
// a tag that names it; all take the same two fields.

// A reduction over `axes` (ascending, distinct, each below the rank, at least
// one); the output keeps each reduced axis with size 1, or drops it.
template <class Function>
struct Reduction {
  std::vector<std::uint64_t> axes;
  bool keepdims = true;
  static constexpr OpKindInfo info = Function::info;
  static constexpr std::tuple fields{
      op_field("axes", &Reduction::axes, "The reduced axes, ascending."),
      op_field("keepdims", &Reduction::keepdims, "Whether the output keeps each reduced axis with size 1.")};
  friend bool operator==(const Reduction&, const Reduction&) = default;
};

namespace reduction {
struct Sum {
  static constexpr OpKindInfo info{"reduce_sum", "ReduceSum", "The sum over `axes`."};
};
struct Mean {
  static constexpr OpKindInfo info{"reduce_mean_axes", "ReduceMeanAxes", "The mean over `axes`."};
};
struct Max {
  static constexpr OpKindInfo info{"reduce_max", "ReduceMax", "The largest element over `axes`."};
};
struct Min {
  static constexpr OpKindInfo info{"reduce_min", "ReduceMin", "The smallest element over `axes`."};
};
struct Prod {
  static constexpr OpKindInfo info{"reduce_prod", "ReduceProd", "The product over `axes`."};
};
struct L1 {
  static constexpr OpKindInfo info{"reduce_l1", "ReduceL1", "The sum of magnitudes over `axes`."};
};
struct L2 {
  static constexpr OpKindInfo info{"reduce_l2", "ReduceL2", "The square root of the sum of squares over `axes`."};
};
struct SumSquare {
  static constexpr OpKindInfo info{"reduce_sum_square", "ReduceSumSquare", "The sum of squares over `axes`."};
};
struct LogSum {
  static constexpr OpKindInfo info{"reduce_log_sum", "ReduceLogSum", "The logarithm of the sum over `axes`."};
};
struct LogSumExp {
  static constexpr OpKindInfo info{"reduce_log_sum_exp", "ReduceLogSumExp",
                                   "The logarithm of the sum of exponentials over `axes`."};
};
}  // namespace reduction

using ReduceSum = Reduction<reduction::Sum>;
using ReduceMeanAxes = Reduction<reduction::Mean>;
using ReduceMax = Reduction<reduction::Max>;
using ReduceMin = Reduction<reduction::Min>;
using ReduceProd = Reduction<reduction::Prod>;
using ReduceL1 = Reduction<reduction::L1>;
using ReduceL2 = Reduction<reduction::L2>;
using ReduceSumSquare = Reduction<reduction::SumSquare>;
using ReduceLogSum = Reduction<reduction::LogSum>;
using ReduceLogSumExp = Reduction<reduction::LogSumExp>;

struct LogSoftmax {
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"log_softmax", "LogSoftmax", "The logarithm of the softmax over one axis."};
  static constexpr std::tuple fields{op_field("axis", &LogSoftmax::axis, "The axis the softmax runs along.")};
  friend bool operator==(const LogSoftmax&, const LogSoftmax&) = default;
};
// 1 at the first largest element along `axis`, 0 elsewhere.
struct Hardmax {
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"hardmax", "Hardmax", "1 at the first largest element along one axis, else 0."};
  static constexpr std::tuple fields{op_field("axis", &Hardmax::axis, "The axis searched.")};
  friend bool operator==(const Hardmax&, const Hardmax&) = default;
};
// Running sums along `axis`: each element the sum of those before it
// (`exclusive`) or up to it, counted from the end when `reverse`.
struct CumSum {
  std::uint64_t axis = 0;
  bool exclusive = false;
  bool reverse = false;
  static constexpr OpKindInfo info{"cum_sum", "CumSum", "Running sums along one axis."};
  static constexpr std::tuple fields{
      op_field("axis", &CumSum::axis, "The axis summed along."),
      op_field("exclusive", &CumSum::exclusive, "Whether each sum leaves out its own element."),
      op_field("reverse", &CumSum::reverse, "Whether the sums run from the last index to the first.")};
  friend bool operator==(const CumSum&, const CumSum&) = default;
};

// The index along `axis` of the first largest (ArgMax) or smallest (ArgMin)
// element, or of the last one with `select_last_index`, as an I64 tensor; the
// output keeps `axis` with size 1 or drops it.
struct ArgMax {
  std::uint64_t axis = 0;
  bool keepdims = true;
  bool select_last_index = false;
  static constexpr OpKindInfo info{"arg_max", "ArgMax", "The index of the largest element along one axis (I64)."};
  static constexpr std::tuple fields{
      op_field("axis", &ArgMax::axis, "The axis searched."),
      op_field("keepdims", &ArgMax::keepdims, "Whether the output keeps the axis with size 1."),
      op_field("select_last_index", &ArgMax::select_last_index, "Whether ties give the last index, not the first.")};
  friend bool operator==(const ArgMax&, const ArgMax&) = default;
};
struct ArgMin {
  std::uint64_t axis = 0;
  bool keepdims = true;
  bool select_last_index = false;
  static constexpr OpKindInfo info{"arg_min", "ArgMin", "The index of the smallest element along one axis (I64)."};
  static constexpr std::tuple fields{
      op_field("axis", &ArgMin::axis, "The axis searched."),
      op_field("keepdims", &ArgMin::keepdims, "Whether the output keeps the axis with size 1."),
      op_field("select_last_index", &ArgMin::select_last_index, "Whether ties give the last index, not the first.")};
  friend bool operator==(const ArgMin&, const ArgMin&) = default;
};

// ---- Data movement for imported models -----------------------------------
//
// These kinds copy elements of any element type and keep it (Cast converts
// it); Gather and OneHot read indices at run time, which `evaluate` checks.

// The inputs joined along `axis`: one element type and rank, equal
// dimensions except on `axis`.
struct Concat {
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"concat", "Concat", "The inputs joined along `axis`."};
  static constexpr std::tuple fields{op_field("axis", &Concat::axis, "The axis the inputs are joined along.")};
  friend bool operator==(const Concat&, const Concat&) = default;
};
// Input 0's entries of `axis` that the I64 indices of input 1 pick: the
// output's shape is input 0's with `axis` replaced by the indices' shape. An
// index i in [-n, 0) picks entry n + i; one outside [-n, n) is an error.
struct Gather {
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"gather", "Gather", "Entries of `axis` picked by the indices of input 1."};
  static constexpr std::tuple fields{op_field("axis", &Gather::axis, "The axis the indices pick from.")};
  friend bool operator==(const Gather&, const Gather&) = default;
};
// The input repeated `repeats[i]` times along each axis i.
struct Tile {
  Shape repeats;
  static constexpr OpKindInfo info{"tile", "Tile", "The input repeated along each axis."};
  static constexpr std::tuple fields{op_field("repeats", &Tile::repeats, "How often each axis repeats (1 or more).")};
  friend bool operator==(const Tile&, const Tile&) = default;
};
// Input 0 grown (or, for negative amounts, cut) at both ends of each axis:
// `pads` holds the amounts at the start of each axis, then at the end.
// "constant" fills with input 1 (one element of input 0's type), "reflect"
// mirrors the input without repeating its edge, "edge" repeats the edge;
// only "constant" reads input 1.
struct Pad {
  std::vector<std::int64_t> pads;
  std::string mode = "constant";
  static constexpr OpKindInfo info{"pad", "Pad", "The input grown at both ends of each axis."};
  static constexpr std::tuple fields{
      op_field("pads", &Pad::pads, "The amount added before each axis, then after each (negative cuts)."),
      op_field("mode", &Pad::mode, "\"constant\" (input 1), \"reflect\" or \"edge\".")};
  friend bool operator==(const Pad&, const Pad&) = default;
};
// Along each axis a, the input's entries starts[a], starts[a] + steps[a], ...,
// shape[a] of them; a negative step walks backwards.
struct StridedSlice {
  Shape starts;
  std::vector<std::int64_t> steps;
  Shape shape;
  static constexpr OpKindInfo info{"strided_slice", "StridedSlice", "Every steps[a]-th entry of each axis a."};
  static constexpr std::tuple fields{op_field("starts", &StridedSlice::starts, "The first entry of each axis."),
                                     op_field("steps", &StridedSlice::steps, "The step along each axis (not 0)."),
                                     op_field("shape", &StridedSlice::shape, "The output shape.")};
  friend bool operator==(const StridedSlice&, const StridedSlice&) = default;
};
// Each element converted to `to`: float to I64 truncates towards zero (NaN
// and values outside I64 are errors), anything to Bool is x != 0, Bool to
// a number is 0 or 1.
struct Cast {
  DType to = DType::F32;
  static constexpr OpKindInfo info{"cast", "Cast", "Each element converted to another element type."};
  static constexpr std::tuple fields{op_field("to", &Cast::to, "The output's element type.")};
  friend bool operator==(const Cast&, const Cast&) = default;
};
// The upper (or lower) triangle of each matrix over the last two axes, the
// rest zero: element (i, j) is kept when j - i >= k (upper) or j - i <= k.
struct Trilu {
  bool upper = true;
  std::int64_t k = 0;
  static constexpr OpKindInfo info{"trilu", "Trilu", "The upper or lower triangle of each matrix, the rest zero."};
  static constexpr std::tuple fields{op_field("upper", &Trilu::upper, "Keep the upper triangle (else the lower)."),
                                     op_field("k", &Trilu::k, "The diagonal the triangle starts from.")};
  friend bool operator==(const Trilu&, const Trilu&) = default;
};
// A new axis `axis` of size `depth` holding input 1's values [off, on]: on
// where the new index equals input 0's index (I64 or F32, truncated), off
// elsewhere. An index i in [-depth, 0) means depth + i; others are errors.
struct OneHot {
  std::uint64_t depth = 1;
  std::uint64_t axis = 0;
  static constexpr OpKindInfo info{"one_hot", "OneHot", "One-hot rows of depth `depth` along a new axis."};
  static constexpr std::tuple fields{op_field("depth", &OneHot::depth, "The size of the new axis."),
                                     op_field("axis", &OneHot::axis, "The position of the new axis in the output.")};
  friend bool operator==(const OneHot&, const OneHot&) = default;
};

// ---- Element-wise kinds ---------------------------------------------------
//
// Functions of one float tensor, element by element; the output has the
// input's shape. Parameters keep ONNX's names and defaults.
struct Relu {
  static constexpr OpKindInfo info{"relu", "Relu", "max(x, 0), element-wise."};
  friend bool operator==(const Relu&, const Relu&) = default;
};
struct LeakyRelu {
  float alpha = 0.01F;
  static constexpr OpKindInfo info{"leaky_relu", "LeakyRelu", "x, or alpha x where x < 0, element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &LeakyRelu::alpha, "The slope below zero.")};
  friend bool operator==(const LeakyRelu&, const LeakyRelu&) = default;
};
struct Elu {
  float alpha = 1.0F;
  static constexpr OpKindInfo info{"elu", "Elu", "x, or alpha (e^x - 1) where x < 0, element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &Elu::alpha, "The scale below zero.")};
  friend bool operator==(const Elu&, const Elu&) = default;
};
struct Selu {
  float alpha = 1.67326319F;
  float gamma = 1.05070102F;
  static constexpr OpKindInfo info{"selu", "Selu", "gamma x, or gamma alpha (e^x - 1) where x <= 0, element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &Selu::alpha, "The scale of e^x - 1."),
                                     op_field("gamma", &Selu::gamma, "The scale of the whole.")};
  friend bool operator==(const Selu&, const Selu&) = default;
};
struct Celu {
  float alpha = 1.0F;
  static constexpr OpKindInfo info{"celu", "Celu", "x, or alpha (e^(x / alpha) - 1) where x <= 0, element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &Celu::alpha, "The scale below zero.")};
  friend bool operator==(const Celu&, const Celu&) = default;
};
struct ThresholdedRelu {
  float alpha = 1.0F;
  static constexpr OpKindInfo info{"thresholded_relu", "ThresholdedRelu", "x where x > alpha, else 0, element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &ThresholdedRelu::alpha, "The threshold.")};
  friend bool operator==(const ThresholdedRelu&, const ThresholdedRelu&) = default;
};
struct Sigmoid {
  static constexpr OpKindInfo info{"sigmoid", "Sigmoid", "1 / (1 + e^-x), element-wise."};
  friend bool operator==(const Sigmoid&, const Sigmoid&) = default;
};
struct HardSigmoid {
  float alpha = 0.2F;
  float beta = 0.5F;
  static constexpr OpKindInfo info{"hard_sigmoid", "HardSigmoid", "alpha x + beta clamped to [0, 1], element-wise."};
  static constexpr std::tuple fields{op_field("alpha", &HardSigmoid::alpha, "The slope."),
                                     op_field("beta", &HardSigmoid::beta, "The offset.")};
  friend bool operator==(const HardSigmoid&, const HardSigmoid&) = default;
};
struct HardSwish {
  static constexpr OpKindInfo info{"hard_swish", "HardSwish", "x times (x / 6 + 1/2 clamped to [0, 1]), element-wise."};
  friend bool operator==(const HardSwish&, const HardSwish&) = default;
};
struct Softplus {
  static constexpr OpKindInfo info{"softplus", "Softplus", "ln(1 + e^x), element-wise."};
  friend bool operator==(const Softplus&, const Softplus&) = default;
};
struct Softsign {
  static constexpr OpKindInfo info{"softsign", "Softsign", "x / (1 + |x|), element-wise."};
  friend bool operator==(const Softsign&, const Softsign&) = default;
};
struct Shrink {
  float bias = 0.0F;
  float lambd = 0.5F;
  static constexpr OpKindInfo info{"shrink", "Shrink", "x + bias below -lambd, x - bias above lambd, else 0."};
  static constexpr std::tuple fields{op_field("bias", &Shrink::bias, "Moved towards zero by this much."),
                                     op_field("lambd", &Shrink::lambd, "Magnitudes up to this become 0.")};
  friend bool operator==(const Shrink&, const Shrink&) = default;
};
struct Exp {
  static constexpr OpKindInfo info{"exp", "Exp", "e^x, element-wise."};
  friend bool operator==(const Exp&, const Exp&) = default;
};
struct Log {
  static constexpr OpKindInfo info{"log", "Log", "Natural logarithm, element-wise."};
  friend bool operator==(const Log&, const Log&) = default;
};
struct Neg {
  static constexpr OpKindInfo info{"neg", "Neg", "-x, element-wise."};
  friend bool operator==(const Neg&, const Neg&) = default;
};
struct Abs {
  static constexpr OpKindInfo info{"abs", "Abs", "|x|, element-wise."};
  friend bool operator==(const Abs&, const Abs&) = default;
};
struct Reciprocal {
  static constexpr OpKindInfo info{"reciprocal", "Reciprocal", "1 / x, element-wise."};
  friend bool operator==(const Reciprocal&, const Reciprocal&) = default;
};
struct Floor {
  static constexpr OpKindInfo info{"floor", "Floor", "The largest integer not above x, element-wise."};
  friend bool operator==(const Floor&, const Floor&) = default;
};
struct Ceil {
  static constexpr OpKindInfo info{"ceil", "Ceil", "The smallest integer not below x, element-wise."};
  friend bool operator==(const Ceil&, const Ceil&) = default;
};
struct Round {
  static constexpr OpKindInfo info{"round", "Round", "The nearest integer, halves to even, element-wise."};
  friend bool operator==(const Round&, const Round&) = default;
};
struct Sign {
  static constexpr OpKindInfo info{"sign", "Sign", "-1, 0 or 1 by the sign of x, element-wise."};
  friend bool operator==(const Sign&, const Sign&) = default;
};
struct Sin {
  static constexpr OpKindInfo info{"sin", "Sin", "sin, element-wise."};
  friend bool operator==(const Sin&, const Sin&) = default;
};
struct Cos {
  static constexpr OpKindInfo info{"cos", "Cos", "cos, element-wise."};
  friend bool operator==(const Cos&, const Cos&) = default;
};
struct Tan {
  static constexpr OpKindInfo info{"tan", "Tan", "tan, element-wise."};
  friend bool operator==(const Tan&, const Tan&) = default;
};
struct Asin {
  static constexpr OpKindInfo info{"asin", "Asin", "arcsin, element-wise."};
  friend bool operator==(const Asin&, const Asin&) = default;
};
struct Acos {
  static constexpr OpKindInfo info{"acos", "Acos", "arccos, element-wise."};
  friend bool operator==(const Acos&, const Acos&) = default;
};
struct Atan {
  static constexpr OpKindInfo info{"atan", "Atan", "arctan, element-wise."};
  friend bool operator==(const Atan&, const Atan&) = default;
};
struct Sinh {
  static constexpr OpKindInfo info{"sinh", "Sinh", "sinh, element-wise."};
  friend bool operator==(const Sinh&, const Sinh&) = default;
};
struct Cosh {
  static constexpr OpKindInfo info{"cosh", "Cosh", "cosh, element-wise."};
  friend bool operator==(const Cosh&, const Cosh&) = default;
};
struct Asinh {
  static constexpr OpKindInfo info{"asinh", "Asinh", "arsinh, element-wise."};
  friend bool operator==(const Asinh&, const Asinh&) = default;
};
struct Acosh {
  static constexpr OpKindInfo info{"acosh", "Acosh", "arcosh, element-wise."};
  friend bool operator==(const Acosh&, const Acosh&) = default;
};
struct Atanh {
  static constexpr OpKindInfo info{"atanh", "Atanh", "artanh, element-wise."};
  friend bool operator==(const Atanh&, const Atanh&) = default;
};
// Bounds from the largest negative to the largest float leave every finite
// value as it is.
struct Clip {
  float min = -3.40282347e+38F;
  float max = 3.40282347e+38F;
  static constexpr OpKindInfo info{"clip", "Clip", "x raised to min, then lowered to max, element-wise."};
  static constexpr std::tuple fields{op_field("min", &Clip::min, "The lower bound."),
                                     op_field("max", &Clip::max, "The upper bound (it wins over min).")};
  friend bool operator==(const Clip&, const Clip&) = default;
};

// Operations of several tensors that broadcast by numpy's rules. Variadic
// ones take one or more inputs of one element type, combined first to last.
struct Max {
  static constexpr OpKindInfo info{"max", "Max", "The largest of the inputs, element-wise (NaN wins)."};
  friend bool operator==(const Max&, const Max&) = default;
};
struct Min {
  static constexpr OpKindInfo info{"min", "Min", "The smallest of the inputs, element-wise (NaN wins)."};
  friend bool operator==(const Min&, const Min&) = default;
};
struct Sum {
  static constexpr OpKindInfo info{"sum", "Sum", "The sum of the inputs, first to last, element-wise."};
  friend bool operator==(const Sum&, const Sum&) = default;
};
struct Mean {
  static constexpr OpKindInfo info{"mean", "Mean", "The sum of the inputs divided by their count, element-wise."};
  friend bool operator==(const Mean&, const Mean&) = default;
};
struct Pow {
  static constexpr OpKindInfo info{"pow", "Pow", "Float base to a float or integer exponent, element-wise."};
  friend bool operator==(const Pow&, const Pow&) = default;
};
// The remainder of a division: with `fmod` 1 truncated (the dividend's sign),
// with 0 floored (the divisor's sign).
struct Mod {
  std::int64_t fmod = 0;
  static constexpr OpKindInfo info{"mod", "Mod", "The remainder of left / right, element-wise."};
  static constexpr std::tuple fields{
      op_field("fmod", &Mod::fmod, "1: the dividend's sign (C's fmod); 0: the divisor's sign.")};
  friend bool operator==(const Mod&, const Mod&) = default;
};
struct PRelu {
  static constexpr OpKindInfo info{"prelu", "PRelu", "x, or slope x where x < 0; the slope broadcasts to x."};
  friend bool operator==(const PRelu&, const PRelu&) = default;
};
struct Equal {
  static constexpr OpKindInfo info{"equal", "Equal", "left == right as Bool, element-wise."};
  friend bool operator==(const Equal&, const Equal&) = default;
};
struct Less {
  static constexpr OpKindInfo info{"less", "Less", "left < right as Bool, element-wise."};
  friend bool operator==(const Less&, const Less&) = default;
};
struct Greater {
  static constexpr OpKindInfo info{"greater", "Greater", "left > right as Bool, element-wise."};
  friend bool operator==(const Greater&, const Greater&) = default;
};
struct LessOrEqual {
  static constexpr OpKindInfo info{"less_or_equal", "LessOrEqual", "left <= right as Bool, element-wise."};
  friend bool operator==(const LessOrEqual&, const LessOrEqual&) = default;
};
struct GreaterOrEqual {
  static constexpr OpKindInfo info{"greater_or_equal", "GreaterOrEqual", "left >= right as Bool, element-wise."};
  friend bool operator==(const GreaterOrEqual&, const GreaterOrEqual&) = default;
};
struct Not {
  static constexpr OpKindInfo info{"not", "Not", "Logical not of a Bool tensor."};
  friend bool operator==(const Not&, const Not&) = default;
};
struct And {
  static constexpr OpKindInfo info{"and", "And", "Logical and of two Bool tensors."};
  friend bool operator==(const And&, const And&) = default;
};
struct Or {
  static constexpr OpKindInfo info{"or", "Or", "Logical or of two Bool tensors."};
  friend bool operator==(const Or&, const Or&) = default;
};
struct Xor {
  static constexpr OpKindInfo info{"xor", "Xor", "Logical exclusive or of two Bool tensors."};
  friend bool operator==(const Xor&, const Xor&) = default;
};
// Inputs: a Bool condition, then the values where it holds and where it does
// not (of one element type, which the output has).
struct Where {
  static constexpr OpKindInfo info{"where", "Where", "Picks from the second or third input by a Bool condition."};
  friend bool operator==(const Where&, const Where&) = default;
};

// ---- Image operations ------------------------------------------------------
//
// Over tensors laid out [batch, channels, spatial axes...] with one to three
// spatial axes. Windows run over the spatial axes with a stride and a
// dilation per axis; `pads` holds the zero rows added before each spatial
// axis, then after each. An empty `strides`, `dilations` or `pads` means 1,
// 1 and 0 on every axis.

// Inputs: X [N, C, D...], W [M, C / group, K...] and, optionally, a bias B
// [M]; the output is [N, M, O...] with O = floor((D + pads - dilation (K -
// 1) - 1) / stride) + 1 on each spatial axis.
struct Conv {
  std::uint64_t group = 1;
  Shape strides;
  Shape dilations;
  Shape pads;
  static constexpr OpKindInfo info{"conv", "Conv", "Convolution of input 0 with the filters of input 1, plus a bias."};
  static constexpr std::tuple fields{
      op_field("group", &Conv::group, "The number of channel groups (C / group channels per filter)."),
      op_field("strides", &Conv::strides, "The step between windows on each spatial axis."),
      op_field("dilations", &Conv::dilations, "The step between filter taps on each spatial axis."),
      op_field("pads", &Conv::pads, "Zeros added before each spatial axis, then after each.")};
  friend bool operator==(const Conv&, const Conv&) = default;
};
// The largest input element of each window; padding is never chosen. With
// `ceil_mode` the output counts a last partial window (one that starts
// inside the input or its leading padding).
struct MaxPool {
  Shape kernel;
  Shape strides;
  Shape dilations;
  Shape pads;
  bool ceil_mode = false;
  static constexpr OpKindInfo info{"max_pool", "MaxPool", "The largest element of each window."};
  static constexpr std::tuple fields{
      op_field("kernel", &MaxPool::kernel, "The window's size on each spatial axis."),
      op_field("strides", &MaxPool::strides, "The step between windows on each spatial axis."),
      op_field("dilations", &MaxPool::dilations, "The step between window taps on each spatial axis."),
      op_field("pads", &MaxPool::pads, "Padding before each spatial axis, then after each."),
      op_field("ceil_mode", &MaxPool::ceil_mode, "Whether a last partial window gives an output.")};
  friend bool operator==(const MaxPool&, const MaxPool&) = default;
};
// The mean of each window: its input elements' sum divided by their count,
// or with `count_include_pad` by the count of its taps inside the padded
// input (a partial window of `ceil_mode` still leaves out what lies past the
// padding).
struct AveragePool {
  Shape kernel;
  Shape strides;
  Shape pads;
  bool ceil_mode = false;
  bool count_include_pad = false;
  static constexpr OpKindInfo info{"average_pool", "AveragePool", "The mean of each window."};
  static constexpr std::tuple fields{
      op_field("kernel", &AveragePool::kernel, "The window's size on each spatial axis."),
      op_field("strides", &AveragePool::strides, "The step between windows on each spatial axis."),
      op_field("pads", &AveragePool::pads, "Padding before each spatial axis, then after each."),
      op_field("ceil_mode", &AveragePool::ceil_mode, "Whether a last partial window gives an output."),
      op_field("count_include_pad", &AveragePool::count_include_pad,
               "Whether padding counts in the divisor (it adds nothing to the sum).")};
  friend bool operator==(const AveragePool&, const AveragePool&) = default;
};
// The mean (GlobalAveragePool) or largest element (GlobalMaxPool) of each
// channel's spatial axes, which the output keeps with size 1.
struct GlobalAveragePool {
  static constexpr OpKindInfo info{"global_average_pool", "GlobalAveragePool",
                                   "The mean over the spatial axes of each channel."};
  friend bool operator==(const GlobalAveragePool&, const GlobalAveragePool&) = default;
};
struct GlobalMaxPool {
  static constexpr OpKindInfo info{"global_max_pool", "GlobalMaxPool",
                                   "The largest element over the spatial axes of each channel."};
  friend bool operator==(const GlobalMaxPool&, const GlobalMaxPool&) = default;
};
// Inference normalisation of each channel: inputs X [N, C, ...], then scale,
// bias, mean and variance, each [C].
struct BatchNormalization {
  float epsilon = 1e-5F;
  static constexpr OpKindInfo info{"batch_normalization", "BatchNormalization",
                                   "Each channel normalised by a known mean and variance, scaled and shifted."};
  static constexpr std::tuple fields{
      op_field("epsilon", &BatchNormalization::epsilon, "Added to the variance (a float32).")};
  friend bool operator==(const BatchNormalization&, const BatchNormalization&) = default;
};
// Inputs: X [N, C, D...], W [C, M / group, K...] and, optionally, a bias B
// [M]: each input element spreads its filter over the output, input position
// i and tap k landing on stride i + dilation k - pads_before. The output is
// [N, M, O...] with O = stride (D - 1) + dilation (K - 1) + 1 - pads +
// output_padding on each spatial axis (output_padding adds positions at the
// end).
struct ConvTranspose {
  std::uint64_t group = 1;
  Shape strides;
  Shape dilations;
  Shape pads;
  Shape output_padding;
  static constexpr OpKindInfo info{"conv_transpose", "ConvTranspose",
                                   "Transposed convolution of input 0 with the filters of input 1, plus a bias."};
  static constexpr std::tuple fields{
      op_field("group", &ConvTranspose::group, "The number of channel groups (C / group input channels each)."),
      op_field("strides", &ConvTranspose::strides, "The step between input positions on each spatial axis."),
      op_field("dilations", &ConvTranspose::dilations, "The step between filter taps on each spatial axis."),
      op_field("pads", &ConvTranspose::pads, "Positions cut before each spatial axis, then after each."),
      op_field("output_padding", &ConvTranspose::output_padding, "Positions added at the end of each spatial axis.")};
  friend bool operator==(const ConvTranspose&, const ConvTranspose&) = default;
};
// Input: X of any rank (1 or more), resampled to `shape` (the same rank).
// Each output position o on an axis maps to a source coordinate x by
// `coordinate_transformation_mode` and the axis's scale (scales[axis], or
// output / input when `scales` is empty); "nearest" takes the element at x
// rounded by `nearest_mode`, "linear" interpolates between the two elements
// around x on every axis where x (clamped to the input) is not whole.
struct Resize {
  Shape shape;
  std::vector<float> scales;
  std::string mode = "nearest";
  std::string coordinate_transformation_mode = "half_pixel";
  std::string nearest_mode = "round_prefer_floor";
  static constexpr OpKindInfo info{"resize", "Resize", "The input resampled to another shape."};
  static constexpr std::tuple fields{
      op_field("shape", &Resize::shape, "The output shape (the input's rank)."),
      op_field("scales", &Resize::scales, "Output size over input size per axis (float32s); empty: the ratio of "
                                          "the sizes."),
      op_field("mode", &Resize::mode, "\"nearest\" or \"linear\"."),
      op_field("coordinate_transformation_mode", &Resize::coordinate_transformation_mode,
               "\"half_pixel\", \"pytorch_half_pixel\", \"align_corners\", \"asymmetric\" or "
               "\"tf_half_pixel_for_nn\"."),
      op_field("nearest_mode", &Resize::nearest_mode,
               "\"round_prefer_floor\", \"round_prefer_ceil\", \"floor\" or \"ceil\" (nearest only).")};
  friend bool operator==(const Resize&, const Resize&) = default;
};

// Every kind; new kinds go last, so that each existing kind keeps its index.
using OpKind = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu, Sub, Div, Broadcast,
                            BatchMatMul, Slice, Erf, Tanh, Sqrt, ReduceMean, ReduceSum, ReduceMeanAxes, ReduceMax,
                            ReduceMin, ReduceProd, ReduceL1, ReduceL2, ReduceSumSquare, ReduceLogSum,
                            ReduceLogSumExp, LogSoftmax, Hardmax, CumSum, ArgMax, ArgMin, Concat, Gather, Tile, Pad,
                            StridedSlice, Cast, Trilu, OneHot,
                            Relu, LeakyRelu, Elu, Selu, Celu, ThresholdedRelu, Sigmoid, HardSigmoid, HardSwish,
                            Softplus, Softsign, Shrink, Exp, Log, Neg, Abs, Reciprocal, Floor, Ceil, Round, Sign, Sin,
                            Cos, Tan, Asin, Acos, Atan, Sinh, Cosh, Asinh, Acosh, Atanh, Clip, Max, Min, Sum, Mean, Pow,
                            Mod, PRelu, Equal, Less, Greater, LessOrEqual, GreaterOrEqual, Not, And, Or, Xor, Where,
                            Conv, MaxPool, AveragePool, GlobalAveragePool, GlobalMaxPool, BatchNormalization,
                            ConvTranspose, Resize>;

// The field descriptors of a kind; none for a kind without `fields`.
template <class Kind>
constexpr auto op_kind_fields() {
  if constexpr (requires { Kind::fields; }) {
    return Kind::fields;
  } else {
    return std::tuple<>{};
  }
}

// Calls `visit(field)` for each field descriptor of `Kind`, in order.
template <class Kind, class Visit>
constexpr void for_each_field(Visit&& visit) {
  std::apply([&visit](const auto&... field) { (visit(field), ...); }, op_kind_fields<Kind>());
}

// Calls `visit(std::type_identity<Kind>{})` for each kind, in the variant's order.
template <class Visit>
constexpr void for_each_op_kind(Visit&& visit) {
  [&visit]<class... Kinds>(std::type_identity<std::variant<Kinds...>>) {
    (visit(std::type_identity<Kinds>{}), ...);
  }(std::type_identity<OpKind>{});
}

// The description of the kind `kind` holds.
[[nodiscard]] const OpKindInfo& op_kind_info(const OpKind& kind);

namespace detail {

// Converts to anything: counts the members an aggregate initialisation takes.
struct AnyMember {
  template <class T>
  operator T() const;  // NOLINT(google-explicit-constructor): only named in unevaluated operands
};

template <class Kind, std::size_t... Index>
constexpr bool initialisable_from(std::index_sequence<Index...> /*members*/) {
  return requires { Kind{(static_cast<void>(Index), AnyMember{})...}; };
}

template <class Kind>
constexpr std::size_t field_count = std::tuple_size_v<decltype(op_kind_fields<Kind>())>;

}  // namespace detail

// A kind describes itself, and its `fields` name every member it has (so the
// JSON form and the Python class leave none out).
template <class Kind>
concept DescribedOpKind =
    std::is_aggregate_v<Kind> && std::equality_comparable<Kind> &&
    std::same_as<decltype(Kind::info), const OpKindInfo> &&
    detail::initialisable_from<Kind>(std::make_index_sequence<detail::field_count<Kind>>{}) &&
    !detail::initialisable_from<Kind>(std::make_index_sequence<detail::field_count<Kind> + 1>{});

static_assert([]<class... Kinds>(std::type_identity<std::variant<Kinds...>>) {
  return (DescribedOpKind<Kinds> && ...);
}(std::type_identity<OpKind>{}), "every operation kind needs `info`, and `fields` naming each of its members");

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;

  friend bool operator==(const Op&, const Op&) = default;
};

// A graph grows only by appending through the builder below. Every builder
// call that fails leaves the graph exactly as it was.
struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  std::vector<TensorId> outputs;

  // Appends a tensor and returns its id; checks nothing.
  TensorId tensor(std::string_view name, Shape shape, TensorKind kind, std::optional<OpId> producer);
  TensorId input(std::string_view name, Shape shape);
  TensorId weight(std::string_view name, Shape shape);
  // The same, of element type `dtype` (the forms above make F32 tensors).
  TensorId input(std::string_view name, Shape shape, DType dtype);
  TensorId weight(std::string_view name, Shape shape, DType dtype);

  // Appends the output tensor (named after the operation) and the operation;
  // fails with "{name}: unknown input" when an input names no tensor.
  [[nodiscard]] Result<TensorId> op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                                    Shape shape);
  // Element-wise operation of two tensors of identical shape (`apply` also
  // takes operands that broadcast).
  [[nodiscard]] Result<TensorId> binary(std::string_view name, OpKind kind, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> add(std::string_view name, TensorId left, TensorId right);
  // Rank-2 by rank-2 product; [a0, a1] x [a1, b1] gives [a0, b1].
  [[nodiscard]] Result<TensorId> matmul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> transpose(std::string_view name, TensorId input,
                                           std::vector<std::uint64_t> permutation);
  [[nodiscard]] Result<TensorId> softmax(std::string_view name, TensorId input, std::uint64_t axis);
  [[nodiscard]] Result<TensorId> layer_norm(std::string_view name, TensorId input, float epsilon);
  [[nodiscard]] Result<TensorId> gelu(std::string_view name, TensorId input);

  // Element-wise, of two tensors of identical shape, as `add`.
  [[nodiscard]] Result<TensorId> mul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> sub(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> div(std::string_view name, TensorId left, TensorId right);
  // The same elements in row-major order under another shape; fails with
  // "{name}: cannot reshape {from} to {to}" when the element counts differ.
  [[nodiscard]] Result<TensorId> reshape(std::string_view name, TensorId input, Shape shape);
  // Fails with "{name}: cannot broadcast {from} to {to}" unless the input's
  // rank is at most the target's and each of its dimensions, aligned from
  // the right, is 1 or the target's.
  [[nodiscard]] Result<TensorId> broadcast(std::string_view name, TensorId input, Shape shape);
  // [..., m, k] x [..., k, n] gives [..., m, n] for operands of equal rank of
  // at least 2 with equal leading dimensions; otherwise fails with
  // "{name}: incompatible batch matmul {left} x {right}".
  [[nodiscard]] Result<TensorId> batch_matmul(std::string_view name, TensorId left, TensorId right);
  // Indices [start, end) of `axis`; fails with "{name}: slice out of range"
  // unless axis < rank and start < end <= the axis' size.
  [[nodiscard]] Result<TensorId> slice(std::string_view name, TensorId input, std::uint64_t axis, std::uint64_t start,
                                       std::uint64_t end);
  [[nodiscard]] Result<TensorId> erf(std::string_view name, TensorId input);
  [[nodiscard]] Result<TensorId> tanh(std::string_view name, TensorId input);
  [[nodiscard]] Result<TensorId> sqrt(std::string_view name, TensorId input);
  // The last axis reduced to size 1; fails with "{name}: reduce_mean of a
  // scalar" for an input without axes.
  [[nodiscard]] Result<TensorId> reduce_mean(std::string_view name, TensorId input);

  // An operation of any kind, its output shape and element type by the
  // kind's rules; fails with "{name}: unknown input", with "{name}:
  // {operation} takes {n} inputs, not {m}" for a wrong count of inputs, or
  // with the message of the kind's rule. The rules are the named builders',
  // except that Add, Sub, Mul and Div also take operands that broadcast by
  // numpy's rules (the named builders keep identical shapes).
  [[nodiscard]] Result<TensorId> apply(std::string_view name, OpKind kind, std::vector<TensorId> inputs);

  // Marks a tensor as a graph output (kind `Output`) and appends it to
  // `outputs`, repeats included. An id naming no tensor is appended as it is
  // and left for `validate` to reject.
  void mark_output(TensorId tensor);

  // Checks the structural invariants: ids equal positions, operations refer to
  // existing tensors and own their outputs, shapes are non-empty, free of 0
  // and small enough to count in 64 bits, and at least one valid output exists.
  [[nodiscard]] Result<void> validate() const;

  friend bool operator==(const Graph&, const Graph&) = default;
};

// Debug renderings: `TensorId(7)`, `OpId(3)`, `F32`, `Weight`, and
// `Transpose { permutation: [1, 0] }` for operation kinds
// (`Slice { axis: 1, start: 0, end: 4 }`, `Broadcast { shape: [2, 3] }`).
std::ostream& operator<<(std::ostream& out, TensorId id);
std::ostream& operator<<(std::ostream& out, OpId id);
std::ostream& operator<<(std::ostream& out, DType dtype);
std::ostream& operator<<(std::ostream& out, TensorKind kind);
std::ostream& operator<<(std::ostream& out, const OpKind& kind);

}  // namespace orvo_compiler

template <>
struct std::hash<orvo_compiler::TensorId> {
  std::size_t operator()(orvo_compiler::TensorId id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};

template <>
struct fmt::formatter<orvo_compiler::TensorId> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::OpId> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::DType> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::TensorKind> : fmt::ostream_formatter {};
template <>
struct fmt::formatter<orvo_compiler::OpKind> : fmt::ostream_formatter {};
