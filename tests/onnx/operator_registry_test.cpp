// The operator registry against the operator table of docs/onnx.md (every
// operator and its opsets in both), each registration's forms usable by the
// passes, and the lookup by domain and opset.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/operator_registry.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using Opsets = std::pair<std::int64_t, std::int64_t>;

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> result;
  std::stringstream stream(row);
  std::string cell;
  std::getline(stream, cell, '|');  // before the first bar
  while (std::getline(stream, cell, '|')) {
    result.push_back(trimmed(cell));
  }
  return result;
}

// Each operator of the table under "## Operators" with its "first-last"
// opsets; a row naming several operators gives each the same opsets.
std::map<std::string, Opsets> documented_operators() {
  const std::filesystem::path root =
      std::filesystem::path(ORVO_ONNX_FIXTURES).parent_path().parent_path().parent_path();
  std::ifstream file(root / "docs" / "onnx.md");
  EXPECT_TRUE(file) << "cannot read docs/onnx.md";
  std::map<std::string, Opsets> documented;
  std::string line;
  while (std::getline(file, line) && line != "## Operators") {
  }
  while (std::getline(file, line) && !line.starts_with("| Operator | Opsets |")) {
  }
  std::getline(file, line);  // the separator
  while (std::getline(file, line) && line.starts_with("|")) {
    const std::vector<std::string> row = cells(line);
    EXPECT_GE(row.size(), 2U) << line;
    if (row.size() < 2) {
      continue;
    }
    const auto dash = row[1].find('-');
    EXPECT_NE(dash, std::string::npos) << line;
    const Opsets opsets{std::stoll(row[1].substr(0, dash)), std::stoll(row[1].substr(dash + 1))};
    std::stringstream names(row[0]);
    std::string name;
    while (std::getline(names, name, ',')) {
      EXPECT_TRUE(documented.emplace(trimmed(name), opsets).second) << trimmed(name) << " is listed twice";
    }
  }
  return documented;
}

TEST(OperatorRegistry, MatchesTheDocumentedTable) {
  std::map<std::string, Opsets> registered;
  for (const Registration& registration : registered_operators()) {
    ASSERT_FALSE(registration.forms.empty()) << registration.op_type;
    registered.emplace(std::string(registration.op_type),
                       Opsets{registration.forms.front().opsets.first, registration.forms.back().opsets.last});
  }
  EXPECT_EQ(registered.size(), registered_operators().size()) << "an operator is registered twice";
  const std::map<std::string, Opsets> documented = documented_operators();
  // Each side's operators the other lacks or gives other opsets.
  const auto missing_from = [](const std::map<std::string, Opsets>& from, const std::map<std::string, Opsets>& other) {
    std::vector<std::string> missing;
    for (const auto& [name, opsets] : from) {
      const auto found = other.find(name);
      if (found == other.end() || found->second != opsets) {
        missing.push_back(name + " " + std::to_string(opsets.first) + "-" + std::to_string(opsets.second));
      }
    }
    return missing;
  };
  EXPECT_EQ(missing_from(registered, documented), std::vector<std::string>{})
      << "registered, but not in the table of docs/onnx.md with these opsets";
  EXPECT_EQ(missing_from(documented, registered), std::vector<std::string>{})
      << "in the table of docs/onnx.md, but not registered with these opsets";
  EXPECT_FALSE(documented.empty());
}

// What the folding walk and the mapping pass rely on: forms in ascending
// opsets without gaps, and a node either folded, made an alias or kept with
// both a shape rule and a mapping.
TEST(OperatorRegistry, FormsAreUsable) {
  for (const Registration& registration : registered_operators()) {
    SCOPED_TRACE(registration.op_type);
    for (std::size_t index = 0; index < registration.forms.size(); ++index) {
      const OperatorForm& form = registration.forms[index];
      EXPECT_LE(form.opsets.first, form.opsets.last);
      if (index > 0) {
        EXPECT_EQ(form.opsets.first, registration.forms[index - 1].opsets.last + 1);
      }
      EXPECT_EQ(form.shape == nullptr, form.map == nullptr);
      EXPECT_TRUE(form.fold != nullptr || form.alias != nullptr || form.map != nullptr);
      EXPECT_TRUE(!form.folds_on_dims || form.fold != nullptr);
      EXPECT_LE(form.arity.required_inputs == many ? 1 : form.arity.required_inputs, form.arity.most_inputs);
      EXPECT_GE(form.arity.most_outputs, 1U);
    }
  }
}

TEST(OperatorRegistry, FindsByDomainAndOpset) {
  struct RegistryCase {
    const char* name;
    Node node;
    std::int64_t opset;
    bool found;
  };
  const RegistryCase cases[] = {
      {"default domain", Node{"", "Softmax", "", {"x"}, {"y"}, {}}, 13, true},
      {"last opset", Node{"", "Softmax", "", {"x"}, {"y"}, {}}, 17, true},
      {"before the first opset", Node{"", "Softmax", "", {"x"}, {"y"}, {}}, 6, false},
      {"past the last opset", Node{"", "Softmax", "", {"x"}, {"y"}, {}}, 18, false},
      {"another domain", Node{"", "Softmax", "com.microsoft", {"x"}, {"y"}, {}}, 17, false},
      {"unregistered", Node{"", "Det", "", {"x"}, {"y"}, {}}, 17, false},
  };
  for (const RegistryCase& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(find_operator(test.node, test.opset) != nullptr, test.found);
  }
  const std::vector<Node> nodes{Node{"/t", "Trilu", "", {"x"}, {"y"}, {}}};
  const Result<void> checked = check_operators(nodes, 13);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error(), CompileError::graph("onnx: unsupported operators: Trilu (first node /t; accepted at "
                                                 "opsets 14 to 17, not 13)"));
}

}  // namespace
}  // namespace orvo_compiler::onnx_import
