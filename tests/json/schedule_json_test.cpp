// The JSON form of a schedule: the records keep the library's field names and
// order, and equal inputs give equal text.
#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/schedule_json.hpp"

namespace orvo_compiler {
namespace {

// X [32, 64] times W [64, 256], then a layer norm of the product.
Graph product_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});
  const TensorId w = graph.weight("w", {64, 256});
  const Result<TensorId> y = graph.matmul("y", x, w);
  const Result<TensorId> z = graph.layer_norm("z", *y, 1e-5F);
  graph.mark_output(*z);
  return graph;
}

TEST(ScheduleJson, RecordsKeepTheLibraryFieldNamesAndOrder) {
  const Graph graph = product_graph();
  const CompilerOptions options;
  const Result<Schedule> schedule = compile(graph, options);
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const nlohmann::ordered_json json = schedule_json(Workload{}, options, graph, *schedule);

  EXPECT_EQ(json["options"]["compiler"].dump(), R"({"tile_count":64,"data_base":335872,"data_limit":917504})");
  EXPECT_EQ(json["graph"]["tensors"][0].dump(),
            R"({"id":0,"name":"x","dtype":"F32","shape":[32,64],"kind":"Input","producer":null})");
  EXPECT_EQ(json["graph"]["tensors"][3].dump(),
            R"({"id":3,"name":"z","dtype":"F32","shape":[32,256],"kind":"Output","producer":1})");
  // The epsilon is the float nearest 1e-5, widened exactly.
  EXPECT_EQ(json["graph"]["ops"][1].dump(),
            R"({"id":1,"name":"z","kind":"layer_norm","epsilon":9.999999747378752e-06,"inputs":[2],"output":3})");
  EXPECT_EQ(json["graph"]["outputs"].dump(), "[3]");
  EXPECT_EQ(json["layouts"][1]["sharding"], "Columns");

  // Phase 0 brings X from tiles 0-7 to tiles 8-31, from 0..7 three times over.
  const nlohmann::ordered_json& exchange = json["phases"][0];
  EXPECT_EQ(exchange["kind"], "exchange");
  ASSERT_EQ(exchange["transfers"].size(), 24U);
  EXPECT_EQ(exchange["transfers"][23].dump(), R"({"source_tile":7,"destination_tile":31,"tensor":0,"bytes":1024})");
  const nlohmann::ordered_json& product = json["phases"][1];
  EXPECT_EQ(product["kind"], "compute");
  ASSERT_EQ(product["commands"].size(), 32U);
  EXPECT_EQ(product["commands"][31].dump(),
            R"({"tile":31,"output":2,"inputs":[0,1],"specialization":)"
            R"({"operation":"matmul","shape":[32,256],"worker_count":6,"role":"tail","alignment":16}})");
  EXPECT_EQ(json["allocations"][0].dump(),
            R"({"tensor":0,"tile":0,"address":335872,"size":1024,"live_from":0,"live_until":1})");
  EXPECT_EQ(json["peak_sram"]["0"], schedule->peak_sram.at(0));
  EXPECT_EQ(json["statistics"]["transfers"], 24);
  // Equal inputs, equal text.
  EXPECT_EQ(json.dump(2), schedule_json(Workload{}, options, graph, *schedule).dump(2));
}

}  // namespace
}  // namespace orvo_compiler
