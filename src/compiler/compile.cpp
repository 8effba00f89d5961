// The compile pipeline: validates a graph, its operation order and its
// options, lays out every tensor, emits the exchange and compute phases of
// every operation, plans each tile's SRAM and measures the per-tile peaks.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"

namespace orvo_compiler {
namespace {

// Emits one event through the "orvo_compiler" logger when an application has
// registered it with the level enabled; otherwise nothing is formatted.
template <class... Args>
void log_event(spdlog::level::level_enum level, fmt::format_string<Args...> format, Args&&... args) {
  const std::shared_ptr<spdlog::logger> logger = spdlog::get("orvo_compiler");
  if (logger && logger->should_log(level)) {
    logger->log(level, format, std::forward<Args>(args)...);
  }
}

// Phases follow the operation list, so every operation must come after the
// operations whose outputs it reads. Fails with "invalid op {}" at the first
// operation, in list order, that reads its own output or that of a later
// operation (a cycle included); a tensor no operation writes is a source,
// whatever producer it claims. Validation has made every id an index. One
// pass over the outputs, one over the inputs.
Result<void> check_operation_order(const Graph& graph) {
  constexpr std::size_t source = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> writer(graph.tensors.size(), source);
  for (const Op& op : graph.ops) {
    writer[op.output.index] = op.id.index;
  }
  for (const Op& op : graph.ops) {
    for (const TensorId input : op.inputs) {
      if (writer[input.index] != source && writer[input.index] >= op.id.index) {
        return std::unexpected(CompileError::graph(fmt::format("invalid op {}", op.name)));
      }
    }
  }
  return {};
}

bool options_are_valid(const CompilerOptions& options) {
  return options.tile_count >= 1 && options.data_base < options.data_limit;
}

std::vector<Layout> choose_layouts(const Graph& graph, std::uint16_t tile_count) {
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    layouts.push_back(choose_layout(tensor, tile_count));
  }
  return layouts;
}

// The byte count a transfer of `tensor` carries. A transfer only arises for
// an input on fewer tiles than the tile count, whose share is at most 1 KiB,
// so this is the whole share; it saturates rather than wrapping so that a
// share past 32 bits can never pose as an empty transfer and the planner gets
// to refuse it.
std::uint32_t transfer_bytes(const Tensor& tensor, const Layout& layout) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(local_bytes(tensor, layout), std::numeric_limits<std::uint32_t>::max()));
}

// The transfers that bring every input of `op` onto the tiles of its output:
// for each input on other tiles or with another sharding, output position p
// receives from input position p modulo the input's tile count.
std::vector<Transfer> input_transfers(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Layout& output_layout = layouts[op.output.index];
  std::vector<Transfer> transfers;
  for (const TensorId input : op.inputs) {
    const Layout& input_layout = layouts[input.index];
    if (input_layout.tiles == output_layout.tiles && input_layout.sharding == output_layout.sharding) {
      continue;
    }
    const std::uint32_t bytes = transfer_bytes(graph.tensors[input.index], input_layout);
    for (std::size_t position = 0; position < output_layout.tiles.size(); ++position) {
      const std::uint16_t destination = output_layout.tiles[position];
      const std::uint16_t source = input_layout.tiles[position % input_layout.tiles.size()];
      if (source != destination) {
        transfers.push_back(Transfer{source, destination, input, bytes});
      }
    }
  }
  return transfers;
}

// One kernel command per tile of the output layout; the last tile is the tail.
Compute compute_phase(const Graph& graph, const std::vector<Layout>& layouts, const Op& op) {
  const Tensor& output = graph.tensors[op.output.index];
  const Layout& output_layout = layouts[op.output.index];
  const std::string name(operation_name(op.kind));
  const std::uint8_t workers = worker_count(output);
  Compute compute{op.id, {}};
  compute.commands.reserve(output_layout.tiles.size());
  for (const std::uint16_t tile : output_layout.tiles) {
    const bool tail = tile == output_layout.tiles.back();
    compute.commands.emplace_back(
        tile, op.output, op.inputs,
        SpecializationKey{name, output.shape, workers, tail ? "tail" : "body", output_layout.alignment});
  }
  return compute;
}

// Per operation in graph order: an exchange phase when some input must move
// (checked as one epoch first), then its compute phase.
Result<std::vector<Phase>> build_phases(const Graph& graph, const std::vector<Layout>& layouts) {
  std::vector<Phase> phases;
  phases.reserve(graph.ops.size());
  for (const Op& op : graph.ops) {
    std::vector<Transfer> transfers = input_transfers(graph, layouts, op);
    if (!transfers.empty()) {
      if (const Result<void> checked = validate_transfers(transfers); !checked) {
        return std::unexpected(checked.error());
      }
      phases.emplace_back(Exchange{std::move(transfers)});
    }
    phases.emplace_back(compute_phase(graph, layouts, op));
  }
  return phases;
}

// Highest end address of each tile's allocations, measured from data_base.
// Gathered in a table indexed by tile, then handed to the map in ascending
// tile order, so each entry is appended at the end.
std::map<std::uint16_t, std::uint32_t> peak_sram(const std::vector<Allocation>& allocations,
                                                 const CompilerOptions& options) {
  std::vector<std::uint32_t> highest(options.tile_count, 0);
  std::vector<bool> holds(options.tile_count, false);
  for (const Allocation& allocation : allocations) {
    if (allocation.tile >= highest.size()) {
      highest.resize(allocation.tile + std::size_t{1}, 0);
      holds.resize(allocation.tile + std::size_t{1}, false);
    }
    const std::uint32_t end = allocation.address + allocation.size - options.data_base;
    highest[allocation.tile] = std::max(highest[allocation.tile], end);
    holds[allocation.tile] = true;
  }
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t tile = 0; tile < highest.size(); ++tile) {
    if (holds[tile]) {
      peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile), highest[tile]);
    }
  }
  return peaks;
}

}  // namespace

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  log_event(spdlog::level::info, "compiling graph operations={} tensors={} tiles={}", graph.ops.size(),
            graph.tensors.size(), options.tile_count);

  if (const Result<void> valid = graph.validate(); !valid) {
    return std::unexpected(valid.error());
  }
  if (const Result<void> ordered = check_operation_order(graph); !ordered) {
    return std::unexpected(ordered.error());
  }
  if (!options_are_valid(options)) {
    return std::unexpected(CompileError::graph("invalid compiler options"));
  }

  std::vector<Layout> layouts = choose_layouts(graph, options.tile_count);

  Result<std::vector<Phase>> phases = build_phases(graph, layouts);
  if (!phases) {
    return std::unexpected(phases.error());
  }

  Result<std::vector<Allocation>> allocations = plan_memory(graph, layouts, *phases, options);
  if (!allocations) {
    return std::unexpected(allocations.error());
  }

  std::map<std::uint16_t, std::uint32_t> peaks = peak_sram(*allocations, options);
  Schedule schedule{std::move(layouts), std::move(*phases), std::move(*allocations), options.tile_count,
                    std::move(peaks)};

  std::uint32_t peak_bytes = 0;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peak_bytes = std::max(peak_bytes, bytes);
  }
  log_event(spdlog::level::debug, "planned tile SRAM peak_bytes={}", peak_bytes);
  log_event(spdlog::level::info, "graph compilation completed phases={} allocations={} peak_bytes={}",
            schedule.phases.size(), schedule.allocations.size(), peak_bytes);
  return schedule;
}

}  // namespace orvo_compiler
