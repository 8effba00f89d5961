// Schedules as JSON: the whole schedule with the graph, the options, every
// record and the statistics, and the trace-event form for timeline viewers.
// Lives in its own library so that the compiler itself needs no JSON library.
#pragma once

#include <nlohmann/json.hpp>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"
#include "orvo_compiler/views.hpp"

namespace orvo_compiler {

// The whole schedule with its graph, options and statistics. Holds no timing,
// so equal inputs give byte-identical documents.
[[nodiscard]] nlohmann::ordered_json schedule_json(const Workload& workload, const CompilerOptions& options,
                                                   const Graph& graph, const Schedule& schedule);


// The schedule as a trace-event JSON document: one track per tile, one slice
// per phase in which the tile sends, receives or computes, named after the
// operation or "exchange" with the tensors and bytes as arguments. There is no
// cost model, so each phase lasts one microsecond. One event per line; equal
// inputs give identical text.
[[nodiscard]] std::string trace_json(const Graph& graph, const Schedule& schedule);

}  // namespace orvo_compiler
