// An evaluation planned once and run many times: the operation order, the
// buffers of intermediate values (one arena, reused by every run), the fused
// element-wise passes and the split of work over a pool of threads the object
// owns. Every run gives exactly the bits `evaluate` gives, for any thread count.
#pragma once

#include <cstddef>
#include <memory>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

// The largest thread count `PreparedEvaluation::make` accepts.
inline constexpr std::size_t max_thread_count = 256;

// The number of threads a prepared evaluation uses unless told otherwise:
// the processor's hardware threads, at least 1 and at most max_thread_count.
[[nodiscard]] std::size_t default_thread_count();

// A graph's evaluation, planned: `run` computes what `evaluate(graph, values)`
// computes, bit for bit, without re-checking the graph and, once its arena is
// in place, without allocating (when the caller also passes the output
// storage back). Operation kinds without a planned kernel run through their
// one-shot kernel and allocate their results; the matrix products, conv, the
// element-wise kinds of float inputs, layer_norm, last-axis softmax, reshape,
// transpose and slice do not.
//
// The object owns its threads (none beyond the caller's when made with one)
// and stops them when destroyed. Runs of one object are serialised; separate
// objects run independently.
class PreparedEvaluation {
 public:
  // Plans the evaluation of a copy of `graph` on `threads` threads (the
  // caller's included). Fails with the error `evaluate` gives for the graph
  // (`Graph::validate`'s, "invalid op {name}", a builder's shape or type
  // rule), or "prepared evaluation: thread count {n} is not between 1 and 256".
  // A moved-from object may only be assigned to or destroyed.
  [[nodiscard]] static Result<PreparedEvaluation> make(const Graph& graph,
                                                       std::size_t threads = default_thread_count());

  PreparedEvaluation(PreparedEvaluation&&) noexcept;
  PreparedEvaluation& operator=(PreparedEvaluation&&) noexcept;
  PreparedEvaluation(const PreparedEvaluation&) = delete;
  PreparedEvaluation& operator=(const PreparedEvaluation&) = delete;
  ~PreparedEvaluation();

  // Keeps `values` (typically the weights) for every later run, in place of
  // any kept before; a run's own values override them, and need then name
  // only the rest. Each value is checked as a run checks it (same texts), but
  // none is required. The right matrix of each single matrix product among
  // them is also kept packed as the product reads it (a second copy of that
  // weight), and conv filters are scanned once for infinities and NaN.
  [[nodiscard]] Result<void> bind(TensorValues values);
  // The graph's outputs for these values of its inputs and weights, as
  // `evaluate` returns them; fails where `evaluate` fails on the values, with
  // the same texts.
  [[nodiscard]] Result<TensorValues> run(const TensorValues& values);

  // The same outputs written into `outputs`, which afterwards holds exactly
  // the graph's output ids: an entry already there of the right element type
  // keeps its storage, so passing the previous run's outputs back allocates
  // nothing. On failure `outputs` is left as it was.
  [[nodiscard]] Result<void> run(const TensorValues& values, TensorValues& outputs);

  // The number of threads runs use, the caller's included.
  [[nodiscard]] std::size_t threads() const;

  // The bytes of the arena that holds every intermediate value.
  [[nodiscard]] std::size_t arena_bytes() const;

  // The number of passes a run makes: an operation, or a chain of fused ones.
  [[nodiscard]] std::size_t passes() const;

 private:
  class Impl;
  explicit PreparedEvaluation(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo_compiler
