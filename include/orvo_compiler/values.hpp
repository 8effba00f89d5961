// Tensor values held apart from the graph, by tensor id: the weights an
// importer reads from a model, and the values an evaluator takes and returns.
#pragma once

#include <map>
#include <vector>

#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {

// Each tensor's elements in row-major order, as many as its shape holds.
using TensorValues = std::map<TensorId, std::vector<float>>;

}  // namespace orvo_compiler
