// Tests of the markup checks the picture tests rely on: the well-formedness
// reader names the first fault, and the text helpers find what they are asked for.
#include "support/xml_check.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orvo_compiler::test_support {
namespace {

TEST(OrvocVisualChecker, RejectsWhatIsNotWellFormed) {
  EXPECT_EQ(xml_error(R"(<?xml version="1.0"?><a x="1"><b/>t &amp; &#39;</a>)"), std::nullopt);
  const struct Case {
    const char* document;
    const char* error;
  } cases[] = {
      {"<a><b></a></b>", "unbalanced </a> at 6"},
      {"<a>", "<a> never closed"},
      {"<a/><b/>", "2 root elements"},
      {"<a>x & y</a>", "bad reference in '& y'"},
      {R"(<a x="<"/>)", "'<' in an attribute of <a>"},
      {"<a x=1/>", "malformed attribute in <a> at 3"},
      {"<a/><?xml?>", "misplaced declaration"},
      {"<a>< b/></a>", "tag without a name at 3"},
      {R"(<a x="1")", "unterminated <a>"},
      {R"(<a x="1/>)", "unterminated attribute in <a>"},
      {R"(<a x="&bad"/>)", "bad reference in '&bad'"},
      {"text", "0 root elements"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(xml_error(c.document), c.error);
  }
}

TEST(OrvocVisualChecker, FindsElementsAndAttributes) {
  const std::string svg = R"(<g><rect class="a b" x="1.5"/><rect class="c"/><rectangle/></g>)";
  EXPECT_EQ(count(svg, "<rect"), 3U);
  EXPECT_EQ(count("aaaa", "aa"), 2U);
  EXPECT_EQ(elements(svg, "<rect "),
            (std::vector<std::string>{R"(<rect class="a b" x="1.5"/>)", R"(<rect class="c"/>)"}));
  EXPECT_EQ(attribute(R"(<rect class="a b" x="1.5"/>)", "class"), "a b");
  EXPECT_EQ(attribute(R"(<rect class="a b" x="1.5"/>)", "x"), "1.5");
  EXPECT_EQ(attribute(R"(<rect class="a b" x="1.5"/>)", "y"), "");
}

}  // namespace
}  // namespace orvo_compiler::test_support
