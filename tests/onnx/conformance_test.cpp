// ONNX's own backend cases (Debian's libonnx-testdata) run through the
// importer and the evaluator: every case of the node, pytorch-converted,
// pytorch-operator and simple suites is imported, evaluated on each of its
// data sets and compared with the stored outputs at ONNX's tolerance, and
// each passing model is compiled into a schedule that verify_schedule
// accepts. conformance_expected.txt names the cases not expected to pass.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler {
namespace {

const std::filesystem::path testdata = ORVO_ONNX_TESTDATA;
const std::filesystem::path expectation_file = ORVO_CONFORMANCE_EXPECTED;
constexpr std::array<std::string_view, 4> suites = {"node", "pytorch-converted", "pytorch-operator", "simple"};

// A stored tensor: its dims and its values in the evaluator's list of its
// element type (INT32 widened to int64, BOOL as bytes 0 or 1).
struct Stored {
  std::vector<std::int64_t> dims;
  TensorData data;
};

template <class T>
std::vector<T> raw_values(const std::string& raw) {
  std::vector<T> values(raw.size() / sizeof(T));
  std::memcpy(values.data(), raw.data(), values.size() * sizeof(T));
  return values;
}

// A TensorProto's values; an error naming its element type when it is not
// one of the evaluator's.
std::expected<TensorData, std::string> tensor_data(const onnx::TensorProto& tensor) {
  const bool raw = tensor.has_raw_data();
  switch (tensor.data_type()) {
    case onnx::TensorProto_DataType_FLOAT:
      if (raw) {
        return raw_values<float>(tensor.raw_data());
      }
      return std::vector<float>(tensor.float_data().begin(), tensor.float_data().end());
    case onnx::TensorProto_DataType_INT64:
      if (raw) {
        return raw_values<std::int64_t>(tensor.raw_data());
      }
      return std::vector<std::int64_t>(tensor.int64_data().begin(), tensor.int64_data().end());
    case onnx::TensorProto_DataType_INT32: {
      const std::vector<std::int32_t> narrow =
          raw ? raw_values<std::int32_t>(tensor.raw_data())
              : std::vector<std::int32_t>(tensor.int32_data().begin(), tensor.int32_data().end());
      return std::vector<std::int64_t>(narrow.begin(), narrow.end());
    }
    case onnx::TensorProto_DataType_BOOL: {
      std::vector<std::uint8_t> bytes;
      if (raw) {
        for (const char byte : tensor.raw_data()) {
          bytes.push_back(static_cast<std::uint8_t>(byte != 0));
        }
      } else {
        for (const std::int32_t value : tensor.int32_data()) {
          bytes.push_back(static_cast<std::uint8_t>(value != 0));
        }
      }
      return bytes;
    }
    default:
      return std::unexpected(
          fmt::format("element type {}", onnx::TensorProto_DataType_Name(tensor.data_type())));
  }
}

std::expected<Stored, std::string> read_tensor(const std::filesystem::path& path) {
  onnx::TensorProto tensor;
  std::ifstream file(path, std::ios::binary);
  if (!file || !tensor.ParseFromIstream(&file)) {
    return std::unexpected(fmt::format("cannot read {}", path.string()));
  }
  std::expected<TensorData, std::string> data = tensor_data(tensor);
  if (!data) {
    return std::unexpected(data.error());
  }
  return Stored{{tensor.dims().begin(), tensor.dims().end()}, std::move(*data)};
}

// Whether `actual` is within ONNX's tolerance of `expected`: NaN matches NaN,
// an infinity only itself, any other value within 1e-7 + 1e-3 |expected|.
bool close(float actual, float expected) {
  if (std::isnan(expected) || std::isinf(expected)) {
    return std::isnan(expected) ? std::isnan(actual) : actual == expected;
  }
  return std::abs(double{actual} - double{expected}) <= 1e-7 + 1e-3 * std::abs(double{expected});
}

// Empty when `actual` matches `expected` (floats within tolerance, integers
// and booleans equal), else the first difference.
std::string compare(const TensorData& actual, const TensorData& expected) {
  if (actual.index() != expected.index()) {
    return fmt::format("element type differs (alternative {}, expected {})", actual.index(), expected.index());
  }
  return std::visit(
      [&actual](const auto& want) -> std::string {
        const auto& got = std::get<std::remove_cvref_t<decltype(want)>>(actual);
        if (got.size() != want.size()) {
          return fmt::format("{} values, expected {}", got.size(), want.size());
        }
        for (std::size_t index = 0; index < want.size(); ++index) {
          bool same = false;
          if constexpr (std::is_same_v<std::remove_cvref_t<decltype(want)>, std::vector<float>>) {
            same = close(got[index], want[index]);
          } else {
            same = got[index] == want[index];
          }
          if (!same) {
            return fmt::format("value {} is {}, expected {}", index, got[index], want[index]);
          }
        }
        return {};
      },
      expected);
}

// ONNX's shape; a rank-0 expected value may come back as shape [1], the
// importer's form of a scalar.
bool same_shape(const Shape& actual, const std::vector<std::int64_t>& expected) {
  if (expected.empty()) {
    return actual.empty() || actual == Shape{1};
  }
  return std::ranges::equal(actual, expected, [](std::uint64_t a, std::int64_t e) {
    return e >= 0 && a == static_cast<std::uint64_t>(e);
  });
}

// Operators that are outside the importer's scope, and those of image models
// that it does not map yet.
const std::set<std::string, std::less<>> out_of_scope = {
    "Bernoulli", "ConcatFromSequence", "GRU", "If", "LSTM", "Loop", "Multinomial", "Optional",
    "OptionalGetElement", "OptionalHasElement", "RNN", "RandomNormal", "RandomNormalLike", "RandomUniform",
    "RandomUniformLike", "Scan", "SequenceAt", "SequenceConstruct", "SequenceEmpty", "SequenceErase",
    "SequenceInsert", "SequenceLength", "SequenceMap", "SplitToSequence"};
const std::set<std::string, std::less<>> vision = {
    "AveragePool", "BatchNormalization", "Col2Im", "Conv", "ConvInteger", "ConvTranspose", "DeformConv",
    "DepthToSpace", "GlobalAveragePool", "GlobalLpPool", "GlobalMaxPool", "GridSample", "GroupNormalization",
    "InstanceNormalization", "LRN", "LpNormalization", "LpPool", "MaxPool", "MaxRoiPool", "MaxUnpool",
    "MeanVarianceNormalization", "NonMaxSuppression", "QLinearConv", "Resize", "RoiAlign", "SpaceToDepth",
    "Upsample"};

// A refusal's reason: its category, and the line written in the expectation
// list.
struct Reason {
  std::string category;
  std::string text;
};

// The reason for refusing a case, from the importer's or evaluator's error:
// the first unsupported operator of the gravest kind (out of scope, then
// vision, then any other), a model of other domains only, an opset, an
// element type (none for a sequence or optional value), else the error's first
// line without its "onnx: " prefix and with the node's label dropped.
Reason refusal_reason(const std::string& error) {
  static const std::regex operators(R"(([\w.]+) \(first node )");
  static const std::regex opset(R"(opset (\d+) of the default domain is not supported)");
  static const std::regex element_type(R"((element type|run-time value to) ([A-Z0-9]+))");
  static const std::regex node(R"(^(\w+) node .*?: )");
  std::smatch match;
  if (error.find("unsupported operators: ") != std::string::npos) {
    std::optional<Reason> found;
    for (auto it = std::sregex_iterator(error.begin(), error.end(), operators); it != std::sregex_iterator(); ++it) {
      const std::string type = (*it)[1];
      if (type.find('.') != std::string::npos || out_of_scope.contains(type)) {
        return {"out of scope", fmt::format("operator {}: control flow/sequences/recurrent/random/other domains, "
                                            "out of scope",
                                            type)};
      }
      if (vision.contains(type) && (!found || found->category != "vision")) {
        found = Reason{"vision", fmt::format("operator {}: vision, not yet", type)};
      }
      if (!found) {
        found = Reason{"operator", fmt::format("operator {} not supported yet", type)};
      }
    }
    if (found) {
      return *found;
    }
  }
  if (error.find("imports no opset of the default domain") != std::string::npos) {
    return {"out of scope", "no opset of the default domain (other domains only), out of scope"};
  }
  if (std::regex_search(error, match, opset)) {
    return {"opset", fmt::format("opset {} out of range", match[1].str())};
  }
  if (std::regex_search(error, match, element_type) && match[2] == "UNDEFINED") {
    return {"out of scope", "a value that is not a tensor (sequence or optional), out of scope"};
  }
  if (std::regex_search(error, match, element_type) && match[2] != "FLOAT") {
    return {"element type", fmt::format("element type {}", match[2].str())};
  }
  std::string line = error.substr(0, error.find('\n'));
  if (line.starts_with("onnx: ")) {
    line.erase(0, 6);
  }
  if (std::regex_search(line, match, node)) {
    line = fmt::format("{}: {}", match[1].str(), match.suffix().str());
  }
  return {"other", line};
}

enum class Outcome : std::uint8_t { Pass, Refused, Wrong };

struct CaseResult {
  std::string name;  // <suite>/<case>
  Outcome outcome = Outcome::Pass;
  std::string detail;  // the error, or what differs
  bool float32 = false;
};

// The graph inputs of `model` that data sets give values for, in order.
std::vector<const onnx::ValueInfoProto*> data_inputs(const onnx::ModelProto& model) {
  std::set<std::string> initializers;
  for (const onnx::TensorProto& initializer : model.graph().initializer()) {
    initializers.insert(initializer.name());
  }
  std::vector<const onnx::ValueInfoProto*> inputs;
  for (const onnx::ValueInfoProto& input : model.graph().input()) {
    if (!initializers.contains(input.name())) {
      inputs.push_back(&input);
    }
  }
  return inputs;
}

// A case of the "float32 cases at opsets 7 to 17" count: its model imports
// opset 7 to 17 of the default domain, and every graph input (initializers
// aside) and every output is a FLOAT tensor.
bool is_float32_case(const onnx::ModelProto& model) {
  const auto opset = std::ranges::find_if(model.opset_import(), [](const onnx::OperatorSetIdProto& import) {
    return import.domain().empty() || import.domain() == "ai.onnx";
  });
  const auto is_float = [](const onnx::ValueInfoProto& value) {
    return value.type().has_tensor_type() && value.type().tensor_type().elem_type() == onnx::TensorProto_DataType_FLOAT;
  };
  return opset != model.opset_import().end() && opset->version() >= 7 && opset->version() <= 17 &&
         std::ranges::all_of(data_inputs(model), [&](const auto* input) { return is_float(*input); }) &&
         std::ranges::all_of(model.graph().output(), is_float);
}

// The value of each symbolic dimension of the inputs, from the shapes the
// data set's inputs have.
ImportOptions options_for(const std::vector<const onnx::ValueInfoProto*>& inputs,
                          const std::filesystem::path& data_set) {
  ImportOptions options;
  for (std::size_t index = 0; index < inputs.size(); ++index) {
    const onnx::TypeProto& type = inputs[index]->type();
    if (!type.has_tensor_type()) {
      continue;
    }
    const auto& dims = type.tensor_type().shape().dim();
    for (int axis = 0; axis < dims.size(); ++axis) {
      if (!dims[axis].has_dim_param()) {
        continue;
      }
      onnx::TensorProto stored;
      std::ifstream file(data_set / fmt::format("input_{}.pb", index), std::ios::binary);
      if (file && stored.ParseFromIstream(&file) && axis < stored.dims_size() && stored.dims(axis) > 0) {
        options.dimensions.emplace(dims[axis].dim_param(), static_cast<std::uint64_t>(stored.dims(axis)));
      }
    }
  }
  return options;
}

CaseResult refused(CaseResult result, std::string detail) {
  result.outcome = Outcome::Refused;
  result.detail = std::move(detail);
  return result;
}

CaseResult wrong(CaseResult result, std::string detail) {
  result.outcome = Outcome::Wrong;
  result.detail = std::move(detail);
  return result;
}

// One data set: refused or wrong as a result, nothing when it passes.
std::optional<CaseResult> run_data_set(const CaseResult& base, const onnx::ModelProto& proto,
                                       const std::filesystem::path& data_set, Graph& graph) {
  const std::vector<const onnx::ValueInfoProto*> inputs = data_inputs(proto);
  const Result<ImportedModel> model = import_onnx(data_set.parent_path() / "model.onnx", options_for(inputs, data_set));
  if (!model) {
    return refused(base, model.error().message);
  }
  TensorValues values = model->weights;
  for (std::size_t index = 0; index < inputs.size(); ++index) {
    const Result<TensorId> id = tensor_by_name(model->graph, inputs[index]->name(), TensorKind::Input);
    if (!id) {
      continue;  // an input the model never reads
    }
    std::expected<Stored, std::string> stored = read_tensor(data_set / fmt::format("input_{}.pb", index));
    if (!stored) {
      return wrong(base, fmt::format("input {}: {}", inputs[index]->name(), stored.error()));
    }
    values.emplace(*id, std::move(stored->data));
  }
  const Result<TensorValues> evaluated = evaluate(model->graph, values);
  if (!evaluated) {
    return refused(base, evaluated.error().message);
  }
  for (int index = 0; index < proto.graph().output_size(); ++index) {
    const std::string& name = proto.graph().output(index).name();
    const auto output = std::ranges::find_if(
        model->graph.outputs, [&](TensorId id) { return model->graph.tensors[id.index].name == name; });
    if (output == model->graph.outputs.end()) {
      return wrong(base, fmt::format("output {} is not an output of the graph", name));
    }
    const std::expected<Stored, std::string> expected = read_tensor(data_set / fmt::format("output_{}.pb", index));
    if (!expected) {
      return wrong(base, fmt::format("output {}: {}", name, expected.error()));
    }
    const Shape& shape = model->graph.tensors[output->index].shape;
    if (!same_shape(shape, expected->dims)) {
      return wrong(base, fmt::format("{}: output {} has shape [{}], expected [{}]", data_set.filename().string(),
                                     name, fmt::join(shape, ", "), fmt::join(expected->dims, ", ")));
    }
    if (const std::string difference = compare(evaluated->at(*output), expected->data);
        !difference.empty()) {
      return wrong(base, fmt::format("{}: output {}: {}", data_set.filename().string(), name, difference));
    }
  }
  graph = model->graph;
  return std::nullopt;
}

// Every data set of one case, then the schedule of a passing model.
CaseResult run_case(std::string_view suite, const std::filesystem::path& folder) {
  CaseResult result{.name = fmt::format("{}/{}", suite, folder.filename().string())};
  onnx::ModelProto proto;
  std::ifstream file(folder / "model.onnx", std::ios::binary);
  if (!file || !proto.ParseFromIstream(&file)) {
    return refused(result, "cannot parse model.onnx");
  }
  result.float32 = is_float32_case(proto);
  std::vector<std::filesystem::path> data_sets;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_directory() && entry.path().filename().string().starts_with("test_data_set_")) {
      data_sets.push_back(entry.path());
    }
  }
  std::ranges::sort(data_sets);
  if (data_sets.empty()) {
    return refused(result, "no data sets");
  }
  Graph graph;
  for (const std::filesystem::path& data_set : data_sets) {
    if (std::optional<CaseResult> failed = run_data_set(result, proto, data_set, graph)) {
      return *failed;
    }
  }
  const CompilerOptions options;
  const Result<Schedule> schedule = compile(graph, options);
  if (!schedule) {
    return wrong(result, fmt::format("compile: {}", schedule.error().message));
  }
  if (const Result<void> verified = verify_schedule(graph, *schedule, options); !verified) {
    return wrong(result, fmt::format("verify_schedule: {}", verified.error().message));
  }
  return result;
}

// The expectation list: each case not expected to pass, with its reason.
std::map<std::string, std::string> read_expectations(const std::filesystem::path& path) {
  std::map<std::string, std::string> listed;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line.starts_with('#')) {
      continue;
    }
    const std::size_t space = line.find_first_of(" \t");
    const std::size_t reason = line.find_first_not_of(" \t", space);
    listed.emplace(line.substr(0, space), reason == std::string::npos ? std::string() : line.substr(reason));
  }
  return listed;
}

void write_expectations(const std::filesystem::path& path, const std::vector<CaseResult>& results) {
  std::ofstream file(path);
  file << "# ONNX backend cases that the importer and evaluator do not pass yet, one per line:\n"
          "# <suite>/<case>  <reason>. Read by tests/onnx/conformance_test.cpp; regenerate with\n"
          "# ORVO_CONFORMANCE_WRITE=<this file> (see docs/onnx.md, \"Conformance\").\n";
  for (const CaseResult& result : results) {
    if (result.outcome == Outcome::Refused) {
      file << result.name << "  " << refusal_reason(result.detail).text << '\n';
    }
  }
}

// The count of passing cases among the float32 cases at opsets 7 to 17, and
// the number of such cases.
std::pair<std::size_t, std::size_t> float32_counts(const std::vector<CaseResult>& results) {
  std::size_t passing = 0;
  std::size_t cases = 0;
  for (const CaseResult& result : results) {
    cases += result.float32 ? 1 : 0;
    passing += result.float32 && result.outcome == Outcome::Pass ? 1 : 0;
  }
  return {passing, cases};
}

std::string summary(const std::vector<CaseResult>& results) {
  std::map<std::string, std::size_t> categories;
  std::map<std::string, std::size_t> reasons;
  std::size_t passing = 0;
  std::size_t wrong_count = 0;
  for (const CaseResult& result : results) {
    passing += result.outcome == Outcome::Pass ? 1 : 0;
    wrong_count += result.outcome == Outcome::Wrong ? 1 : 0;
    if (result.outcome == Outcome::Refused) {
      const Reason reason = refusal_reason(result.detail);
      ++categories[reason.category];
      ++reasons[reason.text];
    }
  }
  std::vector<std::pair<std::size_t, std::string>> common;
  for (const auto& [text, count] : reasons) {
    common.emplace_back(count, text);
  }
  std::ranges::sort(common, [](const auto& a, const auto& b) { return a.first > b.first; });
  common.resize(std::min<std::size_t>(common.size(), 15));
  const auto [float32_passing, float32_cases] = float32_counts(results);
  std::string text = fmt::format("conformance: {} cases, {} pass, {} wrong, {} refused\n", results.size(), passing,
                                 wrong_count, results.size() - passing - wrong_count);
  text += fmt::format("conformance: float32 cases at opsets 7 to 17: {} of {} pass\n", float32_passing, float32_cases);
  for (const auto& [category, count] : categories) {
    text += fmt::format("conformance: refused, {}: {}\n", category, count);
  }
  for (const auto& [count, reason] : common) {
    text += fmt::format("conformance:   {:4} {}\n", count, reason);
  }
  return text;
}

TEST(OnnxConformance, ToleranceAndExactness) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    TensorData actual;
    TensorData expected;
    std::string difference;
  };
  const Case cases[] = {
      {"within 1e-3 relative", std::vector<float>{1000.999F}, std::vector<float>{1000.0F}, ""},
      {"past 1e-3 relative", std::vector<float>{1001.002F}, std::vector<float>{1000.0F},
       "value 0 is 1001.002, expected 1000"},
      {"1e-7 absolute near zero", std::vector<float>{0.0F, 9e-8F}, std::vector<float>{9e-8F, 0.0F}, ""},
      {"past 1e-7 absolute", std::vector<float>{0.0F, 2e-7F}, std::vector<float>{0.0F, 0.0F},
       "value 1 is 2e-07, expected 0"},
      {"NaN matches NaN", std::vector<float>{nan}, std::vector<float>{nan}, ""},
      {"NaN where a number is expected", std::vector<float>{nan}, std::vector<float>{1.0F},
       "value 0 is nan, expected 1"},
      {"a number where NaN is expected", std::vector<float>{1.0F}, std::vector<float>{nan},
       "value 0 is 1, expected nan"},
      {"infinity matches itself", std::vector<float>{inf, -inf}, std::vector<float>{inf, -inf}, ""},
      {"infinity of the other sign", std::vector<float>{inf}, std::vector<float>{-inf},
       "value 0 is inf, expected -inf"},
      {"largest float where infinity is expected", std::vector<float>{3.4028235e38F}, std::vector<float>{inf},
       "value 0 is 3.4028235e+38, expected inf"},
      {"integers exactly", std::vector<std::int64_t>{-3, std::int64_t{1} << 60}, std::vector<std::int64_t>{-3, std::int64_t{1} << 60}, ""},
      {"integers off by one", std::vector<std::int64_t>{(std::int64_t{1} << 60) + 1}, std::vector<std::int64_t>{std::int64_t{1} << 60},
       "value 0 is 1152921504606846977, expected 1152921504606846976"},
      {"booleans", std::vector<std::uint8_t>{1, 0}, std::vector<std::uint8_t>{1, 1}, "value 1 is 0, expected 1"},
      {"fewer values", std::vector<float>{1.0F}, std::vector<float>{1.0F, 2.0F}, "1 values, expected 2"},
      {"element types differ", std::vector<float>{1.0F}, std::vector<std::int64_t>{1},
       "element type differs (alternative 0, expected 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(compare(c.actual, c.expected), c.difference);
  }
  EXPECT_TRUE(same_shape({}, {}));
  EXPECT_TRUE(same_shape({1}, {}));
  EXPECT_FALSE(same_shape({2}, {}));
  EXPECT_FALSE(same_shape({1}, {1, 1}));
  EXPECT_FALSE(same_shape({2, 3}, {3, 2}));
}

TEST(OnnxConformance, RefusalReasons) {
  struct Case {
    std::string error;
    std::string category;
    std::string text;
  };
  const Case cases[] = {
      {"onnx: unsupported operators: Abs (first node y), Conv (first node z)", "vision",
       "operator Conv: vision, not yet"},
      {"onnx: unsupported operators: Abs (first node y), Neg (first node n)", "operator",
       "operator Abs not supported yet"},
      {"onnx: unsupported operators: Conv (first node c), Loop (first node l)", "out of scope",
       "operator Loop: control flow/sequences/recurrent/random/other domains, out of scope"},
      {"onnx: unsupported operators: ai.onnx.ml.Binarizer (first node b)", "out of scope",
       "operator ai.onnx.ml.Binarizer: control flow/sequences/recurrent/random/other domains, out of scope"},
      {"onnx: opset 12 of the default domain is not supported (13 to 17 are)", "opset", "opset 12 out of range"},
      {"onnx: the model imports no opset of the default domain", "out of scope",
       "no opset of the default domain (other domains only), out of scope"},
      {"onnx: input x has element type UNDEFINED; only FLOAT inputs are supported", "out of scope",
       "a value that is not a tensor (sequence or optional), out of scope"},
      {"onnx: input x has element type DOUBLE; only FLOAT inputs are supported", "element type",
       "element type DOUBLE"},
      {"onnx: Cast node /Cast: casts a run-time value to INT64; only FLOAT is supported", "element type",
       "element type INT64"},
      {"onnx: Pow node /a/Pow: exponent 2.5 is not supported; only 2 and 3 are", "other",
       "Pow: exponent 2.5 is not supported; only 2 and 3 are"},
      {"onnx: input x is a scalar; inputs need at least one axis\nmore", "other",
       "input x is a scalar; inputs need at least one axis"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const Reason reason = refusal_reason(c.error);
    EXPECT_EQ(reason.category, c.category);
    EXPECT_EQ(reason.text, c.text);
  }
}

// Fails on every wrong case, every listed case that passes, every refused
// case that is not listed and every listed case that does not exist. With
// ORVO_CONFORMANCE_WRITE=<path> it writes today's refusals to <path> instead
// of checking them (wrong cases still fail).
TEST(OnnxConformance, BackendCases) {
  if (!std::filesystem::is_directory(testdata)) {
    GTEST_SKIP() << testdata.string() << " is missing (Debian's libonnx-testdata)";
  }
  std::vector<CaseResult> results;
  for (const std::string_view suite : suites) {
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator(testdata / suite)) {
      folders.push_back(entry.path());
    }
    std::ranges::sort(folders);
    for (const std::filesystem::path& folder : folders) {
      results.push_back(run_case(suite, folder));
    }
  }
  std::ranges::sort(results, {}, &CaseResult::name);
  const std::string text = summary(results);
  fmt::print("{}", text);
  const auto [float32_passing, float32_cases] = float32_counts(results);
  RecordProperty("cases", static_cast<int>(results.size()));
  RecordProperty("float32_opsets_7_to_17", fmt::format("{} of {}", float32_passing, float32_cases));

  std::vector<std::string> failures;
  for (const CaseResult& result : results) {
    if (result.outcome == Outcome::Wrong) {
      failures.push_back(fmt::format("wrong: {}: {}", result.name, result.detail));
    }
  }
  if (const char* write_to = std::getenv("ORVO_CONFORMANCE_WRITE"); write_to != nullptr && *write_to != '\0') {
    write_expectations(write_to, results);
    fmt::print("conformance: wrote the refused cases to {}\n", write_to);
  } else {
    std::map<std::string, std::string> listed = read_expectations(expectation_file);
    std::vector<std::string> reasons_changed;
    for (const CaseResult& result : results) {
      const auto found = listed.find(result.name);
      if (result.outcome == Outcome::Refused && found != listed.end() &&
          found->second != refusal_reason(result.detail).text) {
        reasons_changed.push_back(result.name);
      }
      if (result.outcome == Outcome::Pass && found != listed.end()) {
        failures.push_back(fmt::format("passes, remove it from the list: {}", result.name));
      }
      if (result.outcome == Outcome::Refused && found == listed.end()) {
        failures.push_back(fmt::format("refused, not listed: {}: {}", result.name, result.detail));
      }
      if (found != listed.end()) {
        listed.erase(found);
      }
    }
    for (const auto& [name, reason] : listed) {
      failures.push_back(fmt::format("listed, but no such case: {}", name));
    }
    // Not a failure: the cases stay refused, for a reason the list words
    // differently until it is regenerated.
    if (!reasons_changed.empty()) {
      fmt::print("conformance: {} listed cases are refused for another reason today ({}, ...); regenerate the list\n",
                 reasons_changed.size(), reasons_changed.front());
    }
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " cases fail:\n" << fmt::format("{}", fmt::join(failures, "\n"));
}

}  // namespace
}  // namespace orvo_compiler
