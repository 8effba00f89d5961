// Session: runs checked by name, shape and type before any work, outputs as
// evaluate gives them, and the model's inputs and outputs listed.
#include "orvo_compiler/session.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/model_builder.hpp"
#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/evaluate.hpp"

namespace orvo_compiler {
namespace {

using test_support::add_initializer;
using test_support::add_input;
using test_support::add_node;
using test_support::add_output;
using test_support::make_model;
using test_support::serialize;

// y = MatMul(x, w) + b for x [2, 3], and a second output z = Relu(y), with
// the batch dimension symbolic.
std::vector<std::uint8_t> two_output_model() {
  onnx::ModelProto model = make_model();
  add_input(model, "x", {std::string("batch"), 3});
  add_input(model, "ids", {2}, 7);
  add_initializer(model, "w", {3, 2}, {1, 2, 3, 4, 5, 6});
  add_initializer(model, "b", {2}, {0.5F, -100});
  add_node(model, "MatMul", {"x", "w"}, {"xw"});
  add_node(model, "Add", {"xw", "b"}, {"y"});
  add_node(model, "Relu", {"y"}, {"z"});
  add_node(model, "Identity", {"ids"}, {"ids_out"});
  add_output(model, "y", std::vector<test_support::Dim>{std::string("batch"), 2});
  add_output(model, "z", std::vector<test_support::Dim>{std::string("batch"), 2});
  add_output(model, "ids_out", std::vector<test_support::Dim>{2}, 7);
  return serialize(model);
}

SessionOptions batch_of_two() {
  SessionOptions options;
  options.import.dimensions = {{"batch", 2}};
  options.threads = 2;
  return options;
}

NamedArrays good_feeds() {
  return {{"x", NpyData{{2, 3}, std::vector<float>{1, 0, 0, 0, 1, 1}}},
          {"ids", NpyData{{2}, std::vector<std::int64_t>{7, -1}}}};
}

TEST(Session, ListsInputsAndOutputsAndRunsWithTheWeightsBound) {
  const auto bytes = two_output_model();
  Result<Session> session = Session::load(bytes, batch_of_two());
  ASSERT_TRUE(session) << session.error();
  EXPECT_EQ(session->inputs(), (std::vector<TensorInfo>{{"x", {2, 3}, DType::F32}, {"ids", {2}, DType::I64}}));
  EXPECT_EQ(session->outputs(), (std::vector<TensorInfo>{
                                    {"y", {2, 2}, DType::F32}, {"z", {2, 2}, DType::F32}, {"ids_out", {2}, DType::I64}}));
  EXPECT_EQ(session->name(), "model");
  EXPECT_EQ(session->threads(), 2U);

  // Twice: the second run reuses what the first kept.
  for (int round = 0; round < 2; ++round) {
    Result<NamedArrays> outputs = session->run(good_feeds());
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(outputs->at("y"), (NpyData{{2, 2}, std::vector<float>{1.5F, -98, 8.5F, -90}}));
    EXPECT_EQ(outputs->at("z"), (NpyData{{2, 2}, std::vector<float>{1.5F, 0, 8.5F, 0}}));
    EXPECT_EQ(outputs->at("ids_out"), (NpyData{{2}, std::vector<std::int64_t>{7, -1}}));
  }

  const std::vector<std::string> wanted{"z"};
  Result<NamedArrays> only_z = session->run(good_feeds(), wanted);
  ASSERT_TRUE(only_z) << only_z.error();
  EXPECT_EQ(only_z->size(), 1U);
  EXPECT_TRUE(only_z->contains("z"));
}

TEST(Session, RefusesFeedsThatDoNotMatchTheModelBeforeRunning) {
  const auto bytes = two_output_model();
  Result<Session> session = Session::load(bytes, batch_of_two());
  ASSERT_TRUE(session) << session.error();
  struct Case {
    const char* what;
    NamedArrays feeds;
    std::vector<std::string> wanted;
    std::string message;
  };
  auto with = [](const std::string& name, NpyData value) {
    NamedArrays feeds = good_feeds();
    feeds[name] = std::move(value);
    return feeds;
  };
  NamedArrays missing = good_feeds();
  missing.erase("x");
  const Case cases[] = {
      {"transposed", with("x", {{3, 2}, std::vector<float>(6)}), {},
       "session: input x has shape [3, 2]; the model expects [2, 3]"},
      {"flat", with("x", {{6}, std::vector<float>(6)}), {}, "session: input x has shape [6]; the model expects [2, 3]"},
      {"wrong type", with("ids", {{2}, std::vector<float>{1, 2}}), {},
       "session: input ids holds float32; the model expects int64"},
      {"short", with("x", {{2, 3}, std::vector<float>(5)}), {}, "session: input x holds 5 values for its shape [2, 3]"},
      {"unknown input", with("w", {{3, 2}, std::vector<float>(6)}), {},
       "session: the model has no input named w; its inputs are x and ids"},
      {"missing input", missing, {}, "session: no value for input x (float32 [2, 3])"},
      {"unknown output", good_feeds(), {"xw"},
       "session: the model has no output named xw; its outputs are y, z and ids_out"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const Result<NamedArrays> outputs = session->run(test.feeds, test.wanted);
    ASSERT_FALSE(outputs);
    EXPECT_EQ(outputs.error(), CompileError::graph(test.message));
  }
}

TEST(Session, GivesEvaluatesBitsAndCompilesTheBoundGraph) {
  const auto bytes = two_output_model();
  Result<ImportedModel> model = import_onnx(bytes, batch_of_two().import);
  ASSERT_TRUE(model) << model.error();
  TensorValues values = model->weights;
  values.emplace(model->graph.tensors[0].id, std::vector<float>{0.1F, 0.2F, 0.3F, -4, 5e-8F, 6});
  values.emplace(model->graph.tensors[1].id, std::vector<std::int64_t>{3, 4});
  const Result<TensorValues> expected = evaluate(model->graph, values);
  ASSERT_TRUE(expected) << expected.error();

  for (const std::size_t threads : {1U, 3U}) {
    SessionOptions options = batch_of_two();
    options.threads = threads;
    options.name = "tiny.onnx";
    Result<Session> session = Session::make(*model, options);
    ASSERT_TRUE(session) << session.error();
    EXPECT_EQ(session->name(), "tiny.onnx");
    Result<NamedArrays> outputs =
        session->run({{"x", NpyData{{2, 3}, values.at(model->graph.tensors[0].id)}},
                      {"ids", NpyData{{2}, values.at(model->graph.tensors[1].id)}}});
    ASSERT_TRUE(outputs) << outputs.error();
    for (const TensorId output : model->graph.outputs) {
      EXPECT_EQ(outputs->at(model->graph.tensors[output.index].name).values, expected->at(output));
    }
  }

  Result<Session> session = Session::make(*model, batch_of_two());
  ASSERT_TRUE(session) << session.error();
  const CompilerOptions options{.tile_count = 16};
  const Result<Schedule> schedule = session->compile(options);
  ASSERT_TRUE(schedule) << schedule.error();
  EXPECT_TRUE(verify_schedule(session->model().graph, *schedule, options));
}

TEST(Session, FailsAsImportAndPreparationFail) {
  const auto bytes = two_output_model();
  // The default options, named: GCC 12 at -O3 takes the default argument's
  // temporary map for uninitialised.
  const SessionOptions defaults;
  // The batch dimension unbound.
  EXPECT_FALSE(Session::load(bytes, defaults));
  SessionOptions options = batch_of_two();
  options.threads = 0;
  const Result<Session> no_threads = Session::load(bytes, options);
  ASSERT_FALSE(no_threads);
  EXPECT_EQ(no_threads.error().message, "prepared evaluation: thread count 0 is not between 1 and 256");
  const std::vector<std::uint8_t> garbage{1, 2, 3};
  EXPECT_FALSE(Session::load(garbage, defaults));
  EXPECT_FALSE(Session::load(std::filesystem::path("/nonexistent/model.onnx"), defaults));
}

}  // namespace
}  // namespace orvo_compiler
