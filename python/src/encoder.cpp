// Bindings of encoder.hpp: the standard workload's configuration, its
// weights (numpy views onto the C++ matrices), its graphs and its host
// reference, which runs without the GIL and hands its result over uncopied.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <pybind11/operators.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

void bind_config(py::module_& module) {
  NamedRecord<EncoderConfig> config(module, "EncoderConfig", "The encoder layer's four sizes.");
  config.type().def(
      py::init([](std::uint64_t sequence, std::uint64_t hidden, std::uint64_t heads, std::uint64_t feed_forward) {
        return EncoderConfig{sequence, hidden, heads, feed_forward};
      }),
      "sequence"_a = EncoderConfig{}.sequence, "hidden"_a = EncoderConfig{}.hidden, "heads"_a = EncoderConfig{}.heads,
      "feed_forward"_a = EncoderConfig{}.feed_forward, record_init_doc);
  config.field("sequence", &EncoderConfig::sequence, "Rows of the input.")
      .field("hidden", &EncoderConfig::hidden, "Columns of the input, the model width.")
      .field("heads", &EncoderConfig::heads, "Attention heads.")
      .field("feed_forward", &EncoderConfig::feed_forward, "Width of the feed-forward block.");
}

// A writable numpy view of one matrix; `owner` (the Python EncoderWeights)
// stays alive while the view does, and its matrices never change size.
py::array matrix_view(py::handle owner, std::vector<float>& matrix) {
  return py::array_t<float>({static_cast<py::ssize_t>(matrix.size())}, matrix.data(), owner);
}

std::vector<float> matrix_from(const std::optional<py::array>& array, const char* name) {
  if (!array) {
    return {};
  }
  const std::span<const float> values = float_values(*array, name);
  return {values.begin(), values.end()};
}

using Matrix = std::vector<float> EncoderWeights::*;

template <Matrix matrix>
py::array view_of(py::handle self) {
  return matrix_view(self, self.cast<EncoderWeights&>().*matrix);
}

void bind_weights(py::module_& module) {
  py::class_<EncoderWeights> weights(module, "EncoderWeights",
                                     "The layer's six weight matrices, row-major. Each field is a flat "
                                     "float32 numpy view onto the C++ matrix (no copy): writing to it "
                                     "changes the weights.");
  weights
      .def(py::init([](const std::optional<py::array>& wq, const std::optional<py::array>& wk,
                       const std::optional<py::array>& wv, const std::optional<py::array>& wo,
                       const std::optional<py::array>& w1, const std::optional<py::array>& w2) {
             return EncoderWeights{matrix_from(wq, "wq"), matrix_from(wk, "wk"), matrix_from(wv, "wv"),
                                   matrix_from(wo, "wo"), matrix_from(w1, "w1"), matrix_from(w2, "w2")};
           }),
           "wq"_a = py::none(), "wk"_a = py::none(), "wv"_a = py::none(), "wo"_a = py::none(), "w1"_a = py::none(),
           "w2"_a = py::none(),
           "Weights copied from float32 C-contiguous arrays (flattened in C order); a missing one is empty.")
      .def_static(
          "deterministic",
          [](const EncoderConfig& config) { return value_or_value_error(EncoderWeights::try_deterministic(config)); },
          "config"_a, "Every matrix from a closed formula of the element's position: bit-identical every time.")
      .def_property_readonly("wq", &view_of<&EncoderWeights::wq>, "Query projection, hidden x hidden.")
      .def_property_readonly("wk", &view_of<&EncoderWeights::wk>, "Key projection, hidden x hidden.")
      .def_property_readonly("wv", &view_of<&EncoderWeights::wv>, "Value projection, hidden x hidden.")
      .def_property_readonly("wo", &view_of<&EncoderWeights::wo>, "Output projection, hidden x hidden.")
      .def_property_readonly("w1", &view_of<&EncoderWeights::w1>, "Feed-forward in, hidden x feed_forward.")
      .def_property_readonly("w2", &view_of<&EncoderWeights::w2>, "Feed-forward out, feed_forward x hidden.")
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__repr__", [](const EncoderWeights& self) {
        return fmt::format("EncoderWeights(wq={}, wk={}, wv={}, wo={}, w1={}, w2={} elements)", self.wq.size(),
                           self.wk.size(), self.wv.size(), self.wo.size(), self.w1.size(), self.w2.size());
      });
}

// EncoderWorkspace as Python holds it: the library's workspace serves one call
// at a time, and with the GIL released two threads could hand it to two
// calls, so a call marks it busy while it runs and a second call is refused.
struct Workspace {
  EncoderWorkspace workspace;
  bool busy = false;
};

class WorkspaceClaim {
 public:
  explicit WorkspaceClaim(Workspace& owner) : owner_(owner) {
    if (owner_.busy) {
      throw std::runtime_error("encoder workspace is in use by another call");
    }
    owner_.busy = true;
  }
  WorkspaceClaim(const WorkspaceClaim&) = delete;
  WorkspaceClaim& operator=(const WorkspaceClaim&) = delete;
  ~WorkspaceClaim() { owner_.busy = false; }

 private:
  Workspace& owner_;
};

void bind_workspace(py::module_& module) {
  py::class_<Workspace>(module, "EncoderWorkspace",
                        "The temporaries of encoder_reference kept between calls: pass one to the "
                        "call that writes into `output` and a loop of calls allocates nothing once it "
                        "has grown to the largest layer. It carries no values between calls and serves "
                        "one call at a time (a second call while one runs raises RuntimeError).")
      .def(py::init<>(), "An empty workspace; it grows on first use.")
      .def("__repr__", [](const Workspace& self) {
        return fmt::format("EncoderWorkspace({} elements)", self.workspace.scratch.size());
      });
}

py::object reference_into(const EncoderConfig& config, const py::array& input, const EncoderWeights& weights,
                          Workspace& workspace, py::array& output) {
  const std::span<const float> values = float_values(input, "input");
  const std::span<float> into = writable_float_values(output, "output");
  const WorkspaceClaim claim(workspace);
  value_or_raise(without_gil([&] { return encoder_reference(config, values, weights, workspace.workspace, into); }));
  return py::none();
}

}  // namespace

void bind_encoder(py::module_& module) {
  bind_config(module);
  bind_weights(module);
  bind_workspace(module);
  module
      .def(
          "encoder_graph", [](const EncoderConfig& config) { return value_or_raise(encoder_graph(config)); },
          "config"_a,
          "The layer's graph: 7 source tensors, 15 operations, one output; CompileError 'invalid encoder "
          "dimensions' for zero sizes or heads not dividing hidden.")
      .def(
          "encoder_stack_graph",
          [](const EncoderConfig& config, std::uint64_t layers) {
            return value_or_raise(encoder_stack_graph(config, layers));
          },
          "config"_a, "layers"_a,
          "`layers` encoder layers in sequence; layer i > 0 prefixed 'l<i>.', only the last "
          "'ffn_residual' an output.")
      .def(
          "encoder_reference",
          [](const EncoderConfig& config, const py::array& input, const EncoderWeights& weights) {
            const std::span<const float> values = float_values(input, "input");
            std::vector<float> result =
                value_or_raise(without_gil([&] { return encoder_reference(config, values, weights); }));
            // sequence x hidden elements, row-major; flat should the two ever disagree.
            const auto count = static_cast<py::ssize_t>(result.size());
            std::vector<py::ssize_t> shape{count};
            if (result.size() == config.sequence * config.hidden) {
              shape = {static_cast<py::ssize_t>(config.sequence), static_cast<py::ssize_t>(config.hidden)};
            }
            return owning_array<float>(std::move(result), std::move(shape));
          },
          "config"_a, "input"_a, "weights"_a,
          "Evaluates the layer on the host, bit-reproducibly, from a float32 C-contiguous input of "
          "sequence x hidden elements; returns a (sequence, hidden) float32 array. CompileError for "
          "sizes that do not match. Runs without the GIL.")
      .def("encoder_reference", &reference_into, "config"_a, "input"_a, "weights"_a, "workspace"_a, "output"_a,
           "Evaluates the layer as the three-argument form does, bit for bit, into `output` (float32, "
           "C-contiguous, writable, sequence x hidden elements), with its temporaries in `workspace`; "
           "returns None. CompileError 'encoder output size mismatch' for an output of another size, "
           "'encoder output overlaps input' or '... weights' for one that shares elements with the "
           "input (other than being it) or the weights; the output is then left as it was. Runs "
           "without the GIL.");
}

}  // namespace orvo_compiler::python
