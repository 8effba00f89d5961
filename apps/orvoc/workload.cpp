// The workload the tool compiles: the encoder layer, or a stack of them.
#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

Result<Graph> workload_graph(const Workload& workload) {
  if (workload.layers == 1) {
    return encoder_graph(workload.config);
  }
  return encoder_stack_graph(workload.config, workload.layers);
}

}  // namespace orvo_compiler::orvoc
