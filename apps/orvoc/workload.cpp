// The workload the tool compiles: the encoder layer, or a stack of them.
#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

std::optional<Result<Graph>> workload_graph(const Workload& workload) {
  if (workload.layers == 1) {
    return encoder_graph(workload.config);
  }
  // Several layers need the stacked encoder graph; once it exists this line
  // becomes: return encoder_stack_graph(workload.config, workload.layers);
  return std::nullopt;
}

}  // namespace orvo_compiler::orvoc
