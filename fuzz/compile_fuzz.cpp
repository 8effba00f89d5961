// Graphs grown by fuzzed builder calls (arbitrary ids, shapes, permutations,
// axes, output marks and raw tensors), then hand-edited (operations shuffled,
// inputs rewired to any tensor), then validated and compiled with fuzzed
// options. A graph whose operations read their own or later outputs must be
// refused at the first such operation; every schedule compile returns must
// pass verify_schedule, and its tile streams must agree one by one with the
// streams built all at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/graph.hpp"

namespace {

using namespace orvo_compiler;

Shape pick_shape(FuzzedDataProvider& data) {
  Shape shape(data.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (std::uint64_t& dimension : shape) {
    dimension = data.ConsumeIntegralInRange<int>(0, 15) == 0 ? orvo_fuzz::pick_count(data, 1 << 12)
                                                             : data.ConsumeIntegralInRange<std::uint64_t>(1, 40);
  }
  return shape;
}

// Mostly an existing tensor (recent ones more often), sometimes any id.
TensorId pick_tensor(FuzzedDataProvider& data, const Graph& graph) {
  const std::uint64_t count = graph.tensors.size();
  if (count == 0 || data.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return TensorId{orvo_fuzz::pick_count(data, count + 1)};
  }
  return TensorId{count - 1 - data.ConsumeIntegralInRange<std::uint64_t>(0, count - 1)};
}

std::string pick_name(FuzzedDataProvider& data, std::size_t call) {
  return data.ConsumeIntegralInRange<int>(0, 7) == 0 ? data.ConsumeRandomLengthString(12)
                                                     : "n" + std::to_string(call);
}

std::vector<std::uint64_t> pick_permutation(FuzzedDataProvider& data) {
  std::vector<std::uint64_t> permutation(data.ConsumeIntegralInRange<std::size_t>(0, 5));
  for (std::uint64_t& axis : permutation) {
    axis = data.ConsumeIntegralInRange<int>(0, 15) == 0 ? orvo_fuzz::pick_count(data, 8)
                                                        : data.ConsumeIntegralInRange<std::uint64_t>(0, 4);
  }
  return permutation;
}

OpKind pick_kind(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return MatMul{};
    case 1:
      return Add{};
    case 2:
      return Mul{};
    case 3:
      return Reshape{pick_shape(data)};
    case 4:
      return Transpose{pick_permutation(data)};
    case 5:
      return LayerNorm{orvo_fuzz::pick_float(data)};
    case 6:
      return Softmax{orvo_fuzz::pick_count(data, 4)};
    default:
      return Gelu{};
  }
}

// One builder call; a failing call must leave the graph exactly as it was.
void builder_call(FuzzedDataProvider& data, Graph& graph, std::size_t call) {
  const Graph before = graph;
  Result<TensorId> made = TensorId{};
  const std::string name = pick_name(data, call);
  switch (data.ConsumeIntegralInRange<int>(0, 12)) {
    case 0:
      graph.input(name, pick_shape(data));
      return;
    case 1:
      graph.weight(name, pick_shape(data));
      return;
    case 2: {
      const TensorId left = pick_tensor(data, graph);
      made = graph.add(name, left, pick_tensor(data, graph));
      break;
    }
    case 3: {
      const TensorId left = pick_tensor(data, graph);
      made = graph.binary(name, Mul{}, left, pick_tensor(data, graph));
      break;
    }
    case 4: {
      const TensorId left = pick_tensor(data, graph);
      made = graph.matmul(name, left, pick_tensor(data, graph));
      break;
    }
    case 5: {
      const TensorId input = pick_tensor(data, graph);
      made = graph.transpose(name, input, pick_permutation(data));
      break;
    }
    case 6: {
      const TensorId input = pick_tensor(data, graph);
      made = graph.softmax(name, input, orvo_fuzz::pick_count(data, 4));
      break;
    }
    case 7: {
      const TensorId input = pick_tensor(data, graph);
      made = graph.layer_norm(name, input, orvo_fuzz::pick_float(data));
      break;
    }
    case 8:
      made = graph.gelu(name, pick_tensor(data, graph));
      break;
    case 9: {
      OpKind kind = pick_kind(data);
      std::vector<TensorId> inputs(data.ConsumeIntegralInRange<std::size_t>(0, 3));
      for (TensorId& input : inputs) {
        input = pick_tensor(data, graph);
      }
      made = graph.op(name, std::move(kind), std::move(inputs), pick_shape(data));
      break;
    }
    case 10:
    case 11:
      graph.mark_output(pick_tensor(data, graph));
      return;
    default: {
      // A raw tensor, checked by nothing until validate.
      std::optional<OpId> producer;
      if (data.ConsumeBool()) {
        producer = OpId{orvo_fuzz::pick_count(data, graph.ops.size() + 1)};
      }
      graph.tensor(name, pick_shape(data), static_cast<TensorKind>(data.ConsumeIntegralInRange<int>(0, 3)), producer);
      return;
    }
  }
  // Operations are compared by count: a NaN epsilon makes an operation
  // unequal to itself.
  if (!made.has_value()) {
    orvo_fuzz::check(graph.tensors == before.tensors && graph.ops.size() == before.ops.size() &&
                         graph.outputs == before.outputs,
                     "a failing builder call changed the graph");
  }
}

template <class T>
T& pick_element(FuzzedDataProvider& data, std::vector<T>& items) {
  return items[data.ConsumeIntegralInRange<std::size_t>(0, items.size() - 1)];
}

// Shuffles the operations, renumbering each to its new position together
// with every producer that names it, so validation holds as before.
void shuffle_ops(FuzzedDataProvider& data, Graph& graph) {
  const std::size_t count = graph.ops.size();
  std::vector<std::size_t> position(count);
  for (std::size_t index = 0; index < count; ++index) {
    position[index] = index;
  }
  for (std::size_t index = count; index > 1; --index) {
    std::swap(position[index - 1], position[data.ConsumeIntegralInRange<std::size_t>(0, index - 1)]);
  }
  std::vector<Op> ops(count);
  for (std::size_t index = 0; index < count; ++index) {
    ops[position[index]] = std::move(graph.ops[index]);
    ops[position[index]].id = OpId{position[index]};
  }
  graph.ops = std::move(ops);
  for (Tensor& tensor : graph.tensors) {
    if (tensor.producer && tensor.producer->index < count) {
      tensor.producer = OpId{position[tensor.producer->index]};
    }
  }
}

// One edit the builder never makes: the operations shuffled, or one input of
// an operation pointed at any tensor, its own output or a later one's included.
void hand_edit(FuzzedDataProvider& data, Graph& graph) {
  if (graph.ops.empty()) {
    return;
  }
  if (data.ConsumeBool()) {
    shuffle_ops(data, graph);
    return;
  }
  Op& op = pick_element(data, graph.ops);
  if (!graph.tensors.empty() && !op.inputs.empty()) {
    pick_element(data, op.inputs) = TensorId{data.ConsumeIntegralInRange<std::uint64_t>(0, graph.tensors.size() - 1)};
  }
}

// The refusal compile owes a valid graph, worked out the slow way: the first
// operation in list order with an input written by an operation at or after
// its own position.
std::optional<CompileError> expected_order_error(const Graph& graph) {
  for (std::size_t position = 0; position < graph.ops.size(); ++position) {
    for (const TensorId input : graph.ops[position].inputs) {
      const auto writer = std::find_if(graph.ops.begin() + static_cast<std::ptrdiff_t>(position), graph.ops.end(),
                                       [input](const Op& op) { return op.output == input; });
      if (writer != graph.ops.end()) {
        return CompileError::graph("invalid op " + graph.ops[position].name);
      }
    }
  }
  return std::nullopt;
}

CompilerOptions pick_options(FuzzedDataProvider& data) {
  CompilerOptions options;
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      break;  // the default target
    case 1:
      options.tile_count = data.ConsumeIntegralInRange<std::uint16_t>(0, 300);
      break;
    default:
      options.tile_count = data.ConsumeIntegralInRange<std::uint16_t>(0, 300);
      options.data_base = orvo_fuzz::pick_u32(data, 1U << 16);
      options.data_limit = data.ConsumeBool() ? orvo_fuzz::pick_u32(data, 1U << 20)
                                              : options.data_base + data.ConsumeIntegralInRange<std::uint32_t>(0, 1U << 18);
      break;
  }
  return options;
}

TensorId any_tensor(FuzzedDataProvider& data, const Graph& graph) {
  return TensorId{orvo_fuzz::pick_count(data, graph.tensors.size() + 1)};
}

std::uint16_t any_tile(FuzzedDataProvider& data, const Schedule& schedule) {
  return data.ConsumeBool() ? data.ConsumeIntegral<std::uint16_t>()
                            : data.ConsumeIntegralInRange<std::uint16_t>(0, schedule.tile_count);
}

// One corruption of a compiled schedule, of the kind a stale cache, a buggy
// pass or a hand edit might produce. verify_schedule must judge the result
// without crashing, whatever it holds.
void corrupt(FuzzedDataProvider& data, const Graph& graph, Schedule& schedule) {
  switch (data.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      schedule.tile_count = data.ConsumeIntegral<std::uint16_t>();
      break;
    case 1:
      if (!schedule.layouts.empty()) {
        Layout& layout = pick_element(data, schedule.layouts);
        switch (data.ConsumeIntegralInRange<int>(0, 3)) {
          case 0:
            layout.tensor = any_tensor(data, graph);
            break;
          case 1:
            layout.alignment = orvo_fuzz::pick_u32(data, 64);
            break;
          case 2:
            layout.tiles.clear();
            break;
          default:
            if (!layout.tiles.empty()) {
              pick_element(data, layout.tiles) = any_tile(data, schedule);
            }
            break;
        }
      }
      break;
    case 2:
      if (!schedule.layouts.empty()) {
        schedule.layouts.erase(schedule.layouts.begin() +
                               data.ConsumeIntegralInRange<std::ptrdiff_t>(
                                   0, static_cast<std::ptrdiff_t>(schedule.layouts.size()) - 1));
      }
      break;
    case 3:
    case 4:
      if (!schedule.phases.empty()) {
        Phase& phase = pick_element(data, schedule.phases);
        if (auto* exchange = std::get_if<Exchange>(&phase); exchange != nullptr && !exchange->transfers.empty()) {
          Transfer& transfer = pick_element(data, exchange->transfers);
          transfer.source_tile = any_tile(data, schedule);
          transfer.destination_tile = any_tile(data, schedule);
          transfer.tensor = any_tensor(data, graph);
          transfer.bytes = orvo_fuzz::pick_u32(data, 4096);
        } else if (auto* compute = std::get_if<Compute>(&phase); compute != nullptr) {
          compute->op = OpId{orvo_fuzz::pick_count(data, graph.ops.size() + 1)};
          if (!compute->commands.empty()) {
            KernelCommand& command = pick_element(data, compute->commands);
            command.tile = any_tile(data, schedule);
            command.output = any_tensor(data, graph);
            if (!command.inputs.empty()) {
              pick_element(data, command.inputs) = any_tensor(data, graph);
            }
            command.specialization.role = data.ConsumeBool() ? "tail" : "body";
          }
        }
      }
      break;
    case 5:
      if (!schedule.phases.empty()) {
        schedule.phases.erase(schedule.phases.begin() +
                              data.ConsumeIntegralInRange<std::ptrdiff_t>(
                                  0, static_cast<std::ptrdiff_t>(schedule.phases.size()) - 1));
      }
      break;
    case 6:
    case 7:
      if (!schedule.allocations.empty()) {
        Allocation& allocation = pick_element(data, schedule.allocations);
        allocation.tensor = data.ConsumeBool() ? allocation.tensor : any_tensor(data, graph);
        allocation.tile = data.ConsumeBool() ? allocation.tile : any_tile(data, schedule);
        allocation.address = data.ConsumeBool() ? allocation.address : orvo_fuzz::pick_u32(data, 0xE0000);
        allocation.size = data.ConsumeBool() ? allocation.size : orvo_fuzz::pick_u32(data, 4096);
        allocation.live_from = data.ConsumeBool() ? allocation.live_from : orvo_fuzz::pick_count(data, 40);
        allocation.live_until = data.ConsumeBool() ? allocation.live_until : orvo_fuzz::pick_count(data, 40);
      }
      break;
    case 8:
      if (!schedule.allocations.empty()) {
        schedule.allocations.push_back(pick_element(data, schedule.allocations));
      }
      break;
    default:
      schedule.peak_sram[any_tile(data, schedule)] = orvo_fuzz::pick_u32(data, 1 << 20);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const CompilerOptions options = pick_options(data);
  Graph graph;
  const std::size_t calls = data.ConsumeIntegralInRange<std::size_t>(0, 48);
  for (std::size_t call = 0; call < calls && data.remaining_bytes() > 0; ++call) {
    builder_call(data, graph, call);
  }
  for (int edit = data.ConsumeIntegralInRange<int>(0, 3); edit > 0; --edit) {
    hand_edit(data, graph);
  }

  const Result<void> valid = graph.validate();
  const Result<Schedule> schedule = compile(graph, options);
  if (!valid.has_value()) {
    orvo_fuzz::check(!schedule.has_value(), "compile accepts a graph validate rejects");
  } else if (const std::optional<CompileError> order_error = expected_order_error(graph); order_error) {
    orvo_fuzz::check(!schedule.has_value() && schedule.error() == *order_error,
                     "compile does not refuse the first operation that reads its own or a later output");
  } else if (!schedule.has_value()) {
    orvo_fuzz::check(!schedule.error().message.starts_with("invalid op "),
                     "compile refuses an operation order that holds");
  }
  if (!schedule.has_value()) {
    return 0;
  }

  const Result<void> verified = verify_schedule(graph, *schedule, options);
  orvo_fuzz::check(verified.has_value(), "verify_schedule rejects a compiled schedule: " +
                                             (verified.has_value() ? std::string() : orvo_fuzz::describe(verified.error())));

  const std::vector<std::vector<EncodedTileCommand>> streams = schedule->all_tile_commands();
  orvo_fuzz::check(streams.size() == schedule->tile_count, "one stream per tile");
  for (int probe = 0; probe < 4; ++probe) {
    const auto tile = data.ConsumeBool() ? data.ConsumeIntegral<std::uint16_t>()
                                         : data.ConsumeIntegralInRange<std::uint16_t>(0, schedule->tile_count);
    const Result<std::vector<EncodedTileCommand>> stream = schedule->tile_commands(tile);
    if (tile < schedule->tile_count) {
      orvo_fuzz::check(stream.has_value() && *stream == streams[tile], "tile_commands differs from all_tile_commands");
    } else {
      orvo_fuzz::check(!stream.has_value() &&
                           stream.error() == CompileError::graph("tile " + std::to_string(tile) + " is out of range"),
                       "tile_commands accepts a tile out of range");
    }
  }

  // The verifier and the stream encoders on corrupted copies: any verdict is
  // fine, a crash or a sanitizer report is not.
  Schedule corrupted = *schedule;
  for (int round = data.ConsumeIntegralInRange<int>(0, 3); round > 0; --round) {
    corrupt(data, graph, corrupted);
  }
  const Result<void> judged = verify_schedule(graph, corrupted, options);
  if (corrupted == *schedule) {
    orvo_fuzz::check(judged.has_value(), "verify_schedule rejects an unchanged schedule");
  }
  const std::vector<std::vector<EncodedTileCommand>> corrupted_streams = corrupted.all_tile_commands();
  orvo_fuzz::check(corrupted_streams.size() == corrupted.tile_count, "one stream per tile after corruption");
  return 0;
}
