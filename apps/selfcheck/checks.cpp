// The three self-checks. Each builds everything it uses from scratch, so they
// share no state and give the same outcome in any order.
#include "checks.hpp"

#include <cmath>
#include <cstdint>
#include <source_location>
#include <utility>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/orvo_compiler.hpp"

namespace orvo_compiler::selfcheck {
namespace {

// Bytes of the default data window, 0x52000 to 0xE0000.
constexpr std::uint32_t default_window_bytes = 0x8E000;

void encoder_graph_compiles_deterministically() {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> first = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(first.has_value()) << first.error();
  const Result<Schedule> second = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(*first, *second);
  ASSERT_EQ(graph->ops.size(), 15U);
  ASSERT_GE(first->phases.size(), graph->ops.size());
  for (const auto& [tile, bytes] : first->peak_sram) {
    ASSERT_LT(bytes, default_window_bytes) << "peak SRAM of tile " << tile;
  }
  const Result<std::vector<EncodedTileCommand>> commands = first->tile_commands(0);
  ASSERT_TRUE(commands.has_value()) << commands.error();
  ASSERT_FALSE(commands->empty());
  ASSERT_EQ(commands->back().words[command_word::kind], std::to_underlying(CommandKind::End));
  ASSERT_EQ(commands->back().to_le_bytes().size(), 32U);
}

void encoder_reference_is_finite_and_repeatable(float expected_checksum) {
  const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  }
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const Result<std::vector<float>> first = encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value()) << first.error();
  const Result<std::vector<float>> second = encoder_reference(config, input, weights);
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(*first, *second);
  float sum = 0.0F;
  for (const float value : *first) {
    ASSERT_TRUE(std::isfinite(value)) << "reference output holds " << value;
    sum += value;
  }
  if (!(std::fabs(sum - expected_checksum) < 1e-4F)) {
    FAIL() << fmt::format("\tchecksum={}", sum);
  }
}

void live_allocations_do_not_overlap() {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const std::vector<Allocation>& allocations = schedule->allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& left = allocations[i];
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& right = allocations[j];
      if (left.tile != right.tile ||
          !lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        continue;
      }
      ASSERT_TRUE(left.address + left.size <= right.address || right.address + right.size <= left.address)
          << left << " overlaps " << right;
    }
  }
}

Check make_check(std::string name, std::function<void()> run,
                 std::source_location location = std::source_location::current()) {
  return Check{std::move(name), location.file_name(), static_cast<int>(location.line()), std::move(run)};
}

class CheckTest : public ::testing::Test {
 public:
  explicit CheckTest(std::function<void()> run) : run_(std::move(run)) {}
  void TestBody() override { run_(); }

 private:
  std::function<void()> run_;
};

}  // namespace

std::vector<Check> checks(Expectations expectations) {
  std::vector<Check> table;
  table.push_back(make_check("encoder_graph_compiles_deterministically", encoder_graph_compiles_deterministically));
  table.push_back(make_check("encoder_reference_is_finite_and_repeatable", [expectations] {
    encoder_reference_is_finite_and_repeatable(expectations.reference_checksum);
  }));
  table.push_back(make_check("live_allocations_do_not_overlap", live_allocations_do_not_overlap));
  return table;
}

void register_checks(const std::vector<Check>& table) {
  for (const Check& check : table) {
    ::testing::RegisterTest("tests", check.name.c_str(), nullptr, nullptr, check.file.c_str(), check.line,
                            [run = check.run]() -> ::testing::Test* { return new CheckTest(run); });
  }
}

}  // namespace orvo_compiler::selfcheck
