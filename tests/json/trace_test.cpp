// Tests of the schedule as trace events: one slice per busy tile and phase,
// one named track per busy tile, one event per line.
#include "orvo_compiler/schedule_json.hpp"

#include <string>

#include <gtest/gtest.h>

#include "support/small_schedule.hpp"
#include "support/xml_check.hpp"

namespace orvo_compiler {
namespace {

using test_support::count;
using test_support::small_schedule;
using test_support::Small;

TEST(OrvocTrace, OneSlicePerBusyTileAndPhase) {
  const Small small = small_schedule();
  const std::string text = trace_json(small.graph, small.schedule);
  const nlohmann::ordered_json trace = nlohmann::ordered_json::parse(text);
  const nlohmann::ordered_json& events = trace["traceEvents"];
  // The process, two tracks named and ordered, then phase 0 on tile 0 and
  // phase 1 on tiles 0 and 1.
  ASSERT_EQ(events.size(), 8U);
  EXPECT_EQ(events[0].dump(), R"({"name":"process_name","ph":"M","pid":0,"tid":0,"args":{"name":"orvoc schedule"}})");
  EXPECT_EQ(events[3].dump(), R"({"name":"thread_name","ph":"M","pid":0,"tid":1,"args":{"name":"tile 1"}})");
  EXPECT_EQ(events[4].dump(), R"({"name":"thread_sort_index","ph":"M","pid":0,"tid":1,"args":{"sort_index":1}})");
  // Two commands on one tile make one slice.
  EXPECT_EQ(events[5].dump(),
            R"({"name":"y","cat":"compute","ph":"X","ts":0,"dur":1,"pid":0,"tid":0,"args":{"phase":0,)"
            R"("operation":"add","output":{"tensor":"y","bytes":1024},"inputs":[{"tensor":"x","bytes":1024},)"
            R"({"tensor":"w<1>&\"q\"","bytes":1024}],"shape":[256],"worker_count":1,"role":"tail",)"
            R"("further_commands":[{"phase":0,"operation":"add","output":{"tensor":"y","bytes":1024},)"
            R"("inputs":[{"tensor":"w<1>&\"q\"","bytes":1024},{"tensor":"x","bytes":1024}],"shape":[256],)"
            R"("worker_count":1,"role":"tail"}]}})");
  // A tile that sends and receives in one exchange.
  EXPECT_EQ(events[6].dump(),
            R"({"name":"exchange","cat":"exchange","ph":"X","ts":1,"dur":1,"pid":0,"tid":0,"args":{"phase":1,)"
            R"("bytes_sent":1024,"bytes_received":512,"sends":[{"tensor":"y","to_tile":1,"bytes":1024}],)"
            R"("receives":[{"tensor":"x","from_tile":1,"bytes":512}]}})");
  EXPECT_EQ(events[7]["tid"], 1);
  EXPECT_EQ(trace["otherData"]["time"], "one phase lasts 1 us; there is no cost model");
  // One event per line.
  EXPECT_EQ(count(text, "\n"), 12U);
  EXPECT_EQ(trace_json(small.graph, small.schedule), text);
}

TEST(OrvocTrace, DefaultEncoder) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const nlohmann::ordered_json events = nlohmann::ordered_json::parse(trace_json(*graph, *schedule))["traceEvents"];

  // 160 commands, one per tile and compute phase; phase 7: tiles 0-3 send to
  // 4-7; phase 12: tiles 0-7 send to 8-31. Tiles 0-31 are busy: 32 tracks.
  std::size_t slices = 0;
  std::size_t exchange_slices = 0;
  for (const nlohmann::ordered_json& event : events) {
    if (event["ph"] == "X") {
      ++slices;
      exchange_slices += event["name"] == "exchange" ? 1U : 0U;
    }
  }
  EXPECT_EQ(slices, 200U);
  EXPECT_EQ(exchange_slices, 40U);
  EXPECT_EQ(events.size(), 200U + 1 + 2 * 32);

  bool found_exchange = false;
  bool found_compute = false;
  for (const nlohmann::ordered_json& event : events) {
    if (event["ph"] != "X") {
      continue;
    }
    if (event["ts"] == 7 && event["tid"] == 3) {
      found_exchange = true;
      EXPECT_EQ(event["args"].dump(),
                R"({"phase":7,"bytes_sent":1024,"bytes_received":0,)"
                R"("sends":[{"tensor":"attention_softmax","to_tile":7,"bytes":1024}],"receives":[]})");
    }
    if (event["ts"] == 16 && event["tid"] == 7) {
      found_compute = true;
      EXPECT_EQ(event["name"], "ffn_residual");
      EXPECT_EQ(event["args"].dump(),
                R"({"phase":16,"operation":"add","output":{"tensor":"ffn_residual","bytes":1024},)"
                R"("inputs":[{"tensor":"attention_residual","bytes":1024},{"tensor":"ffn_down","bytes":1024}],)"
                R"("shape":[32,64],"worker_count":6,"role":"tail"})");
    }
  }
  EXPECT_TRUE(found_exchange);
  EXPECT_TRUE(found_compute);
}

}  // namespace
}  // namespace orvo_compiler
