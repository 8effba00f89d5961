// The committed models exported from PyTorch: each imports with its symbols
// bound from meta.json, keeps its input and output names and shapes, fuses
// what it should, compiles into a schedule that passes verify_schedule, and
// evaluates on the stored input to PyTorch's stored output.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/npy.hpp"
#include "onnx/model_builder.hpp"

namespace orvo_compiler {
namespace {

// The values of an F32 tensor.
const std::vector<float>& floats(const TensorData& data) { return std::get<std::vector<float>>(data); }

const std::filesystem::path fixtures = ORVO_ONNX_FIXTURES;

struct Fixture {
  const char* folder;
  std::vector<std::string> fused;
  // The vision models' weights fill far more than 64 tiles' windows.
  std::vector<std::uint16_t> tile_counts = {64, 1024};
  bool folds_every_batch_norm = false;
};

const Fixture models[] = {
    {"prenorm_manual", {"gelu (tanh) at /gelu/Mul"}},
    {"torch_encoder_postnorm", {}},
    {"torch_encoder_prenorm", {}},
    {"torch_encoder_opset14", {"layer norm at /norm1/ReduceMean", "layer norm at /norm2/ReduceMean"}},
    {"torch_encoder_stack2", {}},
    {"torch_causal_decoder", {}},
    {"torch_relu_mlp", {}},
    {"torch_token_embedding", {}},
};

const Fixture vision_models[] = {
    {"torchvision_resnet18", {}, {1024}, true},
    {"torchvision_mobilenet_v2", {}, {1024}, true},
};

nlohmann::json read_meta(const std::string& folder) {
  std::ifstream file(fixtures / folder / "meta.json");
  return nlohmann::json::parse(file);
}

ImportOptions options_of(const nlohmann::json& meta) {
  ImportOptions options;
  for (const auto& [symbol, value] : meta["symbols"].items()) {
    options.dimensions.emplace(symbol, value.get<std::uint64_t>());
  }
  return options;
}

// A declared shape with its symbols replaced by their values.
Shape bound_shape(const nlohmann::json& declared, const ImportOptions& options) {
  Shape shape;
  for (const nlohmann::json& dimension : declared) {
    shape.push_back(dimension.is_string() ? options.dimensions.at(dimension.get<std::string>())
                                          : dimension.get<std::uint64_t>());
  }
  return shape;
}

void expect_tensors(const Graph& graph, TensorKind kind, const nlohmann::json& declared,
                    const ImportOptions& options) {
  std::vector<std::pair<std::string, Shape>> expected;
  for (const nlohmann::json& value : declared) {
    expected.emplace_back(value["name"].get<std::string>(), bound_shape(value["shape"], options));
  }
  std::vector<std::pair<std::string, Shape>> actual;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.kind == kind) {
      actual.emplace_back(tensor.name, tensor.shape);
    }
  }
  EXPECT_EQ(actual, expected);
}

// The largest absolute difference between `actual` and `expected`, and the
// largest absolute value of `expected`.
std::pair<float, float> differences(const std::vector<float>& actual, const std::vector<float>& expected) {
  float difference = 0.0F;
  float magnitude = 0.0F;
  for (std::size_t index = 0; index < expected.size(); ++index) {
    difference = std::max(difference, std::abs(actual[index] - expected[index]));
    magnitude = std::max(magnitude, std::abs(expected[index]));
  }
  return {difference, magnitude};
}

void check_fixture(const Fixture& fixture) {
  const nlohmann::json meta = read_meta(fixture.folder);
  const ImportOptions options = options_of(meta);
  // Models too large to keep whole are stored without their weights' data,
  // which meta.json says how to generate.
  std::vector<test_support::SeededInitializer> seeded;
  for (const nlohmann::json& entry : meta.value("seeded", nlohmann::json::array())) {
    seeded.push_back({entry["name"].get<std::string>(), entry["scale"].get<float>(), entry["offset"].get<float>()});
  }
  onnx::ModelProto proto;
  {
    std::ifstream file(fixtures / fixture.folder / "model.onnx", std::ios::binary);
    ASSERT_TRUE(proto.ParseFromIstream(&file)) << fixture.folder;
  }
  test_support::fill_seeded(proto, seeded);
  const Result<ImportedModel> model = test_support::import_model(proto, options);
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->opset, meta["opset"].get<std::int64_t>());
  EXPECT_EQ(model->producer, meta["producer"].get<std::string>());
  if (fixture.folds_every_batch_norm) {
    // Each BatchNormalization of these models follows a Conv that nothing
    // else reads, so each is folded into it.
    const auto norms = meta["ops"].value("BatchNormalization", std::size_t{0});
    EXPECT_GT(norms, 0U);
    EXPECT_EQ(model->fused.size(), norms);
    for (const std::string& line : model->fused) {
      EXPECT_TRUE(line.starts_with("batch normalization into conv at ")) << line;
    }
    for (const Op& op : model->graph.ops) {
      EXPECT_FALSE(std::holds_alternative<BatchNormalization>(op.kind)) << op.name;
    }
  } else {
    EXPECT_EQ(model->fused, fixture.fused);
  }
  expect_tensors(model->graph, TensorKind::Input, meta["inputs"], options);
  expect_tensors(model->graph, TensorKind::Output, meta["outputs"], options);
  ASSERT_EQ(model->graph.outputs.size(), 1U);
  // Element-wise operands broadcast in place: no operand is copied out.
  for (const Op& op : model->graph.ops) {
    EXPECT_FALSE(std::holds_alternative<Broadcast>(op.kind)) << op.name;
  }

  std::size_t weights = 0;
  for (const Tensor& tensor : model->graph.tensors) {
    if (tensor.kind == TensorKind::Weight) {
      ++weights;
      ASSERT_TRUE(model->weights.contains(tensor.id)) << tensor.name;
      EXPECT_EQ(element_count(model->weights.at(tensor.id)), tensor.elements()) << tensor.name;
      EXPECT_EQ(dtype_of(model->weights.at(tensor.id)), tensor.dtype) << tensor.name;
    }
  }
  EXPECT_EQ(model->weights.size(), weights);

  // PyTorch's output within 1e-4 of the larger of 1 and its largest magnitude.
  const auto input = read_npy_data(fixtures / fixture.folder / meta["inputs"][0]["file"].get<std::string>());
  const auto output =
      read_npy(fixtures / fixture.folder / meta["outputs"][0]["file"].get<std::string>());
  ASSERT_TRUE(input && output);
  const TensorId input_id = model->graph.tensors.front().id;
  const TensorId output_id = model->graph.outputs.front();
  EXPECT_EQ(input->shape, model->graph.tensors[input_id.index].shape);
  EXPECT_EQ(output->shape, model->graph.tensors[output_id.index].shape);
  TensorValues values = model->weights;
  values.emplace(input_id, input->values);
  const Result<TensorValues> evaluated = evaluate(model->graph, values);
  ASSERT_TRUE(evaluated) << evaluated.error();
  ASSERT_EQ(floats(evaluated->at(output_id)).size(), output->values.size());
  const auto [difference, magnitude] = differences(floats(evaluated->at(output_id)), output->values);
  EXPECT_LE(difference, 1e-4F * std::max(1.0F, magnitude));
  ::testing::Test::RecordProperty(std::string(fixture.folder) + ".largest_difference", std::to_string(difference));

  for (const std::uint16_t tiles : fixture.tile_counts) {
    SCOPED_TRACE(tiles);
    CompilerOptions compiler_options;
    compiler_options.tile_count = tiles;
    const Result<Schedule> schedule = compile(model->graph, compiler_options);
    ASSERT_TRUE(schedule) << schedule.error();
    EXPECT_TRUE(verify_schedule(model->graph, *schedule, compiler_options));
  }
}

TEST(ImportFixtures, ImportCompileAndVerify) {
  for (const Fixture& fixture : models) {
    SCOPED_TRACE(fixture.folder);
    check_fixture(fixture);
  }
}

TEST(ImportFixtures, VisionModelsImportCompileAndVerify) {
  for (const Fixture& fixture : vision_models) {
    SCOPED_TRACE(fixture.folder);
    check_fixture(fixture);
  }
}

// The generator the vision fixtures' weights come from, pinned to values
// the export script computes, so that a change on either side shows here
// and not as a model that merely evaluates wrong.
TEST(ImportFixtures, SeededValuesMatchTheExportScript) {
  const std::vector<float> values = test_support::seeded_values("conv1.weight", 3, 0.5F, 1.0F);
  EXPECT_EQ(values, (std::vector<float>{1.4544189F, 0.899383962F, 0.880910039F}));
}

}  // namespace
}  // namespace orvo_compiler
