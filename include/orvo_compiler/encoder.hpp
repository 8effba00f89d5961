// The standard workload: one transformer encoder layer (or a stack of them),
// as a graph for the compiler and as a bit-reproducible single-precision host
// reference.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

struct EncoderConfig {
  std::uint64_t sequence = 32;
  std::uint64_t hidden = 64;
  std::uint64_t heads = 4;
  std::uint64_t feed_forward = 256;

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

// The layer's six weight matrices, row-major.
struct EncoderWeights {
  std::vector<float> wq, wk, wv, wo, w1, w2;

  // Fills every matrix from a closed formula of the element's position; the
  // same configuration always gives bit-identical weights. Stops the process
  // when a matrix's element count does not fit in 64 bits.
  [[nodiscard]] static EncoderWeights deterministic(EncoderConfig config);
  // The same weights, or the Graph error "encoder weights: rows x columns
  // overflows" where `deterministic` would stop the process.
  [[nodiscard]] static Result<EncoderWeights> try_deterministic(EncoderConfig config);

  friend bool operator==(const EncoderWeights&, const EncoderWeights&) = default;
};

// The layer's graph: 7 source tensors, 15 operations, one output. Fails with
// "invalid encoder dimensions" for a zero hidden, sequence or heads, or a
// hidden width that heads does not divide.
[[nodiscard]] Result<Graph> encoder_graph(EncoderConfig config);

// `layers` encoder layers in sequence: "input", then per layer its six weights
// and the outputs of its fifteen operations. Layer 0 is named as in
// `encoder_graph`, layer i > 0 with the prefix "l<i>."; layer i + 1 reads
// layer i's "ffn_residual" where a single layer reads "input", and only the
// last "ffn_residual" is an output. Fails with "invalid encoder dimensions"
// for 0 layers and for the dimensions `encoder_graph` refuses.
[[nodiscard]] Result<Graph> encoder_stack_graph(EncoderConfig config, std::uint64_t layers);

// Evaluates the layer on the host. Fails, checking in this order, with
// "encoder input size mismatch" for an input that is not sequence x hidden
// long, "invalid encoder dimensions" for zero heads, "encoder weights size
// mismatch" for weight lists shorter than the configuration needs, and, for a
// layer with elements, "encoder dimensions too large" when a list it would
// build on the way (a head's sequence x sequence scores, when heads do not
// outnumber hidden columns, or the sequence x feed_forward activations) holds
// more elements than a std::vector<float> can. Short of memory running out,
// it never stops the process.
[[nodiscard]] Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                                           const EncoderWeights& weights);

// Scratch memory for encoder_reference, owned by a caller that evaluates
// layers in a loop. The call with a workspace keeps its temporaries in
// `scratch`, which grows to the largest layer met and is never shrunk, so that
// a steady loop of calls allocates nothing and touches no fresh memory. It
// carries no values from one call to the next; one workspace must not serve
// two calls at once.
struct EncoderWorkspace {
  std::vector<float> scratch;
};

// encoder_reference writing the layer into `output` (sequence x hidden values,
// which may be `input` itself but must not otherwise overlap it), with its
// temporaries in `workspace`; the result is bit for bit the returned list of
// the call without a workspace. Fails as that call does, checking after the
// input's size the output's: "encoder output size mismatch"; once all those
// checks pass, an output that overlaps the input without being it, the
// weights or the workspace's list fails with "encoder output overlaps input",
// "... weights" or "... workspace", and an input inside the workspace's list
// with "encoder input overlaps workspace". On failure `output` is left as it
// was.
[[nodiscard]] Result<void> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             const EncoderWeights& weights, EncoderWorkspace& workspace,
                                             std::span<float> output);

}  // namespace orvo_compiler
