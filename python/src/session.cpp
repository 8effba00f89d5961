// Bindings of session.hpp: a model run the way an inference library runs one.
// Feeds come as anything numpy can read (arrays, torch tensors, objects with
// __array__ or DLPack, nested lists) and are converted only where no value
// changes; the compiled schedule comes with its report, memory maps and
// trace, labelled with the model.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <pybind11/stl/filesystem.h>

#include "arrays.hpp"
#include "bindings.hpp"
#include "import_advice.hpp"
#include "tensor_values.hpp"
#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/npy.hpp"
#include "orvo_compiler/session.hpp"
#include "orvo_compiler/views.hpp"
#ifdef ORVO_PYTHON_JSON
#include "orvo_compiler/schedule_json.hpp"
#endif

namespace orvo_compiler::python {
namespace {

using namespace pybind11::literals;

std::string type_name(py::handle object) { return py::str(py::type::of(object).attr("__name__")).cast<std::string>(); }

// A numpy array over `value`: arrays as they are, DLPack producers (torch
// tensors among them) and anything else through numpy's own conversion.
py::array as_array(const std::string& name, py::handle value) {
  if (py::isinstance<py::array>(value)) {
    return py::reinterpret_borrow<py::array>(value);
  }
  const py::module_ numpy = py::module_::import("numpy");
  try {
    if (py::hasattr(value, "__dlpack__") && py::hasattr(numpy, "from_dlpack")) {
      return numpy.attr("from_dlpack")(value).cast<py::array>();
    }
    return numpy.attr("asarray")(value).cast<py::array>();
  } catch (py::error_already_set& error) {
    throw py::type_error(fmt::format("input {}: cannot read a {} as an array: {}", name, type_name(value),
                                     py::str(error.value()).cast<std::string>()));
  }
}

// The numpy kind letter of the array's dtype: 'f' float, 'i' signed, 'u'
// unsigned, 'b' bool, ...
char kind_of(const py::array& array) { return array.dtype().kind(); }

// `array` converted to `wanted` where every value survives the conversion;
// TypeError naming the input otherwise.
py::array converted(const std::string& name, const py::array& array, DType wanted) {
  const py::module_ numpy = py::module_::import("numpy");
  const std::string given = py::str(array.dtype()).cast<std::string>();
  auto refuse = [&](const std::string& why) {
    return py::type_error(fmt::format("input {}: {} values given, the model expects {}{}", name, given,
                                      numpy_name(wanted), why));
  };
  switch (wanted) {
    case DType::F32: {
      if (array.dtype().equal(py::dtype::of<float>())) {
        return array;
      }
      if (kind_of(array) != 'f') {
        throw refuse("");
      }
      py::array single = numpy.attr("asarray")(array, "float32");
      // float16 always fits; float64 (and wider) only where each value is a float32.
      const bool exact = numpy.attr("array_equal")(single, array, "equal_nan"_a = true).cast<bool>();
      if (!exact) {
        throw refuse(" and some values are not float32 values (convert them with astype(numpy.float32))");
      }
      return single;
    }
    case DType::I64: {
      if (array.dtype().equal(py::dtype::of<std::int64_t>())) {
        return array;
      }
      if (kind_of(array) != 'i' && kind_of(array) != 'u') {
        throw refuse("");
      }
      py::array wide = numpy.attr("asarray")(array, "int64");
      if (!numpy.attr("array_equal")(wide, array).cast<bool>()) {
        throw refuse(" and some values do not fit in int64");
      }
      return wide;
    }
    case DType::Bool:
      if (kind_of(array) != 'b') {
        throw refuse("");
      }
      return array;
  }
  return array;
}

// The elements of a C-contiguous array of element type T.
template <class T>
std::vector<T> elements_of(const py::array& array) {
  const auto* data = static_cast<const T*>(array.data());
  return std::vector<T>(data, data + array.size());
}

// One feed as the session takes it: converted to the input's element type
// (when the session has such an input), in C order.
NpyData feed_of(const Session& session, const std::string& name, py::handle value) {
  py::array array = as_array(name, value);
  std::optional<DType> wanted;
  for (const TensorInfo& input : session.inputs()) {
    if (input.name == name) {
      wanted = input.dtype;
    }
  }
  // A name the model lacks is refused by the session, naming its inputs.
  array = converted(name, array, wanted.value_or(DType::F32));
  array = py::module_::import("numpy").attr("ascontiguousarray")(array).cast<py::array>();
  NpyData feed;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    feed.shape.push_back(static_cast<std::uint64_t>(array.shape(axis)));
  }
  switch (wanted.value_or(DType::F32)) {
    case DType::F32:
      feed.values = elements_of<float>(array);
      break;
    case DType::I64:
      feed.values = elements_of<std::int64_t>(array);
      break;
    case DType::Bool:
      feed.values = elements_of<std::uint8_t>(array);
      break;
  }
  return feed;
}

// The serialised model of a path (str or os.PathLike), a buffer (bytes,
// bytearray, memoryview, ...) or a protobuf message such as onnx.ModelProto.
using ModelSource = std::variant<std::filesystem::path, std::vector<std::uint8_t>>;

ModelSource model_source(py::handle model) {
  if (py::isinstance<py::str>(model) || py::hasattr(model, "__fspath__")) {
    return model.cast<std::filesystem::path>();
  }
  if (py::hasattr(model, "SerializeToString")) {
    const auto bytes = model.attr("SerializeToString")().cast<std::string>();
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }
  if (PyObject_CheckBuffer(model.ptr()) != 0) {
    const py::buffer_info buffer = py::reinterpret_borrow<py::buffer>(model).request();
    const std::span<const std::uint8_t> view = byte_view(buffer, "model");
    return std::vector<std::uint8_t>(view.begin(), view.end());
  }
  throw py::type_error(fmt::format(
      "model must be a path, the model's bytes, an onnx.ModelProto or an ImportedModel, not {}", type_name(model)));
}

// A compiled schedule of a session's model, with what it is shown through.
struct CompiledModel {
  Graph graph;
  CompilerOptions options;
  Schedule schedule;
  Workload workload;
};

std::unique_ptr<Session> make_session(const py::object& model, std::optional<std::map<std::string, std::uint64_t>> dimensions,
                                      std::optional<std::size_t> threads, std::optional<std::string> name,
                                      std::optional<std::uint64_t> max_elements) {
  SessionOptions options;
  options.import.dimensions = dimensions.value_or(std::map<std::string, std::uint64_t>{});
  if (max_elements) {
    options.import.max_elements = *max_elements;
  }
  options.threads = threads.value_or(default_thread_count());
  if (name) {
    options.name = *name;
  } else if (py::hasattr(model, "graph") && py::hasattr(model.attr("graph"), "name") &&
             py::isinstance<py::str>(model.attr("graph").attr("name"))) {
    // An onnx.ModelProto: its graph's name, when it has one.
    options.name = model.attr("graph").attr("name").cast<std::string>();
  }
  if (py::isinstance<ImportedModel>(model)) {
    ImportedModel imported = model.cast<ImportedModel>();
    return std::make_unique<Session>(
        value_or_raise(without_gil([&] { return Session::make(std::move(imported), options); })));
  }
  const ModelSource source = model_source(model);
  return std::make_unique<Session>(value_or_raise(without_gil([&] {
    return std::visit(
        [&]<class From>(const From& from) {
          if constexpr (std::is_same_v<From, std::filesystem::path>) {
            return with_dimension_advice(Session::load(from, options), from, options.import);
          } else {
            const std::span<const std::uint8_t> bytes(from);
            return with_dimension_advice(Session::load(bytes, options), bytes, options.import);
          }
        },
        source);
  })));
}

std::vector<std::string> wanted_outputs(const py::object& outputs) {
  if (outputs.is_none()) {
    return {};
  }
  if (py::isinstance<py::str>(outputs)) {
    return {outputs.cast<std::string>()};
  }
  std::vector<std::string> names;
  for (const py::handle name : outputs) {
    if (!py::isinstance<py::str>(name)) {
      throw py::type_error(fmt::format("outputs must name outputs by str, not {}", type_name(name)));
    }
    names.push_back(name.cast<std::string>());
  }
  if (names.empty()) {
    throw py::value_error("outputs names no output; pass None for all of them");
  }
  return names;
}

void bind_tensor_info(py::module_& module) {
  NamedRecord<TensorInfo> info(module, "TensorInfo", "An input or output of a model: name, shape and element type.");
  info.type().def(py::init([](std::string name, Shape shape, DType dtype) {
                    return TensorInfo{std::move(name), std::move(shape), dtype};
                  }),
                  "name"_a = "", "shape"_a = Shape{}, "dtype"_a = DType::F32, record_init_doc);
  info.field("name", &TensorInfo::name, "The model's name for it.")
      .field("shape", &TensorInfo::shape, "Its dimensions, every one bound.")
      .field("dtype", &TensorInfo::dtype, "Its element type (F32, I64 or Bool).");
  module
      .def("input_infos", &input_infos, "graph"_a, "The graph's inputs, in the order it declares them.")
      .def("output_infos", &output_infos, "graph"_a, "The graph's outputs in the order it marks them, each once.");
}

void bind_compiled(py::module_& module) {
  py::class_<CompiledModel>(module, "CompiledModel",
                            "A schedule of a session's model, with its report, memory maps and trace.")
      .def_readonly("schedule", &CompiledModel::schedule, "The schedule.")
      .def_readonly("options", &CompiledModel::options, "The target it was compiled for.")
      .def_readonly("graph", &CompiledModel::graph, "The model's graph.")
      .def_readonly("workload", &CompiledModel::workload, "The model's label in reports.")
      .def(
          "summary",
          [](const CompiledModel& self) {
            return schedule_summary(self.workload, self.options, self.schedule,
                                    schedule_statistics(self.graph, self.schedule));
          },
          "The summary `orvoc compile` prints, naming the model.")
      .def(
          "report_html",
          [](const CompiledModel& self, std::uint16_t tile) {
            return report_html(self.workload, self.options, self.graph, self.schedule, tile);
          },
          "tile"_a = 0, "The HTML report, with tile `tile`'s memory map, naming the model.")
      .def(
          "memory_map_svg",
          [](const CompiledModel& self, std::uint16_t tile, SvgForm form) {
            return memory_map_svg(self.graph, self.schedule, self.options, tile, form);
          },
          "tile"_a = 0, "form"_a = SvgForm::Document, "Tile `tile`'s SRAM map as SVG text.")
      .def(
          "verify", [](const CompiledModel& self) { value_or_raise(verify_schedule(self.graph, self.schedule, self.options)); },
          "Checks the schedule independently of the compiler; raises CompileError for a broken invariant.")
#ifdef ORVO_PYTHON_JSON
      .def(
          "schedule_json",
          [](const CompiledModel& self, int indent) {
            return schedule_json(self.workload, self.options, self.graph, self.schedule).dump(indent);
          },
          "indent"_a = 2, "The schedule as JSON text, as `orvoc compile --json` writes it.")
      .def(
          "trace_json", [](const CompiledModel& self) { return trace_json(self.graph, self.schedule); },
          "The schedule as a trace-event JSON document for timeline viewers.")
#endif
      .def("__repr__", [](const CompiledModel& self) {
        return fmt::format("CompiledModel(model={}, tile_count={}, phases={})", self.workload.model,
                           self.options.tile_count, self.schedule.phases.size());
      });
}

}  // namespace

void bind_session(py::module_& module) {
  bind_tensor_info(module);
  bind_compiled(module);
  py::class_<Session>(module, "Session",
                      "A model ready to run: imported once, weights bound, inputs checked by name, shape and "
                      "type on every run; runs give evaluate()'s bits on any thread count.")
      .def(py::init(&make_session), "model"_a, "dimensions"_a = py::none(), "threads"_a = py::none(),
           "name"_a = py::none(), "max_elements"_a = py::none(),
           "Imports `model` (a path, the model's bytes, an onnx.ModelProto, or an ImportedModel) with its "
           "symbolic dimensions bound by `dimensions`, and prepares its evaluation on `threads` threads "
           "(None: default_thread_count()). `name` labels reports (None: the file's name, the ModelProto "
           "graph's name, or 'model'). CompileError for what import_onnx and PreparedEvaluation refuse.")
      .def_property_readonly("inputs", &Session::inputs, "The model's inputs: TensorInfo records, in model order.")
      .def_property_readonly("outputs", &Session::outputs, "The model's outputs: TensorInfo records, in model order.")
      .def_property_readonly(
          "model", [](const Session& self) { return self.model(); }, "The imported model (a copy).")
      .def_property_readonly("name", &Session::name, "What reports call the model.")
      .def_property_readonly("threads", &Session::threads, "The threads a run uses, the caller's included.")
      .def(
          "run",
          [](Session& self, const py::dict& feeds, const py::object& outputs) {
            NamedArrays given;
            for (const auto& [key, value] : feeds) {
              if (!py::isinstance<py::str>(key)) {
                throw py::type_error(fmt::format("feeds are keyed by input name (str), not {}", type_name(key)));
              }
              const auto name = key.cast<std::string>();
              given.emplace(name, feed_of(self, name, value));
            }
            const std::vector<std::string> wanted = wanted_outputs(outputs);
            NamedArrays results =
                value_or_raise(without_gil([&] { return self.run(std::move(given), wanted); }));
            py::dict arrays;
            for (const TensorInfo& output : self.outputs()) {
              if (auto found = results.find(output.name); found != results.end()) {
                arrays[py::str(output.name)] = array_of(found->second.shape, std::move(found->second.values));
              }
            }
            return arrays;
          },
          "feeds"_a, "outputs"_a = py::none(),
          "The model's outputs (those `outputs` names, or all) for `feeds`, a dict from input name to "
          "value, as a dict from output name to array in model order. Every input needs a value of "
          "exactly its shape. Values convert to the input's type only where none changes: float64 "
          "and float16 to float32 when each value is a float32, any integer type to int64; anything "
          "else is a TypeError. Non-contiguous values are copied. CompileError for a missing or "
          "unknown name or a wrong shape, naming the input, the shape expected and the shape given. "
          "Runs without the GIL; runs of one session wait for each other.")
      .def(
          "compile",
          [](const Session& self, const py::object& options, const py::kwargs& fields) {
            const CompilerOptions chosen = compiler_options_from(options, fields, "compile");
            Schedule schedule = value_or_raise(without_gil([&] { return self.compile(chosen); }));
            Workload workload;
            workload.model = self.name();
            return CompiledModel{self.model().graph, chosen, std::move(schedule), std::move(workload)};
          },
          "options"_a = py::none(),
          "The schedule of the model's graph for `options` (None: the defaults) or its fields as "
          "keywords (session.compile(tile_count=1024)), with its report, memory maps and trace naming "
          "the model. CompileError as compile() raises it. Runs without the GIL.")
      .def("__repr__", [](const Session& self) {
        return fmt::format("Session(name={}, inputs={}, outputs={}, threads={})", self.name(),
                           self.inputs().size(), self.outputs().size(), self.threads());
      });
}

}  // namespace orvo_compiler::python
