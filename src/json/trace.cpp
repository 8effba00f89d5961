// The schedule as trace events, in the JSON object form that trace viewers
// open: one process, one thread per tile that does anything, and one complete
// event per phase in which that tile computes, sends or receives. There is no
// cost model, so every phase lasts one microsecond: only the order is real.
#include <map>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/schedule_json.hpp"
#include "views/drawing.hpp"

namespace orvo_compiler {
namespace {

using Json = nlohmann::ordered_json;

using detail::tensor_name;

constexpr int process_id = 0;

// The tensor and, where its layout is known, the bytes of its share on one tile.
Json tensor_json(const Graph& graph, const Schedule& schedule, TensorId tensor) {
  Json json{{"tensor", tensor_name(graph, tensor)}};
  if (tensor.index < graph.tensors.size() && tensor.index < schedule.layouts.size() &&
      !schedule.layouts[tensor.index].tiles.empty()) {
    json["bytes"] = local_bytes(graph.tensors[tensor.index], schedule.layouts[tensor.index]);
  }
  return json;
}

Json complete_event(std::string name, std::string_view category, std::uint64_t phase, std::uint16_t tile,
                    Json arguments) {
  return Json{{"name", std::move(name)}, {"cat", category}, {"ph", "X"},       {"ts", phase},
              {"dur", 1},                {"pid", process_id}, {"tid", tile}, {"args", std::move(arguments)}};
}

Json compute_event(const Graph& graph, const Schedule& schedule, std::uint64_t phase, const Compute& compute,
                   const KernelCommand& command) {
  const std::string name =
      compute.op.index < graph.ops.size() ? graph.ops[compute.op.index].name : fmt::format("op {}", compute.op.index);
  Json inputs = Json::array();
  for (const TensorId input : command.inputs) {
    inputs.push_back(tensor_json(graph, schedule, input));
  }
  const SpecializationKey& key = command.specialization;
  return complete_event(name, "compute", phase, command.tile,
                        Json{{"phase", phase},
                             {"operation", key.operation},
                             {"output", tensor_json(graph, schedule, command.output)},
                             {"inputs", std::move(inputs)},
                             {"shape", key.shape},
                             {"worker_count", key.worker_count},
                             {"role", key.role}});
}

// What one tile sends and receives in one exchange.
struct TileExchange {
  Json sends = Json::array();
  Json receives = Json::array();
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
};

void add_exchange_events(std::vector<Json>& events, const Graph& graph, std::uint64_t phase,
                         const Exchange& exchange) {
  std::map<std::uint16_t, TileExchange> tiles;
  for (const Transfer& transfer : exchange.transfers) {
    const std::string name = tensor_name(graph, transfer.tensor);
    TileExchange& source = tiles[transfer.source_tile];
    source.sends.push_back(Json{{"tensor", name}, {"to_tile", transfer.destination_tile}, {"bytes", transfer.bytes}});
    source.bytes_sent += transfer.bytes;
    TileExchange& destination = tiles[transfer.destination_tile];
    destination.receives.push_back(
        Json{{"tensor", name}, {"from_tile", transfer.source_tile}, {"bytes", transfer.bytes}});
    destination.bytes_received += transfer.bytes;
  }
  for (auto& [tile, traffic] : tiles) {
    events.push_back(complete_event("exchange", "exchange", phase, tile,
                                    Json{{"phase", phase},
                                         {"bytes_sent", traffic.bytes_sent},
                                         {"bytes_received", traffic.bytes_received},
                                         {"sends", std::move(traffic.sends)},
                                         {"receives", std::move(traffic.receives)}}));
  }
}

// One slice per tile of the output's layout, each with its command; should a
// tile have more commands, they join its slice rather than stack a second one.
void add_compute_events(std::vector<Json>& events, const Graph& graph, const Schedule& schedule, std::uint64_t phase,
                        const Compute& compute) {
  std::map<std::uint16_t, std::size_t> slice_of_tile;
  for (const KernelCommand& command : compute.commands) {
    const auto [found, fresh] = slice_of_tile.try_emplace(command.tile, events.size());
    if (fresh) {
      events.push_back(compute_event(graph, schedule, phase, compute, command));
      continue;
    }
    events[found->second]["args"]["further_commands"].push_back(
        compute_event(graph, schedule, phase, compute, command)["args"]);
  }
}

// The slices of every phase, in phase order.
std::vector<Json> phase_slices(const Graph& graph, const Schedule& schedule) {
  std::vector<Json> slices;
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    std::visit(
        [&](const auto& body) {
          using Body = std::decay_t<decltype(body)>;
          if constexpr (std::is_same_v<Body, Exchange>) {
            add_exchange_events(slices, graph, phase, body);
          } else {
            add_compute_events(slices, graph, schedule, phase, body);
          }
        },
        schedule.phases[phase]);
  }
  return slices;
}

Json metadata_event(std::string_view name, std::uint16_t tile, Json arguments) {
  return Json{{"name", name}, {"ph", "M"}, {"pid", process_id}, {"tid", tile}, {"args", std::move(arguments)}};
}

// The process's name, then a name and an order for the track of each busy
// tile in tile order, then the slices.
std::vector<Json> with_tracks(std::vector<Json> slices) {
  std::map<std::uint16_t, bool> busy;
  for (const Json& slice : slices) {
    busy[slice["tid"].get<std::uint16_t>()] = true;
  }
  std::vector<Json> events;
  events.push_back(metadata_event("process_name", 0, Json{{"name", "orvoc schedule"}}));
  for (const auto& [tile, ignored] : busy) {
    events.push_back(metadata_event("thread_name", tile, Json{{"name", fmt::format("tile {}", tile)}}));
    events.push_back(metadata_event("thread_sort_index", tile, Json{{"sort_index", tile}}));
  }
  for (Json& slice : slices) {
    events.push_back(std::move(slice));
  }
  return events;
}

}  // namespace

std::string trace_json(const Graph& graph, const Schedule& schedule) {
  const std::vector<Json> events = with_tracks(phase_slices(graph, schedule));
  // One event per line keeps a large trace readable and diffable.
  std::string text = "{\"traceEvents\": [\n";
  for (std::size_t i = 0; i < events.size(); ++i) {
    text += events[i].dump();
    text += i + 1 < events.size() ? ",\n" : "\n";
  }
  text += "],\n\"otherData\": ";
  text += Json{{"producer", "orvoc"}, {"time", "one phase lasts 1 us; there is no cost model"}}.dump();
  text += "\n}\n";
  return text;
}

}  // namespace orvo_compiler
