// Tests of orvoc_core, the command-line compiler's building blocks: number
// text, statistics, the JSON form, tile streams, the memory diagnosis and the
// staged output files. Built only when the tool is (orvoc_core linked in).
#if __has_include("orvoc_core.hpp")

#include "orvoc_core.hpp"
#include "orvo_compiler/schedule_json.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orvo_compiler::orvoc {
namespace {

TEST(OrvocText, GroupsThousandsWithCommas) {
  const struct Case {
    std::uint64_t value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {9216, "9,216"},
      {581632, "581,632"},
      {1234567, "1,234,567"},
      {std::numeric_limits<std::uint64_t>::max(), "18,446,744,073,709,551,615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(group_thousands(c.value), c.text);
  }
}

TEST(OrvocText, ParsesDecimalAndHexOnly) {
  const struct Case {
    const char* text;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", 0},
      {"335872", 335872},
      {"0x52000", 0x52000},
      {"0XE0000", 0xE0000},
      {"0xffffffff", 0xFFFFFFFF},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"18446744073709551616", std::nullopt},
      {"0x10000000000000000", std::nullopt},
      {"", std::nullopt},
      {"0x", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"12x", std::nullopt},
      {"0x1g", std::nullopt},
      {"1e3", std::nullopt},
      {"0b1", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_unsigned(c.text), c.value);
  }
}

TEST(OrvocText, OptionNumberNamesTheOptionInItsError) {
  EXPECT_EQ(option_number("--tiles", "0x40", 1, 65535), 64U);
  EXPECT_EQ(option_number("--tiles", "65535", 1, 65535), 65535U);
  EXPECT_EQ(option_number("--tiles", "0", 1, 65535).error(), "--tiles: 0 is out of range (1 to 65,535)");
  EXPECT_EQ(option_number("--tiles", "65536", 1, 65535).error(), "--tiles: 65536 is out of range (1 to 65,535)");
  EXPECT_EQ(option_number("--tiles", "six", 1, 65535).error(),
            "--tiles: 'six' is not an unsigned number (decimal or 0x-hex)");
  EXPECT_EQ(option_number("--tiles", "99999999999999999999", 1, 65535).error(),
            "--tiles: 99999999999999999999 is out of range (1 to 65,535)");
  constexpr std::uint64_t any = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(option_number("--layers", "0", 1, any).error(), "--layers: 0 is out of range (at least 1)");
  EXPECT_EQ(option_number("--layers", "99999999999999999999", 1, any).error(),
            "--layers: 99999999999999999999 is too large");
}

TEST(OrvocText, HexAddressesUseLowerCasePrefixAndUpperCaseDigits) {
  EXPECT_EQ(hex_address(0x52000), "0x52000");
  EXPECT_EQ(hex_address(0xE0000), "0xE0000");
  EXPECT_EQ(hex_address(0), "0x0");
  EXPECT_EQ(hex_address(0xFFFFFFFF), "0xFFFFFFFF");
}

TEST(OrvocStatistics, PeakRunsGroupEqualNeighboursAndTilesWithoutData) {
  Schedule schedule;
  schedule.tile_count = 6;
  schedule.peak_sram = {{0, 96}, {1, 96}, {2, 48}, {4, 48}, {5, 48}};
  const std::vector<TileRun> expected = {
      {0, 1, 96},
      {2, 2, 48},
      {3, 3, std::nullopt},
      {4, 5, 48},
  };
  EXPECT_EQ(peak_runs(schedule), expected);
}

// One tile, alignment 16: A 112 B live 0..0, B 64 B 0..0, C 48 B 0..1,
// D 48 B 1..2, and a piece on another tile that must not count.
Schedule small_schedule() {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {Exchange{}, Exchange{}, Exchange{}};
  schedule.allocations = {
      {TensorId{0}, 0, 0, 112, 0, 0}, {TensorId{1}, 0, 112, 64, 0, 0}, {TensorId{2}, 0, 176, 48, 0, 1},
      {TensorId{3}, 0, 0, 48, 1, 2},  {TensorId{4}, 1, 0, 4096, 0, 3},
  };
  return schedule;
}

TEST(OrvocStatistics, LivePeakIsTheMostBytesLiveAtOnePhase) {
  const Schedule schedule = small_schedule();
  // Phase 0: A + B + C = 224; phase 1: C + D = 96; phase 2: D = 48.
  EXPECT_EQ(live_peak(schedule, 0), (LivePeak{0, 224}));
  // The other tile's piece is live up to phase 3, one past the last phase.
  EXPECT_EQ(live_peak(schedule, 1), (LivePeak{0, 4096}));
  const std::vector<LivePeak> all = live_peaks(schedule);
  EXPECT_EQ(all, (std::vector<LivePeak>{{0, 224}, {0, 4096}}));

  const std::vector<Allocation> live = live_allocations(schedule, 0, 1);
  ASSERT_EQ(live.size(), 2U);
  EXPECT_EQ(live[0].tensor, TensorId{2});
  EXPECT_EQ(live[1].tensor, TensorId{3});
}

TEST(OrvocStatistics, DefaultEncoderFigures) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();

  ScheduleStatistics expected;
  expected.tensors = 22;
  expected.operations = 15;
  expected.phases = 17;
  expected.exchange_phases = 2;
  expected.compute_phases = 15;
  expected.transfers = 4 + 24;
  expected.transfer_bytes = 28 * 1024;
  expected.kernel_commands = 160;
  expected.allocations = 360;
  // At phase 1 (q) tile 0 holds the input, the six weights, norm1 and q.
  expected.worst_tile = WorstTile{0, 9216, LivePeak{1, 9 * 1024}};
  EXPECT_EQ(schedule_statistics(*graph, *schedule), expected);

  EXPECT_EQ(phase_description(*graph, *schedule, 6), "compute attention_softmax");
  EXPECT_EQ(phase_description(*graph, *schedule, 7), "exchange for attention_context");
  EXPECT_EQ(phase_description(*graph, *schedule, 17), "after the last phase");
}

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

TEST(OrvocJson, RecordsKeepTheLibraryFieldNamesAndOrder) {
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

TEST(OrvocStreams, WireFormOfTheWorkedExample) {
  // Phase 0: tensor 3 (256 B) from tile 0 to tiles 1 and 2; phase 1: op 1 on
  // tiles 1 and 2, output 5 from inputs 3 and 4.
  Schedule schedule;
  schedule.tile_count = 4;
  const KernelCommand on_tile_1{1, TensorId{5}, {TensorId{3}, TensorId{4}}, {}};
  const KernelCommand on_tile_2{2, TensorId{5}, {TensorId{3}, TensorId{4}}, {}};
  schedule.phases = {Exchange{{Transfer{0, 1, TensorId{3}, 256}, Transfer{0, 2, TensorId{3}, 256}}},
                     Compute{OpId{1}, {on_tile_1, on_tile_2}}};

  const std::vector<std::uint8_t> expected = {
      0x01, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0,
      0x03, 0, 0, 0, 0x00, 1, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0,  // exchange 0 -> 1, 256 bytes
      0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x05, 0, 0, 0,
      0x02, 0, 0, 0, 0x03, 0, 0, 0, 0x04, 0, 0, 0, 0x00, 0, 0, 0,  // compute op 1
      0xFF, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0,
      0x00, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0, 0x00, 0, 0, 0,  // end
  };
  EXPECT_EQ(tile_stream_bytes(schedule, 1), expected);
  EXPECT_EQ(tile_stream_bytes(schedule, 3)->size(), 32U);
  EXPECT_EQ(tile_stream_bytes(schedule, 4).error(), CompileError::graph("tile 4 is out of range"));

  EXPECT_EQ(stream_file_name(0), "tile-0000.bin");
  EXPECT_EQ(stream_file_name(63), "tile-0063.bin");
  EXPECT_EQ(stream_file_name(65534), "tile-65534.bin");
}

TEST(OrvocDiagnosis, NamesTheTileThePhaseAndTheWindowThatFits) {
  // x (1 KiB, read at phase 0) and y = gelu(x) (the output) share tile 0 at
  // phase 0; a 1,536 B window holds only x.
  Graph graph;
  const TensorId x = graph.input("x", {256});
  graph.mark_output(*graph.gelu("y", x));
  const CompilerOptions options{1, 0x1000, 0x1600};
  const Result<Schedule> failed = compile(graph, options);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), CompileError::memory("tile 0 exceeds data limit allocating y"));

  const std::vector<std::string> expected = {
      "tile 0 has a data window of 1,536 B (0x1000 to 0x1600); its live data peaks at phase 0 (compute y) with "
      "2,048 B, 512 B more than the window holds",
      "largest tensors live on tile 0 at phase 0: x 1,024 B, y 1,024 B",
      "the schedule fits a data window of 2,048 B per tile: --data-limit 0x1800 or higher",
  };
  EXPECT_EQ(diagnose_memory_error(graph, options, failed.error()), expected);
}

TEST(OrvocDiagnosis, ExplainsAFailureWithinTheWindow) {
  // On one tile: x 1 KiB live 0..0, y 1 KiB 0..1 at +1,024, z 2 KiB 1..2. At
  // phase 1 y and z need 3,072 B, the whole window, but y sits in its middle.
  Graph graph;
  const TensorId x = graph.input("x", {256});
  const Result<TensorId> y = graph.gelu("y", x);
  const Result<TensorId> z = graph.op("z", Gelu{}, {*y}, {512});
  graph.mark_output(*z);
  const CompilerOptions options{1, 0, 3072};
  const Result<Schedule> failed = compile(graph, options);
  ASSERT_FALSE(failed.has_value());
  ASSERT_EQ(failed.error(), CompileError::memory("tile 0 exceeds data limit allocating z"));

  const std::vector<std::string> expected = {
      "tile 0 has a data window of 3,072 B (0x0 to 0xC00); its live data peaks at phase 1 (compute z) with "
      "3,072 B, as much as the window holds, but placed pieces never move and the gaps between them leave no room",
      "largest tensors live on tile 0 at phase 1: z 2,048 B, y 1,024 B",
      "the schedule fits a data window of 4,096 B per tile: --data-limit 0x1000 or higher",
  };
  EXPECT_EQ(diagnose_memory_error(graph, options, failed.error()), expected);
}

TEST(OrvocDiagnosis, SaysNothingAboutOtherErrors) {
  Graph graph;
  graph.mark_output(graph.input("x", {256}));
  EXPECT_TRUE(diagnose_memory_error(graph, CompilerOptions{}, CompileError::graph("invalid compiler options")).empty());
  // A graph the widest window cannot compile either leaves the message alone.
  EXPECT_TRUE(diagnose_memory_error(Graph{}, CompilerOptions{}, CompileError::memory("address overflow")).empty());
}

TEST(OrvocFiles, FloatsAreLittleEndianFloat32) {
  const std::vector<float> values = {1.0F, -2.5F};
  const std::vector<std::uint8_t> bytes = float_bytes(values);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0}));
  EXPECT_EQ(floats_from_bytes(bytes), values);
  EXPECT_EQ(floats_from_bytes(std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x3F, 0x00}), std::nullopt);
  EXPECT_EQ(floats_from_bytes(std::vector<std::uint8_t>{}), std::vector<float>{});
}

std::filesystem::path fresh_directory(const std::string& name) {
  const std::filesystem::path directory =
      std::filesystem::path(::testing::TempDir()) / ("orvoc_core_test_" + std::to_string(::getpid())) / name;
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  return directory;
}

std::vector<std::filesystem::path> entries(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    found.push_back(entry.path().filename());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(OrvocFiles, StagedFilesAppearOnlyOnCommit) {
  const std::filesystem::path directory = fresh_directory("commit");
  const std::vector<std::uint8_t> bytes = {'o', 'k'};
  {
    StagedFiles staged;
    ASSERT_TRUE(staged.stage(directory / "a.bin", bytes).has_value());
    ASSERT_TRUE(staged.stage(directory / "b.bin", bytes).has_value());
    EXPECT_EQ(entries(directory).size(), 2U);  // the temporary files
    EXPECT_FALSE(std::filesystem::exists(directory / "a.bin"));
    ASSERT_TRUE(staged.commit().has_value());
  }
  EXPECT_EQ(entries(directory), (std::vector<std::filesystem::path>{"a.bin", "b.bin"}));
  EXPECT_EQ(read_file(directory / "a.bin"), bytes);
  std::filesystem::remove_all(directory);
}

TEST(OrvocFiles, UncommittedFilesAreRemovedAndOldOnesKept) {
  const std::filesystem::path directory = fresh_directory("abandon");
  std::ofstream(directory / "old.bin") << "old";
  {
    StagedFiles staged;
    ASSERT_TRUE(staged.stage(directory / "old.bin", std::vector<std::uint8_t>{'n', 'e', 'w'}).has_value());
    ASSERT_TRUE(staged.stage(directory / "new.bin", std::vector<std::uint8_t>{'n', 'e', 'w'}).has_value());
    const auto failed = staged.stage(directory / "missing" / "c.bin", std::vector<std::uint8_t>{});
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(),
              "cannot write " + (directory / "missing" / "c.bin").string() + ": No such file or directory");
  }
  EXPECT_EQ(entries(directory), (std::vector<std::filesystem::path>{"old.bin"}));
  EXPECT_EQ(read_file(directory / "old.bin"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  std::filesystem::remove_all(directory);
}

TEST(OrvocFiles, ReadFileNamesThePathOnFailure) {
  const std::filesystem::path directory = fresh_directory("read");
  EXPECT_EQ(read_file(directory / "absent.bin").error(),
            "cannot read " + (directory / "absent.bin").string() + ": No such file or directory");
  EXPECT_EQ(read_file(directory).error(), "cannot read " + directory.string() + ": it is a directory");
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace orvo_compiler::orvoc

#endif
