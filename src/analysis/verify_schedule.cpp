// An independent check of a compiled schedule against the graph and target it
// claims to implement. It shares no code with the passes that build schedules:
// it recomputes every share, size and peak with its own arithmetic, so a fault
// in a pass shows up here instead of being repeated.
//
// The checks, in the order they run; the first broken one is reported as a
// Graph error whose message starts with "schedule: ".
//   1. Target and graph: the options are valid (tile_count >= 1, data_base <
//      data_limit), the schedule is for options.tile_count tiles, and the
//      graph passes its own validation (whose error is passed on unchanged).
//   2. Layouts: one per tensor, layout i for tensor i; each with at least one
//      tile, every tile below tile_count and named once, alignment non-zero.
//   3. Compute phases, in phase order: the op exists and is computed once,
//      after every op producing one of its inputs; one command per tile of its
//      output's layout, each writing the op's output and reading exactly the
//      op's inputs, with role "body" except for the one "tail" command on the
//      layout's last tile. Every op is computed.
//   4. Exchange phases, in phase order, transfer by transfer: tensor and tiles
//      in range, no self-send, no empty transfer, at most one send to each
//      (destination tile, tensor) pair per exchange, the byte count equal to
//      the tensor's per-tile share, and a computed tensor sent only after the
//      phase that computes it.
//   5. Allocations, in list order: tensor in range, tile in the tensor's
//      layout, one allocation per (tensor, tile), bytes inside [data_base,
//      data_limit), address data_base or a multiple of the layout alignment,
//      size the per-tile share rounded up to the alignment, live_from <=
//      live_until, and live_until before the phase count (at it for a graph
//      output, which stays live past the last phase). Then every (tensor,
//      layout tile) has an allocation.
//   6. Tile by tile, no two allocations live at a common phase share a byte.
//      Allocations are swept in order of live_from against the address-ordered
//      ranges still live, so only the neighbours of each newcomer are compared.
//   7. Every allocation is live at each phase that uses it on its tile: the
//      compute phase whose command there writes it or reads it, the exchange
//      in which that tile sends it (a sender must hold the tensor); a graph
//      output is live at the end, the phase count. A piece a tile receives
//      has no allocation of its own and is not checked.
//   8. peak_sram has an entry exactly for each tile holding an allocation:
//      the highest allocation end on that tile, measured from data_base.
//   9. Every tile's command stream closes with the end command (the kind
//      word holds CommandKind::End) and holds no other.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/commands.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

template <class... Args>
std::unexpected<CompileError> broken(fmt::format_string<Args...> format, Args&&... args) {
  return std::unexpected(
      CompileError::graph("schedule: " + fmt::format(format, std::forward<Args>(args)...)));
}

// `value` rounded up to a multiple of `multiple` (non-zero), saturating at
// 2^64 - 1 where the multiple does not fit.
std::uint64_t round_up(std::uint64_t value, std::uint64_t multiple) {
  const std::uint64_t remainder = value % multiple;
  if (remainder == 0) {
    return value;
  }
  const std::uint64_t step = multiple - remainder;
  return value > none - step ? none : value + step;
}

// What the checks look up repeatedly, built once the graph and layouts are
// known to be sound.
struct Facts {
  const Graph& graph;
  const Schedule& schedule;
  const CompilerOptions& options;
  std::uint64_t phase_count = 0;
  // Per tensor: its byte share on each tile of its layout (ceil of bytes over
  // tiles), the op computing it (none for sources), and whether it is a
  // graph output.
  std::vector<std::uint64_t> share;
  std::vector<std::uint64_t> producer;
  std::vector<bool> is_output;
  // Per op: the phase computing it, none until seen.
  std::vector<std::uint64_t> computed_at;
  // One slot per (tensor, layout tile): tensor t owns slots first_slot[t] to
  // first_slot[t + 1] - 1, their tiles ascending in slot_tile.
  std::vector<std::uint64_t> first_slot;
  std::vector<std::uint16_t> slot_tile;
  std::vector<std::uint64_t> slot_allocation;  // index into allocations, or none

  // The slot of `tile` in the layout of `tensor`, or none.
  [[nodiscard]] std::uint64_t slot(std::uint64_t tensor, std::uint16_t tile) const {
    const auto begin = slot_tile.begin() + static_cast<std::ptrdiff_t>(first_slot[tensor]);
    const auto end = slot_tile.begin() + static_cast<std::ptrdiff_t>(first_slot[tensor + 1]);
    const auto found = std::lower_bound(begin, end, tile);
    if (found == end || *found != tile) {
      return none;
    }
    return static_cast<std::uint64_t>(found - slot_tile.begin());
  }

  // The allocation of `tensor` on `tile`, or null when it has none.
  [[nodiscard]] const Allocation* allocation(std::uint64_t tensor, std::uint16_t tile) const {
    const std::uint64_t found = slot(tensor, tile);
    if (found == none || slot_allocation[found] == none) {
      return nullptr;
    }
    return &schedule.allocations[slot_allocation[found]];
  }
};

Result<void> check_target(const Graph& graph, const Schedule& schedule, const CompilerOptions& options) {
  if (options.tile_count < 1) {
    return broken("tile count 0 in the options");
  }
  if (options.data_base >= options.data_limit) {
    return broken("data window {}..{} is empty", options.data_base, options.data_limit);
  }
  if (schedule.tile_count != options.tile_count) {
    return broken("tile count {} differs from the options' {}", schedule.tile_count, options.tile_count);
  }
  if (const Result<void> valid = graph.validate(); !valid) {
    return std::unexpected(valid.error());
  }
  return {};
}

Result<void> check_layouts(const Graph& graph, const Schedule& schedule) {
  const std::size_t tensor_count = graph.tensors.size();
  std::vector<bool> has_layout(tensor_count, false);
  for (std::size_t index = 0; index < schedule.layouts.size(); ++index) {
    const std::uint64_t tensor = schedule.layouts[index].tensor.index;
    if (tensor >= tensor_count) {
      return broken("layout {} names tensor {}, out of range", index, tensor);
    }
    if (has_layout[tensor]) {
      return broken("tensor {} has more than one layout", tensor);
    }
    has_layout[tensor] = true;
  }
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    if (!has_layout[tensor]) {
      return broken("tensor {} has no layout", tensor);
    }
  }
  // Now every tensor has exactly one layout; position must match the id.
  std::vector<std::uint64_t> seen(schedule.tile_count, none);
  for (std::size_t index = 0; index < tensor_count; ++index) {
    const Layout& layout = schedule.layouts[index];
    const std::uint64_t tensor = layout.tensor.index;
    if (tensor != index) {
      return broken("layout {} is for tensor {}, not tensor {}", index, tensor, index);
    }
    if (layout.tiles.empty()) {
      return broken("layout of tensor {} has no tiles", tensor);
    }
    for (const std::uint16_t tile : layout.tiles) {
      if (tile >= schedule.tile_count) {
        return broken("layout of tensor {} names tile {} past tile count {}", tensor, tile, schedule.tile_count);
      }
      if (seen[tile] == tensor) {
        return broken("layout of tensor {} names tile {} twice", tensor, tile);
      }
      seen[tile] = tensor;
    }
    if (layout.alignment == 0) {
      return broken("layout of tensor {} has alignment 0", tensor);
    }
  }
  return {};
}

Facts gather_facts(const Graph& graph, const Schedule& schedule, const CompilerOptions& options) {
  Facts facts{graph, schedule, options};
  const std::size_t tensor_count = graph.tensors.size();
  facts.phase_count = schedule.phases.size();
  facts.share.resize(tensor_count);
  facts.producer.assign(tensor_count, none);
  facts.is_output.assign(tensor_count, false);
  facts.computed_at.assign(graph.ops.size(), none);
  facts.first_slot.resize(tensor_count + 1);
  std::uint64_t slots = 0;
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    const std::vector<std::uint16_t>& tiles = schedule.layouts[tensor].tiles;
    // Validation keeps elements x 4 within 64 bits.
    const std::uint64_t bytes = graph.tensors[tensor].elements() * size(graph.tensors[tensor].dtype);
    facts.share[tensor] = bytes / tiles.size() + (bytes % tiles.size() == 0 ? 0 : 1);
    facts.first_slot[tensor] = slots;
    slots += tiles.size();
  }
  facts.first_slot[tensor_count] = slots;
  facts.slot_tile.reserve(slots);
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    const std::vector<std::uint16_t>& tiles = schedule.layouts[tensor].tiles;
    const auto begin = facts.slot_tile.insert(facts.slot_tile.end(), tiles.begin(), tiles.end());
    if (!std::is_sorted(begin, facts.slot_tile.end())) {
      std::sort(begin, facts.slot_tile.end());
    }
  }
  facts.slot_allocation.assign(slots, none);
  for (const Op& op : graph.ops) {
    facts.producer[op.output.index] = op.id.index;
  }
  for (const TensorId output : graph.outputs) {
    facts.is_output[output.index] = true;
  }
  return facts;
}

// The op of a compute phase exists, is computed only here, and comes after
// every op producing one of its inputs; records the phase as its computation.
Result<void> record_computation(Facts& facts, std::uint64_t phase, OpId computed) {
  const std::uint64_t op_index = computed.index;
  if (op_index >= facts.graph.ops.size()) {
    return broken("phase {} computes op {}, out of range", phase, op_index);
  }
  if (facts.computed_at[op_index] != none) {
    return broken("op {} is computed at phase {} and again at phase {}", op_index, facts.computed_at[op_index],
                  phase);
  }
  for (const TensorId input : facts.graph.ops[op_index].inputs) {
    const std::uint64_t producer = facts.producer[input.index];
    if (producer != none && facts.computed_at[producer] == none) {
      return broken("phase {} reads tensor {} before it is computed", phase, input.index);
    }
  }
  facts.computed_at[op_index] = phase;
  return {};
}

// One kernel command of the phase computing `op`: on a tile of the output's
// layout not yet used in this phase (`command_seen` holds `stamp` for the
// slots used), writing the op's output from exactly its inputs, in role
// "body" or "tail".
Result<void> check_kernel_command(const Facts& facts, std::uint64_t phase, const Op& op, const KernelCommand& command,
                                  std::uint64_t stamp, std::vector<std::uint64_t>& command_seen) {
  const std::uint64_t output = op.output.index;
  if (command.tile >= facts.schedule.tile_count) {
    return broken("phase {} has a command on tile {} past tile count {}", phase, command.tile,
                  facts.schedule.tile_count);
  }
  if (command.output.index != output) {
    return broken("command on tile {} at phase {} writes tensor {}, not tensor {}", command.tile, phase,
                  command.output.index, output);
  }
  if (command.inputs != op.inputs) {
    return broken("command on tile {} at phase {} does not read the inputs of op {}", command.tile, phase,
                  op.id.index);
  }
  const std::uint64_t slot = facts.slot(output, command.tile);
  if (slot == none) {
    return broken("phase {} has a command on tile {} outside the layout of tensor {}", phase, command.tile,
                  output);
  }
  if (command_seen[slot] == stamp) {
    return broken("phase {} has two commands on tile {}", phase, command.tile);
  }
  command_seen[slot] = stamp;
  const std::string& role = command.specialization.role;
  if (role != "tail" && role != "body") {
    return broken("command on tile {} at phase {} has role \"{}\"", command.tile, phase, role);
  }
  return {};
}

// Every tile of the output's layout got a command in this phase, and exactly
// one of them, on the layout's last tile, is the tail.
Result<void> check_commands_cover(const Facts& facts, std::uint64_t phase, const Compute& compute,
                                  std::uint64_t output, std::uint64_t stamp,
                                  const std::vector<std::uint64_t>& command_seen) {
  const Layout& layout = facts.schedule.layouts[output];
  for (const std::uint16_t tile : layout.tiles) {
    if (command_seen[facts.slot(output, tile)] != stamp) {
      return broken("phase {} has no command on tile {}", phase, tile);
    }
  }
  std::uint64_t tails = 0;
  std::uint16_t tail_tile = 0;
  for (const KernelCommand& command : compute.commands) {
    if (command.specialization.role == "tail") {
      ++tails;
      tail_tile = command.tile;
    }
  }
  if (tails != 1) {
    return broken("phase {} has {} tail commands", phase, tails);
  }
  if (tail_tile != layout.tiles.back()) {
    return broken("tail command of phase {} is on tile {}, not the last tile {}", phase, tail_tile,
                  layout.tiles.back());
  }
  return {};
}

// A compute phase: its op in order, each of its commands, and their cover of
// the output's layout. `command_seen` is stamped with phase + 1 per slot used.
Result<void> check_compute(Facts& facts, std::uint64_t phase, const Compute& compute,
                           std::vector<std::uint64_t>& command_seen) {
  if (const Result<void> recorded = record_computation(facts, phase, compute.op); !recorded) {
    return recorded;
  }
  const Op& op = facts.graph.ops[compute.op.index];
  const std::uint64_t stamp = phase + 1;
  for (const KernelCommand& command : compute.commands) {
    if (const Result<void> checked = check_kernel_command(facts, phase, op, command, stamp, command_seen);
        !checked) {
      return checked;
    }
  }
  return check_commands_cover(facts, phase, compute, op.output.index, stamp, command_seen);
}

Result<void> check_compute_phases(Facts& facts) {
  std::vector<std::uint64_t> command_seen(facts.slot_tile.size(), 0);
  for (std::uint64_t phase = 0; phase < facts.phase_count; ++phase) {
    if (const auto* compute = std::get_if<Compute>(&facts.schedule.phases[phase])) {
      if (const Result<void> checked = check_compute(facts, phase, *compute, command_seen); !checked) {
        return checked;
      }
    }
  }
  for (std::size_t op = 0; op < facts.computed_at.size(); ++op) {
    if (facts.computed_at[op] == none) {
      return broken("op {} is never computed", op);
    }
  }
  return {};
}

Result<void> check_exchange(const Facts& facts, std::uint64_t phase, const Exchange& exchange) {
  const std::uint16_t tile_count = facts.schedule.tile_count;
  std::set<std::pair<std::uint16_t, std::uint64_t>> targets;
  for (const Transfer& transfer : exchange.transfers) {
    const std::uint64_t tensor = transfer.tensor.index;
    if (tensor >= facts.graph.tensors.size()) {
      return broken("transfer at phase {} names tensor {}, out of range", phase, tensor);
    }
    for (const std::uint16_t tile : {transfer.source_tile, transfer.destination_tile}) {
      if (tile >= tile_count) {
        return broken("transfer at phase {} names tile {} past tile count {}", phase, tile, tile_count);
      }
    }
    if (transfer.source_tile == transfer.destination_tile) {
      return broken("transfer at phase {} sends tensor {} from tile {} to itself", phase, tensor,
                    transfer.source_tile);
    }
    if (transfer.bytes == 0) {
      return broken("transfer at phase {} of tensor {} to tile {} carries no bytes", phase, tensor,
                    transfer.destination_tile);
    }
    if (!targets.emplace(transfer.destination_tile, tensor).second) {
      return broken("exchange at phase {} sends tensor {} to tile {} twice", phase, tensor,
                    transfer.destination_tile);
    }
    if (transfer.bytes != facts.share[tensor]) {
      return broken("transfer at phase {} of tensor {} carries {} bytes, not its share of {}", phase, tensor,
                    transfer.bytes, facts.share[tensor]);
    }
    const std::uint64_t producer = facts.producer[tensor];
    if (producer != none && facts.computed_at[producer] >= phase) {
      return broken("exchange at phase {} sends tensor {} before it is computed", phase, tensor);
    }
  }
  return {};
}

Result<void> check_exchanges(const Facts& facts) {
  for (std::uint64_t phase = 0; phase < facts.phase_count; ++phase) {
    if (const auto* exchange = std::get_if<Exchange>(&facts.schedule.phases[phase])) {
      if (const Result<void> checked = check_exchange(facts, phase, *exchange); !checked) {
        return checked;
      }
    }
  }
  return {};
}

Result<void> check_allocations(Facts& facts) {
  const CompilerOptions& options = facts.options;
  const std::vector<Allocation>& allocations = facts.schedule.allocations;
  for (std::size_t index = 0; index < allocations.size(); ++index) {
    const Allocation& allocation = allocations[index];
    const std::uint64_t tensor = allocation.tensor.index;
    const std::uint16_t tile = allocation.tile;
    if (tensor >= facts.graph.tensors.size()) {
      return broken("allocation {} names tensor {}, out of range", index, tensor);
    }
    const std::uint64_t slot = facts.slot(tensor, tile);
    if (slot == none) {
      return broken("allocation of tensor {} on tile {} is outside its layout", tensor, tile);
    }
    if (facts.slot_allocation[slot] != none) {
      return broken("tensor {} has two allocations on tile {}", tensor, tile);
    }
    facts.slot_allocation[slot] = index;
    const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
    if (allocation.address < options.data_base || end > options.data_limit) {
      return broken("allocation of tensor {} on tile {} at {}..{} lies outside the data window {}..{}", tensor,
                    tile, allocation.address, end, options.data_base, options.data_limit);
    }
    const std::uint32_t alignment = facts.schedule.layouts[tensor].alignment;
    if (allocation.address != options.data_base && allocation.address % alignment != 0) {
      return broken("allocation of tensor {} on tile {} at {} is not aligned to {}", tensor, tile,
                    allocation.address, alignment);
    }
    const std::uint64_t expected = round_up(facts.share[tensor], alignment);
    if (allocation.size != expected) {
      return broken("allocation of tensor {} on tile {} has size {}, not {}", tensor, tile, allocation.size,
                    expected);
    }
    if (allocation.live_from > allocation.live_until) {
      return broken("allocation of tensor {} on tile {} is live from phase {} until phase {}", tensor, tile,
                    allocation.live_from, allocation.live_until);
    }
    // A graph output stays live one phase past the last; with no phases at
    // all every lifetime is the single index 0.
    const std::uint64_t last = facts.is_output[tensor] || facts.phase_count == 0 ? facts.phase_count
                                                                                  : facts.phase_count - 1;
    if (allocation.live_until > last) {
      return broken("allocation of tensor {} on tile {} is live until phase {}, past phase {}", tensor, tile,
                    allocation.live_until, last);
    }
  }
  for (std::size_t tensor = 0; tensor < facts.graph.tensors.size(); ++tensor) {
    for (const std::uint16_t tile : facts.schedule.layouts[tensor].tiles) {
      if (facts.allocation(tensor, tile) == nullptr) {
        return broken("tensor {} has no allocation on tile {}", tensor, tile);
      }
    }
  }
  return {};
}

// One tile's allocations swept in order of live_from. `live` maps the start
// address of every range still live to its allocation; those ranges never
// overlap, so a newcomer can only clash with the range starting at or above
// its address (the first such) or the one below it.
Result<void> check_tile_overlaps(const std::vector<Allocation>& allocations, std::uint16_t tile,
                                 std::vector<std::uint64_t>& order) {
  std::sort(order.begin(), order.end(), [&allocations](std::uint64_t a, std::uint64_t b) {
    const Allocation& left = allocations[a];
    const Allocation& right = allocations[b];
    if (left.live_from != right.live_from) {
      return left.live_from < right.live_from;
    }
    if (left.address != right.address) {
      return left.address < right.address;
    }
    return a < b;
  });
  std::map<std::uint32_t, std::uint64_t> live;
  using Retirement = std::pair<std::uint64_t, std::uint32_t>;  // (live_until, address)
  std::priority_queue<Retirement, std::vector<Retirement>, std::greater<>> retirements;
  for (const std::uint64_t index : order) {
    const Allocation& allocation = allocations[index];
    if (allocation.size == 0) {
      continue;
    }
    while (!retirements.empty() && retirements.top().first < allocation.live_from) {
      live.erase(retirements.top().second);
      retirements.pop();
    }
    const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
    auto above = live.lower_bound(allocation.address);
    const Allocation* clash = nullptr;
    if (above != live.end() && above->first < end) {
      clash = &allocations[above->second];
    } else if (above != live.begin()) {
      const Allocation& below = allocations[std::prev(above)->second];
      if (std::uint64_t{below.address} + below.size > allocation.address) {
        clash = &below;
      }
    }
    if (clash != nullptr) {
      return broken("allocations of tensor {} and tensor {} overlap on tile {} at phase {}", clash->tensor.index,
                    allocation.tensor.index, tile, allocation.live_from);
    }
    live.emplace_hint(above, allocation.address, index);
    retirements.emplace(allocation.live_until, allocation.address);
  }
  return {};
}

Result<void> check_overlaps(const Facts& facts) {
  const std::vector<Allocation>& allocations = facts.schedule.allocations;
  // Allocation indexes bucketed by tile (every tile is below tile_count by now).
  std::vector<std::uint64_t> bucket_start(facts.schedule.tile_count + std::size_t{1}, 0);
  for (const Allocation& allocation : allocations) {
    ++bucket_start[allocation.tile + std::size_t{1}];
  }
  for (std::size_t tile = 1; tile < bucket_start.size(); ++tile) {
    bucket_start[tile] += bucket_start[tile - 1];
  }
  std::vector<std::uint64_t> by_tile(allocations.size());
  std::vector<std::uint64_t> fill(bucket_start.begin(), bucket_start.end() - 1);
  for (std::size_t index = 0; index < allocations.size(); ++index) {
    by_tile[fill[allocations[index].tile]++] = index;
  }
  std::vector<std::uint64_t> order;
  for (std::size_t tile = 0; tile + 1 < bucket_start.size(); ++tile) {
    order.assign(by_tile.begin() + static_cast<std::ptrdiff_t>(bucket_start[tile]),
                 by_tile.begin() + static_cast<std::ptrdiff_t>(bucket_start[tile + 1]));
    if (const Result<void> checked = check_tile_overlaps(allocations, static_cast<std::uint16_t>(tile), order);
        !checked) {
      return checked;
    }
  }
  return {};
}

Result<void> require_live(const Allocation& allocation, std::uint64_t phase, std::string_view use) {
  if (allocation.live_from > phase || allocation.live_until < phase) {
    return broken("allocation of tensor {} on tile {} is not live at phase {}, which {} it",
                  allocation.tensor.index, allocation.tile, phase, use);
  }
  return {};
}

Result<void> check_liveness(const Facts& facts) {
  for (std::uint64_t phase = 0; phase < facts.phase_count; ++phase) {
    const Phase& current = facts.schedule.phases[phase];
    if (const auto* exchange = std::get_if<Exchange>(&current)) {
      for (const Transfer& transfer : exchange->transfers) {
        const Allocation* held = facts.allocation(transfer.tensor.index, transfer.source_tile);
        if (held == nullptr) {
          return broken("tile {} sends tensor {} at phase {} without holding it", transfer.source_tile,
                        transfer.tensor.index, phase);
        }
        if (const Result<void> live = require_live(*held, phase, "sends"); !live) {
          return live;
        }
      }
      continue;
    }
    const Compute& compute = std::get<Compute>(current);
    for (const KernelCommand& command : compute.commands) {
      const Allocation* written = facts.allocation(command.output.index, command.tile);
      if (written == nullptr) {
        return broken("tensor {} has no allocation on tile {}", command.output.index, command.tile);
      }
      if (const Result<void> live = require_live(*written, phase, "writes"); !live) {
        return live;
      }
      for (const TensorId input : command.inputs) {
        // An input not held on this tile arrives in an exchange.
        if (const Allocation* read = facts.allocation(input.index, command.tile); read != nullptr) {
          if (const Result<void> live = require_live(*read, phase, "reads"); !live) {
            return live;
          }
        }
      }
    }
  }
  for (const TensorId output : facts.graph.outputs) {
    for (const std::uint16_t tile : facts.schedule.layouts[output.index].tiles) {
      const Allocation* held = facts.allocation(output.index, tile);
      if (held != nullptr && held->live_until < facts.phase_count) {
        return broken("allocation of output tensor {} on tile {} is not live at the end, phase {}", output.index,
                      tile, facts.phase_count);
      }
    }
  }
  return {};
}

Result<void> check_peaks(const Facts& facts) {
  const std::uint16_t tile_count = facts.schedule.tile_count;
  std::vector<std::uint64_t> highest(tile_count, 0);
  std::vector<bool> holds(tile_count, false);
  for (const Allocation& allocation : facts.schedule.allocations) {
    const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size - facts.options.data_base;
    highest[allocation.tile] = std::max(highest[allocation.tile], end);
    holds[allocation.tile] = true;
  }
  for (const auto& [tile, peak] : facts.schedule.peak_sram) {
    if (tile >= tile_count || !holds[tile]) {
      return broken("peak given for tile {}, which holds no allocation", tile);
    }
    if (peak != highest[tile]) {
      return broken("peak of tile {} is {}, not {}", tile, peak, highest[tile]);
    }
  }
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    if (holds[tile] && !facts.schedule.peak_sram.contains(tile)) {
      return broken("no peak for tile {}", tile);
    }
  }
  return {};
}

bool is_end(const EncodedTileCommand& command) {
  return command.words[command_word::kind] == std::to_underlying(CommandKind::End);
}

Result<void> check_streams(const Schedule& schedule) {
  const std::vector<std::vector<EncodedTileCommand>> streams = schedule.all_tile_commands();
  if (streams.size() != schedule.tile_count) {
    return broken("{} tile streams for {} tiles", streams.size(), schedule.tile_count);
  }
  for (std::size_t tile = 0; tile < streams.size(); ++tile) {
    const std::vector<EncodedTileCommand>& stream = streams[tile];
    if (stream.empty() || !is_end(stream.back())) {
      return broken("stream of tile {} does not close with the end command", tile);
    }
    const auto ends = std::ranges::count_if(stream, is_end);
    if (ends != 1) {
      return broken("stream of tile {} has {} end commands", tile, ends);
    }
  }
  return {};
}

}  // namespace

Result<void> verify_schedule(const Graph& graph, const Schedule& schedule, const CompilerOptions& options) {
  if (const Result<void> checked = check_target(graph, schedule, options); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_layouts(graph, schedule); !checked) {
    return checked;
  }
  Facts facts = gather_facts(graph, schedule, options);
  if (const Result<void> checked = check_compute_phases(facts); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_exchanges(facts); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_allocations(facts); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_overlaps(facts); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_liveness(facts); !checked) {
    return checked;
  }
  if (const Result<void> checked = check_peaks(facts); !checked) {
    return checked;
  }
  return check_streams(schedule);
}

}  // namespace orvo_compiler
