// The summary orvoc prints after a successful compile.
#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {

std::string summary_text(const Workload& workload, const CompilerOptions& options, const Schedule& schedule,
                         const ScheduleStatistics& statistics, double compile_seconds) {
  return schedule_summary(workload, options, schedule, statistics) +
         fmt::format("compile time: {:.3f} ms\n", compile_seconds * 1000.0);
}

}  // namespace orvo_compiler::orvoc
