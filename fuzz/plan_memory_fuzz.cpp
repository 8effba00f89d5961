// plan_memory on direct inputs (graph, layouts, phases and window all fuzzed,
// none of them validated first) against the straightforward planner kept as
// the test oracle: both must return the same allocations or the same error.
// On success every piece also has to lie inside the window, and no two pieces
// live at once on a tile may share a byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "orvo_compiler/memory.hpp"
#include "memory/plan_memory_oracle.hpp"

namespace {

using namespace orvo_compiler;

Shape pick_shape(FuzzedDataProvider& data) {
  Shape shape(data.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (std::uint64_t& dimension : shape) {
    dimension = orvo_fuzz::pick_count(data, 300);
  }
  return shape;
}

TensorId pick_tensor(FuzzedDataProvider& data, std::size_t tensors) {
  return TensorId{data.ConsumeIntegralInRange<int>(0, 15) == 0 ? orvo_fuzz::pick_count(data, tensors + 2)
                                                              : data.ConsumeIntegralInRange<std::uint64_t>(0, tensors)};
}

std::uint16_t pick_tile(FuzzedDataProvider& data, std::uint16_t tile_count) {
  return data.ConsumeIntegralInRange<int>(0, 15) == 0 ? data.ConsumeIntegral<std::uint16_t>()
                                                      : data.ConsumeIntegralInRange<std::uint16_t>(0, tile_count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);

  CompilerOptions options;
  options.tile_count = data.ConsumeIntegralInRange<std::uint16_t>(0, 12);
  options.data_base = orvo_fuzz::pick_u32(data, 4096);
  options.data_limit = data.ConsumeBool() ? options.data_base + data.ConsumeIntegralInRange<std::uint32_t>(0, 1U << 16)
                                          : orvo_fuzz::pick_u32(data, 1U << 20);

  Graph graph;
  const std::size_t tensor_count = data.ConsumeIntegralInRange<std::size_t>(0, 10);
  for (std::size_t i = 0; i < tensor_count; ++i) {
    Tensor tensor;
    tensor.id = TensorId{data.ConsumeIntegralInRange<int>(0, 31) == 0 ? orvo_fuzz::pick_count(data, 12) : i};
    tensor.name = "t" + std::to_string(i);
    tensor.shape = pick_shape(data);
    tensor.kind = static_cast<TensorKind>(data.ConsumeIntegralInRange<int>(0, 3));
    graph.tensors.push_back(std::move(tensor));
  }
  const std::size_t op_count = data.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < op_count; ++i) {
    Op op;
    op.id = OpId{data.ConsumeIntegralInRange<int>(0, 31) == 0 ? orvo_fuzz::pick_count(data, 8) : i};
    op.name = "op" + std::to_string(i);
    op.kind = Add{};
    op.inputs.resize(data.ConsumeIntegralInRange<std::size_t>(0, 3));
    for (TensorId& input : op.inputs) {
      input = pick_tensor(data, tensor_count);
    }
    op.output = pick_tensor(data, tensor_count);
    if (op.output.index < graph.tensors.size() && data.ConsumeBool()) {
      graph.tensors[op.output.index].producer = OpId{i};
    }
    graph.ops.push_back(std::move(op));
  }
  graph.outputs.resize(data.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (TensorId& output : graph.outputs) {
    output = pick_tensor(data, tensor_count);
  }

  std::vector<Layout> layouts(data.ConsumeIntegralInRange<std::size_t>(0, tensor_count + 1));
  for (Layout& layout : layouts) {
    layout.tensor = pick_tensor(data, tensor_count);
    layout.tiles.resize(data.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (std::uint16_t& tile : layout.tiles) {
      tile = pick_tile(data, options.tile_count);
    }
    layout.sharding = static_cast<Sharding>(data.ConsumeIntegralInRange<int>(0, 3));
    layout.alignment = orvo_fuzz::pick_u32(data, 64);
  }

  std::vector<Phase> phases(data.ConsumeIntegralInRange<std::size_t>(0, 10));
  for (Phase& phase : phases) {
    if (data.ConsumeBool()) {
      Exchange exchange;
      exchange.transfers.resize(data.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (Transfer& transfer : exchange.transfers) {
        transfer.source_tile = pick_tile(data, options.tile_count);
        transfer.destination_tile = pick_tile(data, options.tile_count);
        transfer.tensor = pick_tensor(data, tensor_count);
        transfer.bytes = orvo_fuzz::pick_u32(data, 4096);
      }
      phase = std::move(exchange);
    } else {
      Compute compute;
      compute.op = OpId{data.ConsumeIntegralInRange<int>(0, 15) == 0 ? orvo_fuzz::pick_count(data, op_count + 2)
                                                                     : data.ConsumeIntegralInRange<std::uint64_t>(0, op_count)};
      compute.commands.resize(data.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (KernelCommand& command : compute.commands) {
        command.tile = pick_tile(data, options.tile_count);
        command.output = pick_tensor(data, tensor_count);
        command.inputs.resize(data.ConsumeIntegralInRange<std::size_t>(0, 2));
        for (TensorId& input : command.inputs) {
          input = pick_tensor(data, tensor_count);
        }
      }
      phase = std::move(compute);
    }
  }

  const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, phases, options);
  const Result<std::vector<Allocation>> oracle = testing_oracle::plan_memory(graph, layouts, phases, options);
  orvo_fuzz::check(planned.has_value() == oracle.has_value(), "planner and oracle disagree on success");
  if (!planned.has_value()) {
    orvo_fuzz::check(planned.error() == oracle.error(), "planner reports " + orvo_fuzz::describe(planned.error()) +
                                                            ", oracle " + orvo_fuzz::describe(oracle.error()));
    return 0;
  }
  orvo_fuzz::check(*planned == *oracle, "planner and oracle place pieces differently");

  const std::vector<Allocation>& pieces = *planned;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Allocation& a = pieces[i];
    orvo_fuzz::check(a.address >= options.data_base &&
                         std::uint64_t{a.address} + a.size <= std::uint64_t{options.data_limit},
                     "piece outside the data window");
    orvo_fuzz::check(a.live_from <= a.live_until, "piece with an empty lifetime");
    for (std::size_t j = 0; j < i; ++j) {
      const Allocation& b = pieces[j];
      const bool share_bytes = a.size != 0 && b.size != 0 && a.address < std::uint64_t{b.address} + b.size &&
                               b.address < std::uint64_t{a.address} + a.size;
      orvo_fuzz::check(!(a.tile == b.tile && share_bytes && lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until)),
                       "two live pieces share a byte");
    }
  }
  return 0;
}
