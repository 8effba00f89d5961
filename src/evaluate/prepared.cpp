// A graph's evaluation planned once. Steps at `make`:
//  1. Check the graph as `evaluate` does (same errors).
//  2. Cut the operation list into passes. A pass is one operation (its
//     anchor) followed by a chain of element-wise operations on float
//     tensors, each reading the previous one's result as its only reader
//     (no graph output, read once) at the same shape, and whose other operand
//     exists before the anchor runs. A chain's intermediates get no buffer:
//     each step rewrites the pass's output in place, block by block. A
//     reshape of the running value (or a transpose that moves only axes of
//     length 1) continues the pass with no step at all: the same elements in
//     the same order under another shape.
//  3. Give every pass's output an offset in one arena: first fit, in pass
//     order, among the outputs whose pass range [producer, last reader]
//     meets its own; graph outputs live to the end.
//     A pass's output never shares memory with its inputs.
//  4. Split each pass into units that write disjoint parts of its output:
//     rows of a matrix product (of a single product on several threads,
//     blocks of whole register tiles' columns instead, so that no two
//     threads pack the same part of its right matrix), rows of layer_norm
//     and softmax, planes of max and average pooling (their windows worked
//     out at `make`), blocks of output positions of a conv that runs by the
//     patch product (straight into the arena, each task with a workspace
//     kept between runs; other convs run whole), or blocks of its filters
//     where its positions are few (by filters as the product's columns when
//     they are bound), elements of the rest. Each output element is
//     computed by one unit with the same operations in the same order as
//     `evaluate` computes it, so the bits never depend on the split or the
//     thread count.
// `bind` keeps values for every run. It packs the bound right matrix of each
// single product for the register tile (a second copy of that weight, which
// runs then read in place of packing it panel by panel), packs the bound
// filters of each conv run with its positions as the product's rows (a
// second copy too), and scans bound conv filters for infinities and NaN
// once, which the conv kernel would otherwise do per run. A run that gives
// its own value of such a tensor uses that.
// A run checks the values, runs the passes in order (the units of one pass
// over the pool) and copies the outputs out. Kinds without a planned kernel
// (any of integer or boolean tensors included) run their one-shot kernel on
// the calling thread, on copies of their arena inputs, which allocates.
//
// Planning costs time quadratic in the number of passes (the first fit);
// a run costs the arithmetic and one copy of each output.
// Not guaranteed: the smallest arena (first fit is greedy), nor the best
// split for every shape. Operations keep their order, except that a fused
// operation runs in the pass of the chain it continues.
#include "orvo_compiler/prepared.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "evaluate/evaluate_checks.hpp"
#include "evaluate/worker_pool.hpp"
#include "graph/op_definitions.hpp"
#include "kernels/kernels_conv.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler {
namespace {

using detail::KernelPath;
using detail::OpDefinition;

// Arena offsets are multiples of a cache line (in floats).
constexpr std::size_t alignment_floats = detail::line_floats;
// Element-wise work goes in blocks that stay in the first-level cache.
constexpr std::size_t block_elements = 1024;
// Output positions per unit of a conv split over threads (a multiple of every
// path's tile width).
constexpr std::size_t conv_unit_positions = 96;
// Filters per unit of a conv split by filters instead (a multiple of every
// path's tile rows).
constexpr std::size_t conv_unit_filters = 8;
// Passes with fewer elements (or multiply-adds) than this run on the calling thread alone.
constexpr std::size_t split_threshold = 8192;
// Tasks per thread of a product split by column blocks. Each block reads the
// left matrix once whatever the split, so smaller tasks cost nothing in data
// and let a thread that finishes early take over part of a slower one's share.
constexpr std::size_t column_tasks_per_thread = 8;

template <class Kind>
constexpr bool is_unary = std::is_base_of_v<detail::ElementwiseUnary<OpDefinition<Kind>>, OpDefinition<Kind>>;
template <class Kind>
constexpr bool is_binary = std::is_base_of_v<detail::ElementwiseBinary<OpDefinition<Kind>>, OpDefinition<Kind>>;

// Rewrites `values` by the kind's element function, as its kernel does.
using UnaryFunction = void (*)(const OpKind& kind, KernelPath path, std::span<float> values);
// out[i] = f(left[i], right[i]) for i below count; out may be either operand.
using BinaryFunction = void (*)(const float* left, const float* right, float* out, std::size_t count);

// The element loops below are compiled for the widest vectors the processor
// has (chosen once, when the library loads). Each element is one and the same
// IEEE operation at any width, so the choice never changes a bit. Clang does
// not clone templates; its builds keep the baseline loops.
#if defined(__clang__)
#define ORVO_WIDEST_VECTORS
#else
#define ORVO_WIDEST_VECTORS [[gnu::target_clones("avx512f", "avx2", "default")]]
#endif

template <class Kind>
ORVO_WIDEST_VECTORS void unary_loop(const Kind& kind, std::span<float> values) {
  for (float& value : values) {
    value = OpDefinition<Kind>::apply(kind, value);
  }
}

template <class Kind>
void unary_function(const OpKind& kind, KernelPath path, std::span<float> values) {
  using Definition = OpDefinition<Kind>;
  if constexpr (requires { Definition::apply_many(path, values); }) {
    Definition::apply_many(path, values);
  } else {
    unary_loop(std::get<Kind>(kind), values);
  }
}

// Planes [first, last) of a max or average pool, every loop of its
// definition inlined into each width's copy.
template <class Kind>
[[gnu::flatten]] ORVO_WIDEST_VECTORS void pool_planes_widest(const Kind& kind, const detail::PoolWindows& windows,
                                                             const float* x, float* out, std::uint64_t first,
                                                             std::uint64_t last) {
  OpDefinition<Kind>::pool(kind, windows, x, out, first, last);
}

template <class Kind>
ORVO_WIDEST_VECTORS void binary_function(const float* left, const float* right, float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = OpDefinition<Kind>::apply(left[i], right[i]);
  }
}

#undef ORVO_WIDEST_VECTORS

UnaryFunction unary_of(const OpKind& kind) {
  return std::visit(
      []<class Kind>(const Kind& /*alternative*/) -> UnaryFunction {
        if constexpr (is_unary<Kind>) {
          return &unary_function<Kind>;
        } else {
          return nullptr;
        }
      },
      kind);
}

BinaryFunction binary_of(const OpKind& kind) {
  return std::visit(
      []<class Kind>(const Kind& /*alternative*/) -> BinaryFunction {
        if constexpr (is_binary<Kind>) {
          return &binary_function<Kind>;
        } else {
          return nullptr;
        }
      },
      kind);
}

// Elements of a tensor read in the row-major order of an output shape:
// output index (i_0, ..., i_n) reads element base + sum of i_j x
// strides[j]. A broadcast operand has stride 0 along its repeated axes; a
// transpose has its input's strides permuted; a slice starts at an offset.
struct StridedRead {
  Shape shape;
  std::vector<std::uint64_t> strides;
  std::uint64_t base = 0;
  bool contiguous = false;  // strides are the shape's own row-major ones
  bool single = false;      // every index reads the element at `base`

  // The offset of the `index`th block of the last `trailing` axes (in
  // row-major order of the axes before them), from its leading indices.
  [[nodiscard]] std::uint64_t leading_offset(std::uint64_t index, std::size_t trailing) const {
    std::uint64_t offset = 0;
    for (std::size_t axis = shape.size() - trailing; axis-- > 0;) {
      offset += (index % shape[axis]) * strides[axis];
      index /= shape[axis];
    }
    return offset;
  }

  // The offset of output row `row` (all indices but the last).
  [[nodiscard]] std::uint64_t row_offset(std::uint64_t row) const { return leading_offset(row, 1); }

  // The offset of matrix `batch` (all indices but the last two).
  [[nodiscard]] std::uint64_t matrix_offset(std::uint64_t batch) const { return leading_offset(batch, 2); }

  // Where the elements for output indices [first, last) lie one after
  // another in `source`, if they do: a contiguous read, or a part of one
  // output row read in order (a bias repeated over the rows); else null.
  [[nodiscard]] const float* in_place(const float* source, std::size_t first, std::size_t last) const {
    if (contiguous) {
      return source + base + first;
    }
    const std::uint64_t row = shape.empty() ? 1 : shape.back();
    if (single || shape.empty() || strides.back() != 1 || first / row != (last - 1) / row) {
      return nullptr;
    }
    return source + base + row_offset(first / row) + first % row;
  }

  // The elements for output indices [first, last) written to `target`.
  void gather(const float* source, std::size_t first, std::size_t last, float* target) const {
    source += base;
    if (contiguous) {
      std::memcpy(target, source + first, (last - first) * sizeof(float));
      return;
    }
    if (single) {
      std::fill(target, target + (last - first), source[0]);
      return;
    }
    const std::uint64_t row = shape.empty() ? 1 : shape.back();
    const std::uint64_t step = shape.empty() ? 0 : strides.back();
    std::size_t index = first;
    while (index < last) {
      const std::uint64_t offset = row_offset(index / row);
      const std::uint64_t column = index % row;
      const std::size_t end = std::min<std::size_t>(last, index - column + row);
      if (step == 1) {
        // A row read in order, such as a bias repeated over the rows.
        std::memcpy(target, source + offset + column, (end - index) * sizeof(float));
        target += end - index;
        index = end;
        continue;
      }
      for (std::uint64_t c = column; index < end; ++c, ++index) {
        *target++ = source[offset + c * step];
      }
    }
  }
};

// How an operand of shape `operand` is read at the indices of `output`, by numpy's broadcast.
StridedRead broadcast_read(const Shape& operand, const Shape& output) {
  StridedRead read{.shape = output, .strides = std::vector<std::uint64_t>(output.size(), 0)};
  const std::vector<std::uint64_t> own = detail::row_major_strides(operand);
  const std::size_t offset = output.size() - operand.size();
  for (std::size_t axis = 0; axis < operand.size(); ++axis) {
    read.strides[offset + axis] = operand[axis] == 1 ? 0 : own[axis];
  }
  read.contiguous = operand == output;
  read.single = std::ranges::all_of(read.strides, [](std::uint64_t stride) { return stride == 0; });
  return read;
}

// Whether `strides` walk `shape` in row-major order; axes of length 1 never
// move, so their strides do not matter.
bool walks_in_order(const Shape& shape, const std::vector<std::uint64_t>& strides) {
  std::uint64_t expected = 1;
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    if (shape[axis] != 1 && strides[axis] != expected) {
      return false;
    }
    expected *= shape[axis];
  }
  return true;
}

// `read` with its flags recomputed from its shape and strides.
StridedRead settled(StridedRead read) {
  read.contiguous = walks_in_order(read.shape, read.strides);
  read.single = true;
  for (std::size_t axis = 0; axis < read.shape.size(); ++axis) {
    read.single = read.single && (read.shape[axis] == 1 || read.strides[axis] == 0);
  }
  return read;
}

// `read` seen under `shape` (the same elements in the same order), when
// strides can say so: each run of new axes must cover old axes that step
// through the source evenly. Axes of length 1 get stride 0.
std::optional<StridedRead> reshaped(const StridedRead& read, const Shape& shape) {
  if (read.shape == shape) {
    return read;
  }
  Shape old_shape;
  std::vector<std::uint64_t> old_strides;
  for (std::size_t axis = 0; axis < read.shape.size(); ++axis) {
    if (read.shape[axis] == 0) {
      return std::nullopt;
    }
    if (read.shape[axis] != 1) {
      old_shape.push_back(read.shape[axis]);
      old_strides.push_back(read.strides[axis]);
    }
  }
  std::vector<std::size_t> new_axes;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (shape[axis] == 0) {
      return std::nullopt;
    }
    if (shape[axis] != 1) {
      new_axes.push_back(axis);
    }
  }
  StridedRead result{.shape = shape, .strides = std::vector<std::uint64_t>(shape.size(), 0), .base = read.base};
  std::size_t old_first = 0;
  std::size_t new_first = 0;
  while (old_first < old_shape.size() && new_first < new_axes.size()) {
    // The shortest runs of old and new axes with the same element count.
    std::size_t old_last = old_first + 1;
    std::size_t new_last = new_first + 1;
    std::uint64_t old_count = old_shape[old_first];
    std::uint64_t new_count = shape[new_axes[new_first]];
    while (old_count != new_count) {
      if (new_count < old_count) {
        if (new_last == new_axes.size()) {
          return std::nullopt;
        }
        new_count *= shape[new_axes[new_last++]];
      } else {
        if (old_last == old_shape.size()) {
          return std::nullopt;
        }
        old_count *= old_shape[old_last++];
      }
    }
    for (std::size_t axis = old_first; axis + 1 < old_last; ++axis) {
      if (old_strides[axis] != old_shape[axis + 1] * old_strides[axis + 1]) {
        return std::nullopt;
      }
    }
    std::uint64_t stride = old_strides[old_last - 1];
    for (std::size_t axis = new_last; axis-- > new_first;) {
      result.strides[new_axes[axis]] = stride;
      stride *= shape[new_axes[axis]];
    }
    old_first = old_last;
    new_first = new_last;
  }
  if (old_first != old_shape.size() || new_first != new_axes.size()) {
    return std::nullopt;
  }
  return settled(std::move(result));
}

// What a pass's anchor computes into the pass's output.
enum class Anchor : std::uint8_t { MatMul, LayerNorm, Softmax, Unary, Binary, Copy, Conv, Pool, Kernel };

// An element-wise operation of a pass: its function, its operands (a tensor
// read through `read`, or the pass's running value where `tensor` is empty).
struct Operand {
  std::optional<TensorId> tensor;
  StridedRead read;
};

struct ElementStep {
  const Op* op = nullptr;
  UnaryFunction unary = nullptr;
  BinaryFunction binary = nullptr;
  Operand left;
  Operand right;
};

struct Pass {
  Anchor anchor = Anchor::Kernel;
  const Op* op = nullptr;
  TensorId output;             // the last operation's output
  ElementStep element;         // the anchor, when element-wise or a copy
  std::vector<ElementStep> chain;
  // Units of the split, each `unit_elements` output elements long.
  std::size_t units = 1;
  std::size_t unit_elements = 0;
  std::size_t tasks = 1;
  // Matrix products: batches x rows x inner by inner x columns. A single
  // product split over threads is split by blocks of `column_step` output
  // columns (0: by output rows), so that each thread packs only its own part
  // of the right matrix.
  std::size_t column_step = 0;
  std::size_t rows = 0;
  std::size_t inner = 0;
  std::size_t columns = 0;
  // A product whose operand (left, right) is the result of a copy (slices
  // and transposes of one tensor) reads the copy's source through the copy's
  // strides instead: the right one's panels are packed anyway, and the left
  // one's rows need only lie in order. The copy is then `folded` and never
  // runs.
  std::array<std::optional<Operand>, 2> views;
  bool folded = false;
  // A product whose one reader is a transpose (a copy reading every element
  // once) writes each element where the transpose would have put it: its
  // output is the copy's, `written` says where (strides over the product's
  // own shape), and the copy is folded.
  std::optional<StridedRead> written;
  // A single product whose right matrix is bound: that matrix packed for the
  // tile at bind, 64-byte aligned from packed_offset, or empty. For a conv
  // whose positions are the product's rows, its bound filters packed.
  std::vector<float> packed;
  std::size_t packed_offset = 0;
  float epsilon = 0.0F;
  // Conv: its geometry, for the conv kernel straight into the arena, and
  // whether its units are blocks of filters rather than of output positions.
  detail::ConvShape conv;
  bool conv_by_filters = false;
  // A conv of few positions and many filters, run with the positions as the
  // product's rows when its filters are bound (and packed at bind); its
  // units are then blocks of the product's column step of filters.
  bool conv_positions_as_rows = false;
  // Max and average pooling: every output position's taps, split by planes.
  detail::PoolWindows pool;
};

std::size_t floats_for(const Tensor& tensor) {
  return static_cast<std::size_t>((tensor.elements() * size(tensor.dtype) + 3) / 4);
}

// The arena's bytes of `tensor` at `source` into `target`, as a list of the
// tensor's element type; a list of that type already there keeps its storage.
void copy_out(const Tensor& tensor, const float* source, TensorData& target) {
  const auto copy = [&]<class T>(std::type_identity<T> /*type*/) {
    if (!std::holds_alternative<std::vector<T>>(target)) {
      target = std::vector<T>();
    }
    auto& values = std::get<std::vector<T>>(target);
    values.resize(static_cast<std::size_t>(tensor.elements()));
    std::memcpy(values.data(), source, values.size() * sizeof(T));
  };
  switch (tensor.dtype) {
    case DType::F32:
      return copy(std::type_identity<float>{});
    case DType::I64:
      return copy(std::type_identity<std::int64_t>{});
    case DType::Bool:
      return copy(std::type_identity<std::uint8_t>{});
  }
}

std::size_t aligned(std::size_t floats) { return (floats + alignment_floats - 1) / alignment_floats * alignment_floats; }

}  // namespace

class PreparedEvaluation::Impl {
 public:
  Impl(Graph graph, std::size_t threads)
      : graph_(std::move(graph)), producer_(detail::producers(graph_)), path_(detail::best_path()), pool_(threads) {}

  // Steps 2 to 4 of the plan.
  void plan() {
    count_readers();
    build_passes();
    fold_copies_into_products();
    place_tensors();
    split_passes();
    sources_.assign(graph_.tensors.size(), nullptr);
    given_.assign(graph_.tensors.size(), false);
    conv_workspaces_.resize(pool_.threads());
    scratch_.resize(graph_.tensors.size());
    for (const TensorId output : graph_.outputs) {
      if (std::ranges::find(outputs_, output) == outputs_.end()) {
        outputs_.push_back(output);
      }
    }
  }

  Result<void> bind(TensorValues values) {
    const std::lock_guard lock(run_mutex_);
    // Each value is checked as a run's are; none need be given.
    if (const Result<void> valid = detail::check_given(graph_, values, producer_); !valid) {
      return valid;
    }
    bound_ = std::move(values);
    // Bound filters are scanned for infinities and NaN once, not per run.
    finite_bound_.clear();
    for (Pass& pass : passes_) {
      pack_bound_right(pass);
      if (pass.anchor != Anchor::Conv) {
        continue;
      }
      const TensorId weights = pass.op->inputs[1];
      if (const auto value = bound_.find(weights); value != bound_.end()) {
        finite_bound_.emplace(weights, detail::weights_finite(std::get<std::vector<float>>(value->second)));
      }
    }
    return {};
  }

  Result<void> run(const TensorValues& values, TensorValues& outputs) {
    const std::lock_guard lock(run_mutex_);
    if (const Result<void> valid = detail::check_values(graph_, values, producer_, bound_); !valid) {
      return valid;
    }
    for (const auto& [id, given] : bound_) {
      sources_[id.index] = &given;
    }
    given_.assign(given_.size(), false);
    for (const auto& [id, given] : values) {
      sources_[id.index] = &given;
      given_[id.index] = true;
    }
    for (const Pass& pass : passes_) {
      if (pass.folded) {
        continue;
      }
      if (const Result<void> done = run_pass(pass); !done) {
        return done;
      }
    }
    hand_out(outputs);
    return {};
  }

  [[nodiscard]] std::size_t threads() const { return pool_.threads(); }

  // The right matrix of a single product, packed for the tile when bound.
  void pack_bound_right(Pass& pass) const {
    pass.packed.clear();
    pass.packed.shrink_to_fit();
    if (pass.anchor == Anchor::Conv && pass.conv_positions_as_rows) {
      if (const auto value = bound_.find(pass.op->inputs[1]); value != bound_.end()) {
        float* const packed = detail::line_aligned(pass.packed, detail::conv_packed_filters_floats(path_, pass.conv));
        pass.packed_offset = static_cast<std::size_t>(packed - pass.packed.data());
        detail::pack_conv_filters(path_, pass.conv, std::get<std::vector<float>>(value->second), packed);
      }
      return;
    }
    if (pass.anchor != Anchor::MatMul) {
      return;
    }
    const TensorId right = pass.op->inputs[1];
    const auto value = bound_.find(right);
    if (value == bound_.end() || graph_.tensors[right.index].elements() != pass.inner * pass.columns ||
        graph_.tensors[pass.op->output.index].elements() != pass.rows * pass.columns) {
      return;
    }
    const std::size_t floats = detail::packed_right_floats(path_, pass.inner, pass.columns);
    float* const packed = detail::line_aligned(pass.packed, floats);
    pass.packed_offset = static_cast<std::size_t>(packed - pass.packed.data());
    detail::pack_right_matrix(path_,
                              detail::MatrixView{.data = std::get<std::vector<float>>(value->second).data(),
                                                 .row_stride = pass.columns},
                              pass.inner, pass.columns, packed);
  }

  // The packed right matrix of `pass`, when this run uses the bound one.
  [[nodiscard]] const float* packed_right(const Pass& pass) const {
    if (pass.packed.empty() || given_[pass.op->inputs[1].index]) {
      return nullptr;
    }
    return pass.packed.data() + pass.packed_offset;
  }
  [[nodiscard]] std::size_t arena_bytes() const { return arena_floats_ * sizeof(float); }
  [[nodiscard]] std::size_t passes() const {
    return static_cast<std::size_t>(std::ranges::count(passes_, false, &Pass::folded));
  }

 private:
  // ---- Planning ------------------------------------------------------------

  void count_readers() {
    reads_.assign(graph_.tensors.size(), 0);
    kept_.assign(graph_.tensors.size(), false);
    for (const Op& op : graph_.ops) {
      for (const TensorId input : op.inputs) {
        ++reads_[input.index];
      }
    }
    for (const TensorId output : graph_.outputs) {
      kept_[output.index] = true;
    }
  }

  [[nodiscard]] bool all_f32(const Op& op) const {
    return graph_.tensors[op.output.index].dtype == DType::F32 &&
           std::ranges::all_of(op.inputs, [&](TensorId id) { return graph_.tensors[id.index].dtype == DType::F32; });
  }

  [[nodiscard]] const Shape& shape_of(TensorId id) const { return graph_.tensors[id.index].shape; }

  // The element-wise form of `op` with `running` (if any) as its running
  // value, or nothing when the kind has none.
  [[nodiscard]] std::optional<ElementStep> element_step(const Op& op, std::optional<TensorId> running) const {
    if (!all_f32(op)) {
      return std::nullopt;
    }
    const Shape& output = shape_of(op.output);
    const auto operand = [&](TensorId id) {
      if (running == id) {
        return Operand{};
      }
      return Operand{.tensor = id, .read = broadcast_read(shape_of(id), output)};
    };
    if (const UnaryFunction unary = unary_of(op.kind)) {
      return ElementStep{.op = &op, .unary = unary, .left = operand(op.inputs[0])};
    }
    if (const BinaryFunction binary = binary_of(op.kind)) {
      return ElementStep{.op = &op, .binary = binary, .left = operand(op.inputs[0]), .right = operand(op.inputs[1])};
    }
    return std::nullopt;
  }

  [[nodiscard]] Pass anchor_pass(const Op& op) const {
    Pass pass{.op = &op, .output = op.output};
    const Shape& output = shape_of(op.output);
    if (!all_f32(op) || output.empty()) {
      return pass;
    }
    if (std::holds_alternative<MatMul>(op.kind) || std::holds_alternative<BatchMatMul>(op.kind)) {
      const Shape& left = shape_of(op.inputs[0]);
      pass.anchor = Anchor::MatMul;
      pass.rows = left[left.size() - 2];
      pass.inner = left.back();
      pass.columns = output.back();
      return pass;
    }
    if (const auto* conv = std::get_if<Conv>(&op.kind)) {
      pass.anchor = Anchor::Conv;
      pass.conv = OpDefinition<Conv>::kernel_shape(*conv, shape_of(op.inputs[0]), shape_of(op.inputs[1]), op.name);
      return pass;
    }
    // The graph has been checked, so the pools' geometries exist.
    const auto pool_pass = [&]<class Kind>(const Kind& pool) {
      pass.anchor = Anchor::Pool;
      pass.pool = detail::pool_windows<Kind>(*OpDefinition<Kind>::geometry(pool, shape_of(op.inputs[0]), op.name));
      return pass;
    };
    if (const auto* pool = std::get_if<MaxPool>(&op.kind)) {
      return pool_pass(*pool);
    }
    if (const auto* pool = std::get_if<AveragePool>(&op.kind)) {
      return pool_pass(*pool);
    }
    if (const auto* norm = std::get_if<LayerNorm>(&op.kind)) {
      pass.anchor = Anchor::LayerNorm;
      pass.epsilon = norm->epsilon;
      return pass;
    }
    if (const auto* softmax = std::get_if<Softmax>(&op.kind); softmax != nullptr && softmax->axis + 1 == output.size()) {
      pass.anchor = Anchor::Softmax;
      return pass;
    }
    if (std::holds_alternative<Reshape>(op.kind)) {
      pass.anchor = Anchor::Copy;
      pass.element.left = Operand{.tensor = op.inputs[0], .read = broadcast_read(output, output)};
      return pass;
    }
    if (op.inputs.size() == 1) {
      const Shape& input = shape_of(op.inputs[0]);
      if (std::optional<StridedRead> read = view_of(
              op, StridedRead{.shape = input, .strides = detail::row_major_strides(input), .contiguous = true})) {
        pass.anchor = Anchor::Copy;
        pass.element.left = Operand{.tensor = op.inputs[0], .read = std::move(*read)};
        return pass;
      }
    }
    if (std::optional<ElementStep> step = element_step(op, std::nullopt)) {
      pass.anchor = step->unary != nullptr ? Anchor::Unary : Anchor::Binary;
      pass.element = std::move(*step);
    }
    return pass;
  }

  // Whether `op` can continue a pass whose running value is `running`, which
  // was produced by the pass whose anchor is operation `anchor`.
  [[nodiscard]] bool continues(const Op& op, TensorId running, std::uint64_t anchor) const {
    if (kept_[running.index] || reads_[running.index] != 1 || shape_of(op.output) != shape_of(running)) {
      return false;
    }
    return std::ranges::all_of(op.inputs, [&](TensorId input) {
      return input == running || !producer_[input.index].has_value() || producer_[input.index]->index < anchor;
    });
  }

  // How a slice or transpose reads `source`, which reads its input: the two
  // reads made one. Nothing for other kinds.
  [[nodiscard]] std::optional<StridedRead> view_of(const Op& op, const StridedRead& source) const {
    if (op.inputs.size() != 1) {
      return std::nullopt;
    }
    const std::optional<StridedRead> input = reshaped(source, shape_of(op.inputs[0]));
    if (!input) {
      return std::nullopt;
    }
    if (const auto* slice = std::get_if<Slice>(&op.kind)) {
      StridedRead read = *input;
      read.base += slice->start * read.strides[slice->axis];
      read.shape = shape_of(op.output);
      return settled(std::move(read));
    }
    if (const auto* transpose = std::get_if<Transpose>(&op.kind)) {
      StridedRead read{.shape = shape_of(op.output), .base = input->base};
      for (const std::uint64_t axis : transpose->permutation) {
        read.strides.push_back(input->strides[axis]);
      }
      return settled(std::move(read));
    }
    return std::nullopt;
  }

  // Whether `op` gives its float input's elements in their own order under
  // another shape: a reshape, or a transpose that moves only axes of length 1.
  [[nodiscard]] bool keeps_order(const Op& op) const {
    if (!all_f32(op)) {
      return false;
    }
    if (std::holds_alternative<Reshape>(op.kind)) {
      return true;
    }
    const auto* transpose = std::get_if<Transpose>(&op.kind);
    if (transpose == nullptr) {
      return false;
    }
    const std::vector<std::uint64_t> own = detail::row_major_strides(shape_of(op.inputs[0]));
    const std::vector<std::uint64_t> wanted = detail::row_major_strides(shape_of(op.output));
    for (std::size_t axis = 0; axis < transpose->permutation.size(); ++axis) {
      if (shape_of(op.output)[axis] != 1 && own[transpose->permutation[axis]] != wanted[axis]) {
        return false;
      }
    }
    return true;
  }

  void build_passes() {
    pass_of_.assign(graph_.ops.size(), 0);
    // The pass whose running value each tensor is, while it can still grow.
    std::vector<std::optional<std::size_t>> open(graph_.tensors.size());
    for (const Op& op : graph_.ops) {
      std::optional<std::size_t> joined;
      // The same elements under another shape continue the pass without a
      // step of their own.
      if (op.inputs.size() == 1 && open[op.inputs[0].index] && keeps_order(op) && !kept_[op.inputs[0].index] &&
          reads_[op.inputs[0].index] == 1) {
        joined = open[op.inputs[0].index];
        passes_[*joined].output = op.output;
        open[op.inputs[0].index].reset();
      }
      // A slice or transpose of a copy's result changes what the copy reads.
      if (!joined && op.inputs.size() == 1 && open[op.inputs[0].index] && all_f32(op) &&
          !kept_[op.inputs[0].index] && reads_[op.inputs[0].index] == 1) {
        const std::size_t index = *open[op.inputs[0].index];
        Pass& pass = passes_[index];
        if (pass.anchor == Anchor::Copy && pass.chain.empty()) {
          if (std::optional<StridedRead> read = view_of(op, pass.element.left.read)) {
            pass.element.left.read = std::move(*read);
            pass.output = op.output;
            open[op.inputs[0].index].reset();
            joined = index;
          }
        }
      }
      for (const TensorId input : op.inputs) {
        if (joined) {
          break;
        }
        const std::optional<std::size_t> candidate = open[input.index];
        if (!candidate || !continues(op, input, passes_[*candidate].op->id.index)) {
          continue;
        }
        std::optional<ElementStep> step = element_step(op, input);
        if (step) {
          Pass& pass = passes_[*candidate];
          pass.chain.push_back(std::move(*step));
          pass.output = op.output;
          open[input.index].reset();
          joined = candidate;
          break;
        }
      }
      if (!joined) {
        passes_.push_back(anchor_pass(op));
        joined = passes_.size() - 1;
      }
      pass_of_[op.id.index] = *joined;
      if (passes_[*joined].anchor != Anchor::Kernel) {
        open[op.output.index] = joined;
      }
    }
  }

  void fold_copies_into_products() {
    for (Pass& pass : passes_) {
      if (pass.anchor != Anchor::MatMul) {
        continue;
      }
      for (std::size_t side = 0; side < 2; ++side) {
        const TensorId operand = pass.op->inputs[side];
        const std::optional<OpId> producer = producer_[operand.index];
        if (kept_[operand.index] || reads_[operand.index] != 1 || !producer) {
          continue;
        }
        // A copy already folded into the product before it no longer reads
        // its source: that product writes the copy's result itself.
        Pass& copy = passes_[pass_of_[producer->index]];
        if (copy.anchor != Anchor::Copy || copy.folded || !copy.chain.empty() || copy.output != operand) {
          continue;
        }
        std::optional<StridedRead> view = reshaped(copy.element.left.read, shape_of(operand));
        if (view && (side == 1 || view->shape.back() == 1 || view->strides.back() == 1)) {
          pass.views[side] = Operand{.tensor = copy.element.left.tensor, .read = std::move(*view)};
          copy.folded = true;
        }
      }
      fold_transpose_after(pass);
    }
  }

  // Where each element of `product`'s output lands in the output of the
  // copy that is its one reader, when that copy is a transpose of it.
  void fold_transpose_after(Pass& product) {
    const TensorId result = product.output;
    if (!product.chain.empty() || result != product.op->output || kept_[result.index] || reads_[result.index] != 1) {
      return;
    }
    const auto reader = std::ranges::find_if(passes_, [&](const Pass& pass) {
      return pass.anchor == Anchor::Copy && !pass.folded && pass.element.left.tensor == result;
    });
    if (reader == passes_.end() || !reader->chain.empty()) {
      return;
    }
    const StridedRead& read = reader->element.left.read;
    const Shape& shape = shape_of(result);
    if (read.base != 0 || detail::elements_of(read.shape) != detail::elements_of(shape)) {
      return;
    }
    // Each output axis longer than 1 must step along one axis of the
    // product's own, of the same length, each taken once.
    const std::vector<std::uint64_t> own = detail::row_major_strides(shape);
    const std::vector<std::uint64_t> target = detail::row_major_strides(read.shape);
    StridedRead written{.shape = shape, .strides = std::vector<std::uint64_t>(shape.size(), 0)};
    std::vector<bool> taken(shape.size(), false);
    for (std::size_t axis = 0; axis < read.shape.size(); ++axis) {
      if (read.shape[axis] == 1) {
        continue;
      }
      std::size_t source = 0;
      while (source < shape.size() && (shape[source] != read.shape[axis] || own[source] != read.strides[axis])) {
        ++source;
      }
      if (source == shape.size() || taken[source]) {
        return;
      }
      taken[source] = true;
      written.strides[source] = target[axis];
    }
    if (shape.back() != 1 && written.strides.back() != 1) {
      return;
    }
    product.written = std::move(written);
    product.output = reader->output;
    reader->folded = true;
  }

  void place_tensors() {
    const std::size_t end = passes_.size();
    struct Life {
      std::size_t first = 0;
      std::size_t last = 0;
      bool placed = false;
    };
    std::vector<Life> life(graph_.tensors.size());
    for (std::size_t index = 0; index < passes_.size(); ++index) {
      if (!passes_[index].folded) {
        life[passes_[index].output.index] = Life{.first = index, .last = index, .placed = true};
      }
    }
    for (const Op& op : graph_.ops) {
      for (const TensorId input : op.inputs) {
        life[input.index].last = std::max(life[input.index].last, pass_of_[op.id.index]);
      }
    }
    // A folded copy's source is read by the product instead.
    for (std::size_t index = 0; index < passes_.size(); ++index) {
      for (const std::optional<Operand>& view : passes_[index].views) {
        if (view) {
          life[view->tensor->index].last = std::max(life[view->tensor->index].last, index);
        }
      }
    }
    for (const TensorId output : graph_.outputs) {
      life[output.index].last = end;
    }
    offset_.assign(graph_.tensors.size(), std::nullopt);
    struct Placed {
      std::size_t offset;
      std::size_t floats;
      std::size_t last;
    };
    std::vector<Placed> placed;
    std::size_t arena = 0;
    for (const Pass& pass : passes_) {
      if (pass.folded) {
        continue;
      }
      const TensorId id = pass.output;
      const std::size_t first = life[id.index].first;
      const std::size_t floats = aligned(floats_for(graph_.tensors[id.index]));
      std::vector<Placed> conflicts;
      for (const Placed& other : placed) {
        if (other.last >= first) {
          conflicts.push_back(other);
        }
      }
      std::ranges::sort(conflicts, {}, &Placed::offset);
      std::size_t offset = 0;
      for (const Placed& other : conflicts) {
        if (offset + floats <= other.offset) {
          break;
        }
        offset = std::max(offset, other.offset + other.floats);
      }
      offset_[id.index] = offset;
      placed.push_back(Placed{.offset = offset, .floats = floats, .last = life[id.index].last});
      arena = std::max(arena, offset + floats);
    }
    arena_floats_ = arena;
    arena_.assign(arena, 0.0F);
    arena_base_ = detail::line_aligned(arena_, arena);
  }

  void split_passes() {
    const std::size_t threads = pool_.threads();
    for (Pass& pass : passes_) {
      // A copy's later slices may leave fewer elements than its first view.
      const Shape& output = shape_of(pass.anchor == Anchor::Copy ? pass.output : pass.op->output);
      const std::size_t elements = output.empty() ? 1 : static_cast<std::size_t>(detail::elements_of(output));
      std::size_t work = elements;
      switch (pass.anchor) {
        case Anchor::MatMul:
          pass.units = elements / pass.columns;
          work = elements * pass.inner;
          if (const std::size_t step = detail::matmul_column_step(path_);
              threads > 1 && pass.units == pass.rows && !pass.written &&
              (pass.columns + step - 1) / step >= threads) {
            pass.column_step = step;
          }
          break;
        case Anchor::LayerNorm:
        case Anchor::Softmax:
          pass.units = elements / output.back();
          break;
        case Anchor::Unary:
        case Anchor::Binary:
        case Anchor::Copy:
          pass.units = (elements + block_elements - 1) / block_elements;
          break;
        case Anchor::Pool:
          pass.units = elements / static_cast<std::size_t>(pass.pool.positions);
          // A pool that loops over its taps keeps no list of them.
          work = pass.units * (pass.pool.by_taps ? pass.pool.positions * pass.pool.by_taps->taps()
                                                 : pass.pool.taps.size());
          break;
        case Anchor::Conv: {
          // Convs whose route is the patch product split by blocks of output
          // positions, or, when those are fewer than the threads and there
          // is one group and one batch entry, by blocks of filters (each
          // task then copies the windows itself); the others run whole.
          const std::size_t positions = pass.conv.positions();
          const std::size_t group_channels = pass.conv.channels / pass.conv.groups;
          pass.units = group_channels == 1 ? 1 : (positions + conv_unit_positions - 1) / conv_unit_positions;
          const std::size_t filter_units = (pass.conv.filters + conv_unit_filters - 1) / conv_unit_filters;
          pass.conv_positions_as_rows = detail::conv_by_positions_as_rows(path_, pass.conv);
          pass.conv_by_filters = !pass.conv_positions_as_rows && group_channels != 1 && pass.conv.groups == 1 &&
                                 pass.conv.batch == 1 && pass.units < threads && filter_units > pass.units;
          if (pass.conv_positions_as_rows) {
            const std::size_t step = detail::matmul_column_step(path_);
            pass.units = (pass.conv.filters + step - 1) / step;
          } else if (pass.conv_by_filters) {
            pass.units = filter_units;
          }
          work = elements * group_channels * pass.conv.taps();
          break;
        }
        case Anchor::Kernel:
          pass.units = 1;
          break;
      }
      pass.unit_elements = pass.units == 1 ? elements : elements / std::max<std::size_t>(pass.units, 1);
      if (pass.anchor == Anchor::Unary || pass.anchor == Anchor::Binary || pass.anchor == Anchor::Copy) {
        pass.unit_elements = block_elements;
      }
      const std::size_t parts = pass.anchor == Anchor::MatMul || pass.anchor == Anchor::Conv ? threads : threads * 4;
      pass.tasks = threads == 1 || work < split_threshold ? 1 : std::min(pass.units, parts);
      if (pass.column_step != 0 && pass.tasks > 1) {
        pass.units = (pass.columns + pass.column_step - 1) / pass.column_step;
        pass.tasks = std::min(pass.units, threads * column_tasks_per_thread);
      } else {
        pass.column_step = 0;
      }
    }
  }

  // ---- Running -------------------------------------------------------------

  [[nodiscard]] const float* read(TensorId id) const {
    if (const std::optional<std::size_t> offset = offset_[id.index]) {
      return arena_base_ + *offset;
    }
    return std::get<std::vector<float>>(*sources_[id.index]).data();
  }

  [[nodiscard]] float* write(TensorId id) { return arena_base_ + *offset_[id.index]; }

  // The operand's elements for output indices [first, last): where they lie
  // when they can be read in place, else gathered into `buffer`.
  [[nodiscard]] const float* operand(const Operand& operand, const float* running, std::size_t first,
                                     std::size_t last, float* buffer) const {
    if (!operand.tensor) {
      return running;
    }
    const float* const source = read(*operand.tensor);
    if (const float* const elements = operand.read.in_place(source, first, last)) {
      return elements;
    }
    operand.read.gather(source, first, last, buffer);
    return buffer;
  }

  // Applies an element-wise operation to output indices [first, last) of
  // `out`, which holds the running value there.
  void apply(const ElementStep& step, float* out, std::size_t first, std::size_t last) const {
    alignas(64) float left_buffer[block_elements];
    alignas(64) float right_buffer[block_elements];
    for (std::size_t begin = first; begin < last; begin += block_elements) {
      const std::size_t end = std::min(last, begin + block_elements);
      float* const target = out + begin;
      const float* const left = operand(step.left, target, begin, end, left_buffer);
      if (step.unary != nullptr) {
        if (left != target) {
          std::memcpy(target, left, (end - begin) * sizeof(float));
        }
        step.unary(step.op->kind, path_, std::span<float>(target, end - begin));
        continue;
      }
      const float* const right = operand(step.right, target, begin, end, right_buffer);
      step.binary(left, right, target, end - begin);
    }
  }

  // Unit range [first, last) of `pass`: its anchor, then its chain, on the
  // output elements those units own.
  void run_units(const Pass& pass, std::size_t first, std::size_t last) {
    float* const out = write(pass.output);
    if (pass.column_step != 0) {
      run_column_units(pass, out, first, last);
      return;
    }
    const std::size_t begin = first * pass.unit_elements;
    const std::size_t end =
        std::min(last * pass.unit_elements, static_cast<std::size_t>(graph_.tensors[pass.output.index].elements()));
    switch (pass.anchor) {
      case Anchor::MatMul:
        run_matmul(pass, out, first, last);
        break;
      case Anchor::LayerNorm:
        detail::layer_norm_with(path_, std::span<const float>(read(pass.op->inputs[0]) + begin, end - begin),
                                std::span<float>(out + begin, end - begin), last - first, pass.unit_elements,
                                pass.epsilon);
        break;
      case Anchor::Softmax:
        std::memcpy(out + begin, read(pass.op->inputs[0]) + begin, (end - begin) * sizeof(float));
        detail::softmax_rows_with(path_, std::span<float>(out + begin, end - begin), last - first,
                                  pass.unit_elements);
        break;
      case Anchor::Copy:
        for (std::size_t block = begin; block < end; block += block_elements) {
          const std::size_t block_end = std::min(end, block + block_elements);
          pass.element.left.read.gather(read(*pass.element.left.tensor), block, block_end, out + block);
        }
        break;
      case Anchor::Unary:
      case Anchor::Binary:
        apply(pass.element, out, begin, end);
        break;
      case Anchor::Pool:
        run_pool(pass, out, first, last);
        break;
      case Anchor::Conv:
      case Anchor::Kernel:
        // run_pass runs these whole or by its own split, never by units.
        return;
    }
    for (const ElementStep& step : pass.chain) {
      apply(step, out, begin, end);
    }
  }

  // Column blocks [first, last) of a single product, each output sum from
  // +0.0, then the pass's chain on the elements of those columns.
  void run_column_units(const Pass& pass, float* out, std::size_t first, std::size_t last) const {
    const std::size_t begin = first * pass.column_step;
    const std::size_t end = std::min(pass.columns, last * pass.column_step);
    const detail::MatrixView left = matrix(pass, 0, 0);
    if (const float* const packed = packed_right(pass)) {
      // Units start at multiples of the column step, so at a packed block.
      detail::matmul_accumulate_packed(path_, left, packed + begin * pass.inner, out + begin, pass.columns, pass.rows,
                                       pass.inner, end - begin, detail::SumStart::Zero);
    } else {
      detail::MatrixView right = matrix(pass, 1, 0);
      right.data += begin * right.column_stride;
      detail::matmul_accumulate(path_, left, right, out + begin, pass.columns, pass.rows, pass.inner, end - begin,
                                detail::SumStart::Zero);
    }
    for (std::size_t row = 0; row < pass.rows; ++row) {
      for (const ElementStep& step : pass.chain) {
        apply(step, out, row * pass.columns + begin, row * pass.columns + end);
      }
    }
  }

  // What a run knows of the conv's filters being finite: the scan made at
  // bind when they are the bound ones, else nothing.
  [[nodiscard]] std::optional<bool> finite_filters(const Pass& pass) const {
    const TensorId weights = pass.op->inputs[1];
    if (const auto known = finite_bound_.find(weights); known != finite_bound_.end() && !given_[weights.index]) {
      return known->second;
    }
    return std::nullopt;
  }

  [[nodiscard]] std::span<const float> span_of(TensorId id) const {
    return {read(id), static_cast<std::size_t>(graph_.tensors[id.index].elements())};
  }

  // How a conv pass runs this time: split as planned (by blocks of filters
  // as the product's columns, by blocks of filters each a conv of its own,
  // or by blocks of positions), or whole. A conv planned with its positions
  // as rows whose filters this run gives runs whole, by the patch product.
  enum class ConvRoute : std::uint8_t { PackedFilters, Filters, Positions, Whole };

  [[nodiscard]] ConvRoute conv_route(const Pass& pass, bool patches) const {
    if (!patches) {
      return ConvRoute::Whole;
    }
    if (pass.conv_positions_as_rows) {
      return packed_right(pass) != nullptr ? ConvRoute::PackedFilters : ConvRoute::Whole;
    }
    return pass.conv_by_filters ? ConvRoute::Filters : ConvRoute::Positions;
  }

  // Units [first, last) of a conv by `route` (all of it when Whole), with
  // task `task`'s workspace; then the chain on the same outputs.
  void run_conv(const Pass& pass, std::size_t first, std::size_t last, std::size_t task, ConvRoute route,
                std::optional<bool> finite) {
    const Op& op = *pass.op;
    const std::span<const float> bias = op.inputs.size() == 3 ? span_of(op.inputs[2]) : std::span<const float>{};
    float* const out = write(pass.output);
    const std::span<float> output(out, static_cast<std::size_t>(graph_.tensors[op.output.index].elements()));
    const std::size_t positions = pass.conv.positions();
    // The output planes and positions this task computes, for its chain.
    std::size_t first_plane = 0;
    std::size_t last_plane = pass.conv.batch * pass.conv.filters;
    std::size_t from = 0;
    std::size_t to = positions;
    if (route == ConvRoute::PackedFilters) {
      // Filters [first_plane, last_plane), the product's columns.
      const std::size_t step = detail::matmul_column_step(path_);
      first_plane = first * step;
      last_plane = std::min(pass.conv.filters, last * step);
      detail::conv_forward_packed_filters(path_, pass.conv, span_of(op.inputs[0]), packed_right(pass), bias, output,
                                          conv_workspaces_[task], first_plane, last_plane);
    } else if (route == ConvRoute::Filters) {
      // One group, one batch entry: filters [first_plane, last_plane) are a
      // conv of their own, their outputs the planes of the same numbers.
      first_plane = first * conv_unit_filters;
      last_plane = std::min(pass.conv.filters, last * conv_unit_filters);
      detail::ConvShape shape = pass.conv;
      shape.filters = last_plane - first_plane;
      const std::size_t inner = pass.conv.channels * pass.conv.taps();
      detail::conv_forward_positions(
          path_, shape, span_of(op.inputs[0]), span_of(op.inputs[1]).subspan(first_plane * inner, shape.filters * inner),
          bias.empty() ? bias : bias.subspan(first_plane, shape.filters),
          output.subspan(first_plane * positions, shape.filters * positions), conv_workspaces_[task], 0, positions);
    } else if (route == ConvRoute::Positions) {
      from = first * conv_unit_positions;
      to = std::min(positions, last * conv_unit_positions);
      detail::conv_forward_positions(path_, pass.conv, span_of(op.inputs[0]), span_of(op.inputs[1]), bias, output,
                                     conv_workspaces_[task], from, to);
    } else {
      detail::conv_forward(path_, pass.conv, span_of(op.inputs[0]), span_of(op.inputs[1]), bias, output,
                           conv_workspaces_[task], finite);
    }
    for (std::size_t plane = first_plane; plane < last_plane; ++plane) {
      for (const ElementStep& step : pass.chain) {
        apply(step, out, plane * positions + from, plane * positions + to);
      }
    }
  }

  // Planes [first, last) of a max or average pool, read in place.
  void run_pool(const Pass& pass, float* out, std::size_t first, std::size_t last) const {
    const float* const x = read(pass.op->inputs[0]);
    if (const auto* pool = std::get_if<MaxPool>(&pass.op->kind)) {
      pool_planes_widest(*pool, pass.pool, x, out, first, last);
    } else {
      pool_planes_widest(std::get<AveragePool>(pass.op->kind), pass.pool, x, out, first, last);
    }
  }

  // Rows [first, last) of the stacked products, each output sum from +0.0.
  void run_matmul(const Pass& pass, float* out, std::size_t first, std::size_t last) const {
    // Rows [from, to) of the left matrix of `batch`.
    const auto left_rows = [&](std::size_t batch, std::size_t from) {
      detail::MatrixView left = matrix(pass, 0, batch);
      left.data += (from - batch * pass.rows) * left.row_stride;
      return left;
    };
    // Where row `row` of `batch` goes, and the distance between rows.
    const auto output_row = [&](std::size_t batch, std::size_t row) -> std::pair<float*, std::size_t> {
      if (!pass.written) {
        return {out + row * pass.columns, pass.columns};
      }
      const StridedRead& written = *pass.written;
      const std::size_t row_stride = written.strides[written.shape.size() - 2];
      return {out + written.matrix_offset(batch) + (row - batch * pass.rows) * row_stride, row_stride};
    };
    if (const float* const packed = packed_right(pass)) {
      // A bound right matrix is a single one, so every row is of batch 0.
      const auto [target, stride] = output_row(0, first);
      detail::matmul_accumulate_packed(path_, left_rows(0, first), packed, target, stride, last - first, pass.inner,
                                       pass.columns, detail::SumStart::Zero);
      return;
    }
    for (std::size_t row = first; row < last;) {
      const std::size_t batch = row / pass.rows;
      const std::size_t batch_end = std::min(last, (batch + 1) * pass.rows);
      const auto [target, stride] = output_row(batch, row);
      detail::matmul_accumulate(path_, left_rows(batch, row), matrix(pass, 1, batch), target, stride, batch_end - row,
                                pass.inner, pass.columns, detail::SumStart::Zero);
      row = batch_end;
    }
  }

  // The left (side 0) or right (side 1) matrix of product `batch` (in
  // row-major order of the batch axes): in the operand, or where the folded
  // copy would have read it.
  [[nodiscard]] detail::MatrixView matrix(const Pass& pass, std::size_t side, std::size_t batch) const {
    const std::optional<Operand>& folded = pass.views[side];
    if (!folded) {
      const std::size_t rows = side == 0 ? pass.rows : pass.inner;
      const std::size_t columns = side == 0 ? pass.inner : pass.columns;
      return detail::MatrixView{.data = read(pass.op->inputs[side]) + batch * rows * columns, .row_stride = columns};
    }
    const StridedRead& view = folded->read;
    const std::size_t axes = view.shape.size();
    return detail::MatrixView{.data = read(*folded->tensor) + view.base + view.matrix_offset(batch),
                              .row_stride = view.strides[axes - 2],
                              .column_stride = view.strides[axes - 1]};
  }

  Result<void> run_pass(const Pass& pass) {
    if (pass.anchor == Anchor::Kernel) {
      return run_kernel(*pass.op);
    }
    if (pass.anchor == Anchor::Conv) {
      std::optional<bool> finite = finite_filters(pass);
      const bool patches = detail::conv_by_patches(pass.conv, span_of(pass.op->inputs[1]), finite);
      if (!patches && pass.conv.channels / pass.conv.groups != 1) {
        // Refused with several channels per filter: windows overhang and a
        // weight is not finite. The kernel need not scan the filters again.
        finite = false;
      }
      const ConvRoute route = conv_route(pass, patches);
      const std::size_t tasks = route == ConvRoute::Whole ? 1 : pass.tasks;
      auto conv_task = [&](std::size_t index) {
        run_conv(pass, pass.units * index / tasks, pass.units * (index + 1) / tasks, index, route, finite);
      };
      pool_.for_each(tasks, conv_task);
      return {};
    }
    auto task = [&](std::size_t index) {
      run_units(pass, pass.units * index / pass.tasks, pass.units * (index + 1) / pass.tasks);
    };
    pool_.for_each(pass.tasks, task);
    return {};
  }

  // An operation without a planned kernel, by its one-shot kernel.
  Result<void> run_kernel(const Op& op);

  void hand_out(TensorValues& outputs) const {
    std::erase_if(outputs, [&](const auto& entry) { return std::ranges::find(outputs_, entry.first) == outputs_.end(); });
    for (const TensorId id : outputs_) {
      TensorData& target = outputs[id];
      if (!offset_[id.index]) {
        target = *sources_[id.index];
        continue;
      }
      const Tensor& tensor = graph_.tensors[id.index];
      const float* const source = arena_base_ + *offset_[id.index];
      copy_out(tensor, source, target);
    }
  }

  Graph graph_;
  std::vector<std::optional<OpId>> producer_;
  KernelPath path_;
  std::vector<std::size_t> reads_;
  std::vector<bool> kept_;
  std::vector<Pass> passes_;
  std::vector<std::size_t> pass_of_;
  std::vector<std::optional<std::size_t>> offset_;
  std::vector<TensorId> outputs_;
  std::vector<float> arena_;
  // The arena's first float, on a cache line (every offset is a multiple of
  // one), and how many it holds from there.
  float* arena_base_ = nullptr;
  std::size_t arena_floats_ = 0;
  // Values kept for every run, which a run's own values override.
  TensorValues bound_;
  // Whether each bound filter bank of a conv is free of infinities and NaN.
  std::map<TensorId, bool> finite_bound_;
  // Per run: the caller's value of each source tensor, and whether the run
  // gave it rather than bind.
  std::vector<const TensorData*> sources_;
  std::vector<bool> given_;
  // Copies of arena tensors that one-shot kernels read, kept between runs.
  std::vector<TensorData> scratch_;
  // The conv kernel's patch matrices, one per task, kept between runs.
  std::vector<std::vector<float>> conv_workspaces_;
  std::mutex run_mutex_;
  detail::WorkerPool pool_;
};

namespace {

// An operation's inputs as a one-shot kernel reads them: the caller's values,
// or copies of arena tensors in lists of their element type.
class KernelOperands final : public detail::KernelInputs {
 public:
  KernelOperands(const Graph& graph, const Op& op, std::span<const TensorData* const> data, KernelPath path)
      : graph_(graph), op_(op), data_(data), path_(path) {}

  [[nodiscard]] std::size_t size() const override { return op_.inputs.size(); }
  [[nodiscard]] const TensorData& data(std::size_t position) const override { return *data_[position]; }
  [[nodiscard]] std::string_view name() const override { return op_.name; }
  [[nodiscard]] const Shape& shape(std::size_t position) const override {
    return graph_.tensors[op_.inputs[position].index].shape;
  }
  [[nodiscard]] const Shape& output_shape() const override { return graph_.tensors[op_.output.index].shape; }
  [[nodiscard]] KernelPath path() const override { return path_; }
  [[nodiscard]] TensorData take_data(std::size_t position) override { return *data_[position]; }

 private:
  const Graph& graph_;
  const Op& op_;
  std::span<const TensorData* const> data_;
  KernelPath path_;
};

}  // namespace

Result<void> PreparedEvaluation::Impl::run_kernel(const Op& op) {
  // Operations take at most a handful of inputs; variadic ones more, rarely.
  std::vector<const TensorData*> data;
  data.reserve(op.inputs.size());
  for (const TensorId input : op.inputs) {
    const std::optional<std::size_t> offset = offset_[input.index];
    if (!offset) {
      data.push_back(sources_[input.index]);
      continue;
    }
    const Tensor& tensor = graph_.tensors[input.index];
    TensorData& copy = scratch_[input.index];
    const float* const source = arena_base_ + *offset;
    copy_out(tensor, source, copy);
    data.push_back(&copy);
  }
  KernelOperands operands(graph_, op, data, path_);
  Result<TensorData> output = detail::evaluate_kind(op.kind, operands);
  if (!output) {
    return std::unexpected(std::move(output.error()));
  }
  float* const target = write(op.output);
  std::visit([&](const auto& values) { std::memcpy(target, values.data(), values.size() * sizeof(values[0])); },
             *output);
  return {};
}

std::size_t default_thread_count() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, max_thread_count);
}

Result<PreparedEvaluation> PreparedEvaluation::make(const Graph& graph, std::size_t threads) {
  if (threads < 1 || threads > max_thread_count) {
    return std::unexpected(CompileError::graph(
        fmt::format("prepared evaluation: thread count {} is not between 1 and {}", threads, max_thread_count)));
  }
  if (const Result<void> valid = graph.validate(); !valid) {
    return std::unexpected(valid.error());
  }
  if (const Result<void> valid = detail::check_ops(graph, detail::producers(graph)); !valid) {
    return std::unexpected(valid.error());
  }
  auto impl = std::make_unique<Impl>(graph, threads);
  impl->plan();
  return PreparedEvaluation(std::move(impl));
}

PreparedEvaluation::PreparedEvaluation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PreparedEvaluation::PreparedEvaluation(PreparedEvaluation&&) noexcept = default;
PreparedEvaluation& PreparedEvaluation::operator=(PreparedEvaluation&&) noexcept = default;
PreparedEvaluation::~PreparedEvaluation() = default;

Result<TensorValues> PreparedEvaluation::run(const TensorValues& values) {
  TensorValues outputs;
  if (Result<void> done = impl_->run(values, outputs); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return outputs;
}

Result<void> PreparedEvaluation::bind(TensorValues values) { return impl_->bind(std::move(values)); }

Result<void> PreparedEvaluation::run(const TensorValues& values, TensorValues& outputs) {
  return impl_->run(values, outputs);
}

std::size_t PreparedEvaluation::threads() const { return impl_->threads(); }
std::size_t PreparedEvaluation::arena_bytes() const { return impl_->arena_bytes(); }
std::size_t PreparedEvaluation::passes() const { return impl_->passes(); }

}  // namespace orvo_compiler
