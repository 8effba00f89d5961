// The JSON form of a compiled schedule: the options, the graph it came from,
// every record of the schedule and the statistics, with the library's field
// names. Objects keep a fixed key order and no timing enters, so the document
// is byte-for-byte reproducible.
#include <string>
#include <variant>

#include <fmt/format.h>

#include "orvo_compiler/schedule_json.hpp"

namespace orvo_compiler {
namespace {

using Json = nlohmann::ordered_json;

Json ids(const std::vector<TensorId>& tensors) {
  Json list = Json::array();
  for (const TensorId id : tensors) {
    list.push_back(id.index);
  }
  return list;
}

// The encoder's configuration, or for an imported model the model's file.
Json options_json(const Workload& workload, const CompilerOptions& options) {
  Json json;
  if (workload.model.empty()) {
    json["encoder"] = Json{{"sequence", workload.config.sequence},
                           {"hidden", workload.config.hidden},
                           {"heads", workload.config.heads},
                           {"feed_forward", workload.config.feed_forward},
                           {"layers", workload.layers}};
  } else {
    json["model"] = workload.model;
  }
  json["compiler"] =
      Json{{"tile_count", options.tile_count}, {"data_base", options.data_base}, {"data_limit", options.data_limit}};
  return json;
}

Json tensor_json(const Tensor& tensor) {
  Json producer = nullptr;
  if (tensor.producer) {
    producer = tensor.producer->index;
  }
  return Json{{"id", tensor.id.index},
              {"name", tensor.name},
              {"dtype", fmt::format("{}", tensor.dtype)},
              {"shape", tensor.shape},
              {"kind", fmt::format("{}", tensor.kind)},
              {"producer", producer}};
}

// The kind as its operation name, then each of the kind's fields, if any.
void add_kind(Json& op, const OpKind& kind) {
  op["kind"] = std::string(operation_name(kind));
  std::visit(
      [&op]<class Kind>(const Kind& parameters) {
        for_each_field<Kind>([&](const auto& field) { op[field.name] = parameters.*field.member; });
      },
      kind);
}

Json op_json(const Op& op) {
  Json entry{{"id", op.id.index}, {"name", op.name}};
  add_kind(entry, op.kind);
  entry["inputs"] = ids(op.inputs);
  entry["output"] = op.output.index;
  return entry;
}

Json graph_json(const Graph& graph) {
  Json tensors = Json::array();
  for (const Tensor& tensor : graph.tensors) {
    tensors.push_back(tensor_json(tensor));
  }
  Json ops = Json::array();
  for (const Op& op : graph.ops) {
    ops.push_back(op_json(op));
  }
  return Json{{"tensors", std::move(tensors)}, {"ops", std::move(ops)}, {"outputs", ids(graph.outputs)}};
}

Json layout_json(const Layout& layout) {
  return Json{{"tensor", layout.tensor.index},
              {"tiles", layout.tiles},
              {"sharding", fmt::format("{}", layout.sharding)},
              {"alignment", layout.alignment}};
}

Json command_json(const KernelCommand& command) {
  const SpecializationKey& key = command.specialization;
  return Json{{"tile", command.tile},
              {"output", command.output.index},
              {"inputs", ids(command.inputs)},
              {"specialization",
               {{"operation", key.operation},
                {"shape", key.shape},
                {"worker_count", key.worker_count},
                {"role", key.role},
                {"alignment", key.alignment}}}};
}

Json phase_json(std::size_t index, const Phase& phase) {
  return std::visit(
      [index](const auto& body) {
        using Body = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<Body, Exchange>) {
          Json transfers = Json::array();
          for (const Transfer& transfer : body.transfers) {
            transfers.push_back(Json{{"source_tile", transfer.source_tile},
                                     {"destination_tile", transfer.destination_tile},
                                     {"tensor", transfer.tensor.index},
                                     {"bytes", transfer.bytes}});
          }
          return Json{{"index", index}, {"kind", "exchange"}, {"transfers", std::move(transfers)}};
        } else {
          Json commands = Json::array();
          for (const KernelCommand& command : body.commands) {
            commands.push_back(command_json(command));
          }
          return Json{{"index", index}, {"kind", "compute"}, {"op", body.op.index}, {"commands", std::move(commands)}};
        }
      },
      phase);
}

Json allocation_json(const Allocation& allocation) {
  return Json{{"tensor", allocation.tensor.index}, {"tile", allocation.tile},
              {"address", allocation.address},     {"size", allocation.size},
              {"live_from", allocation.live_from}, {"live_until", allocation.live_until}};
}

Json statistics_json(const ScheduleStatistics& statistics) {
  Json json{{"tensors", statistics.tensors},
            {"operations", statistics.operations},
            {"phases", statistics.phases},
            {"exchange_phases", statistics.exchange_phases},
            {"compute_phases", statistics.compute_phases},
            {"transfers", statistics.transfers},
            {"transfer_bytes", statistics.transfer_bytes},
            {"kernel_commands", statistics.kernel_commands},
            {"allocations", statistics.allocations}};
  Json worst = nullptr;
  if (statistics.worst_tile) {
    worst = Json{{"tile", statistics.worst_tile->tile},
                 {"peak_bytes", statistics.worst_tile->peak_bytes},
                 {"live_bytes", statistics.worst_tile->live.bytes},
                 {"live_phase", statistics.worst_tile->live.phase}};
  }
  json["worst_tile"] = std::move(worst);
  return json;
}

}  // namespace

nlohmann::ordered_json schedule_json(const Workload& workload, const CompilerOptions& options, const Graph& graph,
                                     const Schedule& schedule) {
  Json layouts = Json::array();
  for (const Layout& layout : schedule.layouts) {
    layouts.push_back(layout_json(layout));
  }
  Json phases = Json::array();
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    phases.push_back(phase_json(index, schedule.phases[index]));
  }
  Json allocations = Json::array();
  for (const Allocation& allocation : schedule.allocations) {
    allocations.push_back(allocation_json(allocation));
  }
  // JSON object keys are strings: the tile number in decimal, in tile order.
  Json peak_sram = Json::object();
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peak_sram[std::to_string(tile)] = bytes;
  }
  return Json{{"format", "orvoc-schedule"},
              {"version", 1},
              {"options", options_json(workload, options)},
              {"graph", graph_json(graph)},
              {"tile_count", schedule.tile_count},
              {"layouts", std::move(layouts)},
              {"phases", std::move(phases)},
              {"allocations", std::move(allocations)},
              {"peak_sram", std::move(peak_sram)},
              {"statistics", statistics_json(schedule_statistics(graph, schedule))}};
}

}  // namespace orvo_compiler
