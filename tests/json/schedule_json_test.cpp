// The JSON form of a schedule: the records keep the library's field names and
// order, and equal inputs give equal text.
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

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

// The JSON form of one operation of each kind in `kinds`, reading input 0.
nlohmann::ordered_json ops_json(const std::vector<OpKind>& kinds) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  for (const OpKind& kind : kinds) {
    graph.mark_output(*graph.op("o", kind, {x}, {4}));
  }
  return schedule_json(Workload{}, CompilerOptions{}, graph, Schedule{})["graph"]["ops"];
}

TEST(ScheduleJson, OperationKindsWriteTheirParameters) {
  struct Case {
    OpKind kind;
    std::string json;
  };
  const Case cases[] = {
      {MatMul{}, R"({"id":0,"name":"o","kind":"matmul","inputs":[0],"output":1})"},
      {Reshape{{2, 2}}, R"({"id":0,"name":"o","kind":"reshape","shape":[2,2],"inputs":[0],"output":1})"},
      {Transpose{{1, 0}}, R"({"id":0,"name":"o","kind":"transpose","permutation":[1,0],"inputs":[0],"output":1})"},
      {Softmax{3}, R"({"id":0,"name":"o","kind":"softmax","axis":3,"inputs":[0],"output":1})"},
      {Broadcast{{}}, R"({"id":0,"name":"o","kind":"broadcast","shape":[],"inputs":[0],"output":1})"},
      {Slice{1, 2, 5}, R"({"id":0,"name":"o","kind":"slice","axis":1,"start":2,"end":5,"inputs":[0],"output":1})"},
      {LayerNorm{0.5F}, R"({"id":0,"name":"o","kind":"layer_norm","epsilon":0.5,"inputs":[0],"output":1})"},
      {ReduceMean{}, R"({"id":0,"name":"o","kind":"reduce_mean","inputs":[0],"output":1})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(ops_json({c.kind})[0].dump(), c.json);
  }
}

// A value of the field's type other than its default: 2 + position for a
// number, the list [2 + position, 1] for a list, "sample<position>" for a
// string, the enumerator of value 1 for an enumeration.
template <class Type>
Type sample(std::size_t position) {
  if constexpr (std::is_arithmetic_v<Type>) {
    return static_cast<Type>(2 + position);
  } else if constexpr (std::is_same_v<Type, std::string>) {
    return "sample" + std::to_string(position);
  } else if constexpr (std::is_enum_v<Type>) {
    return static_cast<Type>(1);
  } else {
    return Type{static_cast<typename Type::value_type>(2 + position), 1};
  }
}

// Every kind, walked from the kinds' own descriptions: the JSON of an
// operation carries each field of its kind under the field's name with the
// field's value, between "kind" and "inputs", and nothing else.
TEST(ScheduleJson, EveryKindCarriesEachOfItsFields) {
  for_each_op_kind([]<class Kind>(std::type_identity<Kind>) {
    SCOPED_TRACE(Kind::info.type_name);
    Kind kind{};
    std::size_t position = 0;
    for_each_field<Kind>([&](const auto& field) {
      kind.*field.member = sample<typename std::decay_t<decltype(field)>::value_type>(position++);
    });
    const nlohmann::ordered_json op = ops_json({kind})[0];
    std::vector<std::string> keys;
    for (const auto& [key, value] : op.items()) {
      keys.push_back(key);
    }
    std::vector<std::string> expected{"id", "name", "kind"};
    position = 0;
    for_each_field<Kind>([&](const auto& field) {
      SCOPED_TRACE(field.name);
      expected.emplace_back(field.name);
      ASSERT_TRUE(op.contains(field.name));
      EXPECT_EQ(op[field.name], nlohmann::ordered_json(kind.*field.member));
      EXPECT_EQ(op[field.name], nlohmann::ordered_json(
                                    sample<typename std::decay_t<decltype(field)>::value_type>(position++)));
    });
    expected.insert(expected.end(), {"inputs", "output"});
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(op["kind"], operation_name(kind));
  });
}

}  // namespace
}  // namespace orvo_compiler
