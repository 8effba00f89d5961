// Tests of orvoc_core, the command-line compiler's building blocks: number
// text, tile streams and the staged output files. Built only when the tool is
// (orvoc_core linked in).
#if __has_include("orvoc_core.hpp")

#include "orvoc_core.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
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

TEST(OrvocProgress, QuickStagesAreBlankedAndSlowOnesKeepTheirTime) {
  using Seconds = std::chrono::duration<double>;
  const std::string blank_compiling = "\r" + std::string(46, ' ') + "\r";
  const struct Case {
    const char* name;
    bool enabled;
    std::string stage;
    double seconds;
    std::string expected;
  } cases[] = {
      {"a quick stage leaves only blanks", true, "compiling 15 operations for 64 tiles", 0.2,
       "orvoc: compiling 15 operations for 64 tiles..." + blank_compiling},
      {"a slow stage keeps its line", true, "compiling 15 operations for 64 tiles", 2.34,
       "orvoc: compiling 15 operations for 64 tiles... 2.3 s\n"},
      {"a second is slow", true, "evaluating", 1.0, "orvoc: evaluating... 1.0 s\n"},
      {"control characters show as ?", true, "importing a\nb\r.onnx", 1.5, "orvoc: importing a?b?.onnx... 1.5 s\n"},
      // 57 bytes kept: 56 ASCII, then a two-byte character that would end past them.
      {"a long stage is cut at a character", true, "importing " + std::string(46, 'm') + "\xC3\xA9" + "x.onnx", 3,
       "orvoc: importing " + std::string(46, 'm') + "...... 3.0 s\n"},
      {"disabled, nothing", false, "evaluating", 5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out;
    Progress progress(out, c.enabled);
    progress.start(c.stage);
    progress.finish(Seconds(c.seconds));
    // A finish without a stage open writes nothing.
    progress.finish(Seconds(c.seconds));
    EXPECT_EQ(out.str(), c.expected);
  }
}

TEST(OrvocProgress, RunGivesTheWorksResult) {
  std::ostringstream out;
  Progress progress(out, true);
  EXPECT_EQ(progress.run("adding", [] { return 2 + 3; }), 5);
  EXPECT_TRUE(out.str().starts_with("orvoc: adding..."));
  // --quiet, whatever standard error is.
  EXPECT_FALSE(progress_wanted(true));
}

}  // namespace
}  // namespace orvo_compiler::orvoc

#endif
