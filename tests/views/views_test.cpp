// Tests of the pictures of a schedule: the numbers as they label them, the
// SRAM map (well-formed SVG, one rectangle per allocation, labels that never
// overlap) and the HTML report (self-contained, escaped).
#include "orvo_compiler/views.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/small_schedule.hpp"
#include "support/xml_check.hpp"

namespace orvo_compiler {
namespace {

using test_support::attribute;
using test_support::count;
using test_support::elements;
using test_support::small_schedule;
using test_support::Small;
using test_support::xml_error;

double number(std::string_view element, std::string_view name) { return std::stod(attribute(element, name)); }

// ---- Text helpers ----------------------------------------------------------

TEST(OrvocVisualText, EscapesMarkupAndControlCharacters) {
  const struct Case {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"attention_softmax", "attention_softmax"},
      {R"(a<b>&"c"'d')", "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;"},
      {"tab\tline\nreturn\r", "tab\tline\nreturn\r"},
      {std::string("nul\0bell\x07", 9), "nul\xEF\xBF\xBD" "bell\xEF\xBF\xBD"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(xml_escape(c.text), c.escaped);
  }
}

TEST(OrvocVisualText, KibTextIsExact) {
  const struct Case {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 KiB"},         {16, "0.015625 KiB"}, {512, "0.5 KiB"},       {1024, "1 KiB"},
      {1536, "1.5 KiB"},    {9216, "9 KiB"},      {581632, "568 KiB"},    {1572864, "1,536 KiB"},
      {1025, "1.0009765625 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(kib_text(c.bytes), c.text);
  }
}

TEST(OrvocVisualText, ByteTicksArePowersOfTwo) {
  const struct Case {
    std::uint64_t span;
    std::uint64_t max_ticks;
    std::uint64_t step;
  } cases[] = {
      {0, 5, 16},          // nothing to show: the smallest step
      {100, 10, 16},       // 6 steps of 16
      {4096, 7, 1024},     // 4 steps; 512 would need 8
      {10598, 7, 2048},    // 5 steps; 1024 would need 10
      {581632, 10, 65536}, // 8 steps; 32768 would need 17
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.span);
    EXPECT_EQ(byte_tick_step(c.span, c.max_ticks), c.step);
  }
}

// ---- The memory map ------------------------------------------------------

TEST(OrvocMemoryMap, OneRectanglePerAllocationOfTheTile) {
  const Small small = small_schedule();
  const std::string svg = memory_map_svg(small.graph, small.schedule, small.options, 0);
  EXPECT_EQ(xml_error(svg), std::nullopt);
  EXPECT_TRUE(svg.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\""));

  const std::vector<std::string> pieces = elements(svg, R"(<rect class="allocation )");
  ASSERT_EQ(pieces.size(), 3U);
  EXPECT_EQ(attribute(pieces[0], "class"), "allocation input");
  EXPECT_EQ(attribute(pieces[1], "class"), "allocation weight");
  EXPECT_EQ(attribute(pieces[2], "class"), "allocation output");
  EXPECT_EQ(attribute(pieces[2], "data-tensor"), "2");
  // Three columns of 560 / 3 pixels; the 4 KiB window over 300 pixels, 75 per KiB.
  EXPECT_EQ(attribute(pieces[2], "x"), "84.0");
  EXPECT_EQ(attribute(pieces[2], "width"), "560.0");
  EXPECT_EQ(attribute(pieces[2], "y"), "167.0");  // 92 + 300 - 3 x 75
  EXPECT_EQ(attribute(pieces[2], "height"), "75.0");

  // Names in full (escaped) in the tooltips, and as labels where they fit.
  EXPECT_NE(svg.find("<title>y (Output)\n1,024 B at 0x1800 to 0x1BFF\n"
                     "live from phase 0 (compute y) to phase 2 (after the last phase)</title>"),
            std::string::npos);
  EXPECT_NE(svg.find("<title>w&lt;1&gt;&amp;&quot;q&quot; (Weight)\n1,024 B at 0x1400 to 0x17FF\n"
                     "live at phase 0 (compute y)</title>"),
            std::string::npos);
  EXPECT_EQ(count(svg, R"(<text class="label")"), 3U);
  EXPECT_NE(svg.find(R"(font-size="11.0">w&lt;1&gt;&amp;&quot;q&quot;</text>)"), std::string::npos);
  EXPECT_EQ(svg.find("w<1>"), std::string::npos);

  // The exchange shaded; the window's ends and the peak drawn and named.
  const std::vector<std::string> exchanges = elements(svg, R"(<rect class="exchange")");
  ASSERT_EQ(exchanges.size(), 1U);
  EXPECT_EQ(attribute(exchanges[0], "data-phase"), "1");
  for (const char* line : {R"(<line class="base")", R"(<line class="limit")", R"(<line class="peak")"}) {
    EXPECT_EQ(count(svg, line), 1U) << line;
  }
  for (const char* text : {">data base 0x1000</text>", ">data limit 0x2000</text>", ">peak 3 KiB (3,072 B)</text>",
                           ">0 KiB</text>", ">4 KiB</text>",
                           "peak 3,072 B, 75.0% of the 4,096 B window; most bytes live: 3,072 B at phase 0 "
                           "(compute y); 3 allocations"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
  // A full window needs no break in the address axis.
  EXPECT_EQ(count(svg, R"(class="axis-break")"), 0U);

  EXPECT_EQ(memory_map_svg(small.graph, small.schedule, small.options, 0), svg);
}

TEST(OrvocMemoryMap, OtherTilesAndForms) {
  const Small small = small_schedule();
  const std::string tile1 = memory_map_svg(small.graph, small.schedule, small.options, 1);
  EXPECT_EQ(xml_error(tile1), std::nullopt);
  EXPECT_EQ(count(tile1, R"(<rect class="allocation )"), 1U);
  EXPECT_NE(tile1.find("live from phase 1 (exchange) to phase 2 (after the last phase)"), std::string::npos);

  const struct Case {
    std::uint16_t tile;
    const char* message;
  } empty[] = {{2, "tile 2 holds no data"}, {7, "tile 7 is not among the 3 tiles"}};
  for (const Case& c : empty) {
    SCOPED_TRACE(c.tile);
    const std::string svg = memory_map_svg(small.graph, small.schedule, small.options, c.tile);
    EXPECT_EQ(xml_error(svg), std::nullopt);
    EXPECT_EQ(count(svg, R"(<rect class="allocation )"), 0U);
    EXPECT_EQ(count(svg, c.message), 2U);  // subtitle and plot
  }

  // Inline: for a page, which supplies namespace and style.
  const std::string inline_svg = memory_map_svg(small.graph, small.schedule, small.options, 0, SvgForm::Inline);
  EXPECT_EQ(xml_error(inline_svg), std::nullopt);
  EXPECT_TRUE(inline_svg.starts_with(R"(<svg class="memory-map" data-tile="0" )"));
  EXPECT_EQ(inline_svg.find("xmlns"), std::string::npos);
  EXPECT_EQ(inline_svg.find("<style>"), std::string::npos);
  EXPECT_EQ(count(inline_svg, R"(<rect class="allocation )"), 3U);

  // All maps at once: the tiles that hold data, each drawn as on its own.
  const std::vector<TileMap> maps = memory_maps(small.graph, small.schedule, small.options, SvgForm::Inline);
  ASSERT_EQ(maps.size(), 2U);
  EXPECT_EQ(maps[0].tile, 0U);
  EXPECT_EQ(maps[0].svg, inline_svg);
  EXPECT_EQ(maps[1].tile, 1U);
  EXPECT_EQ(maps[1].svg, memory_map_svg(small.graph, small.schedule, small.options, 1, SvgForm::Inline));
}

TEST(OrvocMemoryMap, AWideWindowIsBrokenAboveTheData) {
  Small small = small_schedule();
  small.options.data_limit = 0x11000;  // 64 KiB, of which 3 KiB are used
  const std::string svg = memory_map_svg(small.graph, small.schedule, small.options, 0);
  EXPECT_EQ(xml_error(svg), std::nullopt);
  EXPECT_EQ(count(svg, R"(class="axis-break")"), 2U);
  // The scale ends on the first 512 B tick above 3 KiB plus a seventh.
  EXPECT_NE(svg.find(">3.5 KiB</text>"), std::string::npos);
  EXPECT_EQ(svg.find(">4 KiB</text>"), std::string::npos);
  EXPECT_NE(svg.find(">data limit 0x11000</text>"), std::string::npos);
  EXPECT_NE(svg.find(">64 KiB above base, off scale</text>"), std::string::npos);
}

TEST(OrvocMemoryMap, APieceTooSmallForItsNameKeepsOnlyItsTooltip) {
  Small small = small_schedule();
  small.schedule.allocations[1].size = 16;
  const std::string svg = memory_map_svg(small.graph, small.schedule, small.options, 0);
  EXPECT_EQ(count(svg, R"(<rect class="allocation )"), 3U);
  EXPECT_EQ(count(svg, R"(<text class="label")"), 2U);
  EXPECT_NE(svg.find("<title>w&lt;1&gt;&amp;&quot;q&quot; (Weight)\n16 B at 0x1400 to 0x140F\n"), std::string::npos);
}

// Every label lies inside its own piece, so no two labels overlap. A glyph
// box reaches 0.75 em above the baseline and 0.25 em below; the label font
// averages 0.55 em per character on these names, 0.56 em is counted.
void expect_labels_apart(const std::string& svg) {
  struct Box {
    double left, top, right, bottom;
  };
  std::vector<Box> boxes;
  for (std::size_t group = svg.find("<g><title>"); group != std::string::npos;
       group = svg.find("<g><title>", group + 1)) {
    const std::size_t end = svg.find("</g>", group);
    const std::string_view body = std::string_view(svg).substr(group, end - group);
    const std::vector<std::string> rects = elements(body, "<rect ");
    const std::vector<std::string> labels = elements(body, R"(<text class="label")");
    ASSERT_EQ(rects.size(), 1U);
    if (labels.empty()) {
      continue;
    }
    const std::string& rect = rects[0];
    const std::string& label = labels[0];
    const std::size_t text_start = body.find(label) + label.size();
    const double characters = static_cast<double>(body.find("</text>", text_start) - text_start);
    const double font = number(label, "font-size");
    const double x = number(label, "x");
    const double baseline = number(label, "y");
    const Box box{x, baseline - 0.75 * font, x + characters * font * 0.56, baseline + 0.25 * font};
    EXPECT_GE(box.left, number(rect, "x"));
    EXPECT_LE(box.right, number(rect, "x") + number(rect, "width") + 0.5);
    EXPECT_GE(box.top, number(rect, "y") - 0.5);
    EXPECT_LE(box.bottom, number(rect, "y") + number(rect, "height") + 0.5);
    boxes.push_back(box);
  }
  EXPECT_GT(boxes.size(), 50U);
  for (std::size_t a = 0; a < boxes.size(); ++a) {
    for (std::size_t b = a + 1; b < boxes.size(); ++b) {
      const bool apart = boxes[a].right <= boxes[b].left || boxes[b].right <= boxes[a].left ||
                         boxes[a].bottom <= boxes[b].top || boxes[b].bottom <= boxes[a].top;
      ASSERT_TRUE(apart) << "labels " << a << " and " << b << " overlap";
    }
  }
}

TEST(OrvocMemoryMap, TwelveLayersStayLegible) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{}, 12);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const CompilerOptions options;
  const Result<Schedule> schedule = compile(*graph, options);
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const std::string svg = memory_map_svg(*graph, *schedule, options, 0);
  EXPECT_EQ(xml_error(svg), std::nullopt);
  // 1 input, 72 weights, 180 intermediate and output pieces.
  EXPECT_EQ(count(svg, R"(<rect class="allocation )"), 253U);
  EXPECT_EQ(count(svg, R"(<rect class="allocation weight")"), 72U);
  EXPECT_NE(svg.find(">l11.w2</text>"), std::string::npos);
  expect_labels_apart(svg);
}

// ---- The report ------------------------------------------------------------

TEST(OrvocReport, SelfContainedAndEscaped) {
  const Small small = small_schedule();
  const std::string html = report_html(Workload{}, small.options, small.graph, small.schedule, 1);
  EXPECT_TRUE(html.starts_with("<!DOCTYPE html>\n<html lang=\"en\">"));
  EXPECT_TRUE(html.ends_with("</body>\n</html>\n"));
  // Nothing to fetch: no address of anywhere else, no linked files.
  for (const char* outside : {"http:", "https:", "ftp:", "//", "<link", " src=", "@import", "url("}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  EXPECT_EQ(html.find("w<1>"), std::string::npos);
  EXPECT_NE(html.find(R"(<body data-tile-count="3" data-default-tile="1">)"), std::string::npos);

  // A map for each tile that holds data, in a template the script clones.
  EXPECT_EQ(count(html, "<template id=\"map-tile-0\">\n<svg class=\"memory-map\" data-tile=\"0\""), 1U);
  EXPECT_EQ(count(html, "<template id=\"map-tile-1\">\n<svg class=\"memory-map\" data-tile=\"1\""), 1U);
  EXPECT_EQ(count(html, "<template id="), 2U);
  EXPECT_EQ(count(html, R"(<rect class="allocation )"), 4U);
  EXPECT_NE(html.find(R"(<option value="0">tile 0, peak 3,072 B</option>)"), std::string::npos);
  EXPECT_NE(html.find(R"(<option value="1">tile 1, peak 1,024 B</option>)"), std::string::npos);
  // Bars for the two tiles with a peak.
  EXPECT_EQ(count(html, R"(<rect class="bar" )"), 2U);
  EXPECT_NE(html.find("<title>tile 0: peak 3,072 B</title>"), std::string::npos);

  // The phases with their transfers and commands.
  EXPECT_NE(html.find(R"(<details class="phase compute" data-phase="0"><summary><span class="kind">phase 0</span> )"
                      R"(compute y (add): 2 commands</summary>)"),
            std::string::npos);
  EXPECT_NE(html.find(R"(<details class="phase exchange" data-phase="1"><summary><span class="kind">phase 1</span> )"
                      R"(exchange: 2 transfers, 1,536 B</summary>)"),
            std::string::npos);
  EXPECT_NE(html.find(R"(<tr><td>tile 0</td><td>y</td><td>x, w&lt;1&gt;&amp;&quot;q&quot;</td><td>add</td>)"
                      R"(<td>[256]</td><td class="number">1</td><td>tail</td></tr>)"),
            std::string::npos);
  EXPECT_NE(html.find(R"(<tr><td>tile 1</td><td>tile 0</td><td>x</td><td class="number">512</td></tr>)"),
            std::string::npos);
  EXPECT_NE(html.find(R"(<input type="search" id="phase-search")"), std::string::npos);

  EXPECT_EQ(report_html(Workload{}, small.options, small.graph, small.schedule, 1), html);
}

TEST(OrvocReport, DefaultEncoderHasEveryTile) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const CompilerOptions options;
  const Result<Schedule> schedule = compile(*graph, options);
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const std::string html = report_html(Workload{}, options, *graph, *schedule, 0);
  EXPECT_EQ(html.find("http"), std::string::npos);
  EXPECT_EQ(count(html, "<template id="), 64U);
  EXPECT_EQ(count(html, R"(<rect class="allocation )"), 360U);
  EXPECT_EQ(count(html, R"(<rect class="bar" )"), 64U);
  EXPECT_EQ(count(html, "<details class=\"phase "), 17U);
  EXPECT_NE(html.find("<pre class=\"summary\">workload:     encoder, sequence 32, hidden 64, heads 4, "
                      "feed-forward 256, 1 layer\n"),
            std::string::npos);
  EXPECT_NE(html.find("worst tile:   tile 0, peak 9,216 B, lower bound 9,216 B (live at phase 1)\n</pre>"),
            std::string::npos);
}

}  // namespace
}  // namespace orvo_compiler
