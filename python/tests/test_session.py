"""Session: a model run in one call with its weights bound, feeds checked by name, shape and
type, converted only where no value changes; its schedule's views named after the model."""

import json

import numpy as np
import pytest

import orvo_compiler as oc
from conftest import ONNX_FIXTURES
from test_import_evaluate import fixture_folders

pytestmark = pytest.mark.skipif(not hasattr(oc, "Session") or not ONNX_FIXTURES.is_dir(),
                                reason="the ONNX importer is not in this build")

MLP = ONNX_FIXTURES / "torch_relu_mlp"


def mlp_session(**keywords):
    return oc.Session(MLP / "model.onnx", dimensions={"sequence": 8}, **keywords)


def mlp_input():
    return np.load(MLP / "input.npy")


@pytest.mark.parametrize("folder", fixture_folders(), ids=lambda path: getattr(path, "name", None))
def test_every_fixture_runs_in_one_call(folder):
    meta = json.loads((folder / "meta.json").read_text())
    session = oc.Session(folder / "model.onnx", dimensions=meta["symbols"], threads=2)
    assert [info.name for info in session.inputs] == [source["name"] for source in meta["inputs"]]
    assert session.name == "model.onnx"
    outputs = session.run({source["name"]: np.load(folder / source["file"]) for source in meta["inputs"]})
    assert list(outputs) == [info.name for info in session.outputs]
    for sink in meta["outputs"]:
        expected = np.load(folder / sink["file"])
        assert outputs[sink["name"]].shape == expected.shape
        assert np.max(np.abs(outputs[sink["name"]] - expected)) < 1e-4


def test_runs_equal_evaluate_and_list_the_model():
    session = mlp_session(threads=3)
    model = oc.import_onnx(MLP / "model.onnx", dimensions={"sequence": 8})
    assert session.inputs == model.inputs == [oc.TensorInfo("input", [2, 8, 32], oc.DType.F32)]
    assert session.outputs == model.outputs
    x = mlp_input()
    expected = oc.evaluate(model.graph, {"input": x, **model.weights})["output"]
    for _ in range(2):
        assert session.run({"input": x})["output"].tobytes() == expected.tobytes()
    assert list(session.run({"input": x}, outputs=["output"])) == ["output"]
    # An ImportedModel and the model's bytes make the same session.
    for source in (model, (MLP / "model.onnx").read_bytes()):
        assert oc.Session(source, dimensions={"sequence": 8}).run({"input": x})["output"].tobytes() == \
            expected.tobytes()


class ArrayLike:
    """Anything numpy reads through __array__."""

    def __init__(self, values):
        self.values = values

    def __array__(self, dtype=None):
        return self.values if dtype is None else self.values.astype(dtype)


def test_feeds_convert_only_where_no_value_changes():
    session = mlp_session()
    x = mlp_input()
    expected = session.run({"input": x})["output"].tobytes()
    lossless = [
        x.astype(np.float64),                          # every value a float32
        np.asfortranarray(x),                          # not C order: copied
        ArrayLike(x),
        x.tolist(),
    ]
    for value in lossless:
        assert session.run({"input": value})["output"].tobytes() == expected
    lossy = {
        "float64 beyond float32": x.astype(np.float64) + 1e-12,
        "integers for floats": x.astype(np.int64),
        "bools for floats": x > 0,
    }
    for what, value in lossy.items():
        with pytest.raises(TypeError, match="^input input: "):
            session.run({"input": value})
        assert what


def test_torch_tensors_are_feeds():
    torch = pytest.importorskip("torch")
    session = mlp_session()
    x = mlp_input()
    expected = session.run({"input": x})["output"].tobytes()
    assert session.run({"input": torch.from_numpy(x)})["output"].tobytes() == expected
    # A transposed view read through DLPack, then copied to C order.
    transposed = torch.from_numpy(np.ascontiguousarray(x.transpose(2, 1, 0))).permute(2, 1, 0)
    assert session.run({"input": transposed})["output"].tobytes() == expected


@pytest.mark.parametrize("feeds, outputs, message", [
    ({"input": np.zeros((32, 8, 2), np.float32)}, None,
     "session: input input has shape [32, 8, 2]; the model expects [2, 8, 32]"),
    ({"input": np.zeros(512, np.float32)}, None, "session: input input has shape [512]; the model expects [2, 8, 32]"),
    ({}, None, "session: no value for input input (float32 [2, 8, 32])"),
    ({"input": np.zeros((2, 8, 32), np.float32), "mask": np.zeros(2, np.float32)}, None,
     "session: the model has no input named mask; its inputs are input"),
    ({"input": np.zeros((2, 8, 32), np.float32)}, ["logits"],
     "session: the model has no output named logits; its outputs are output"),
])
def test_refusals_name_the_input_and_both_shapes(feeds, outputs, message):
    with pytest.raises(oc.CompileError) as raised:
        mlp_session().run(feeds, outputs=outputs)
    assert (raised.value.kind, raised.value.message) == ("graph", message)


def test_bad_arguments_are_refused_in_words():
    with pytest.raises(TypeError, match="^model must be a path, the model's bytes, an onnx.ModelProto or an "
                                        "ImportedModel, not int$"):
        oc.Session(42)
    with pytest.raises(oc.CompileError, match=r'pass dimensions=\{"sequence": N\}$'):
        oc.Session(MLP / "model.onnx")
    with pytest.raises(oc.CompileError, match="thread count 0"):
        mlp_session(threads=0)
    with pytest.raises(TypeError, match="^feeds are keyed by input name"):
        mlp_session().run({0: mlp_input()})
    with pytest.raises(ValueError, match="^outputs names no output"):
        mlp_session().run({"input": mlp_input()}, outputs=[])


def test_model_protos_are_serialised_not_printed():
    onnx = pytest.importorskip("onnx")
    if not hasattr(onnx, "load"):
        # ONNX's conformance data installs its files under an `onnx` folder
        # of the system's packages, which imports as an empty namespace.
        pytest.skip("the onnx Python package is not installed, only ONNX's test data")
    proto = onnx.load(str(MLP / "model.onnx"))
    session = oc.Session(proto, dimensions={"sequence": 8})
    assert session.name == proto.graph.name
    assert oc.import_onnx(proto, dimensions={"sequence": 8}).graph == session.model.graph
    with pytest.raises(oc.CompileError) as raised:
        oc.import_onnx(proto)
    assert len(str(raised.value)) < 200


def test_compiled_model_views_name_the_model():
    session = mlp_session(name="relu mlp")
    compiled = session.compile(tile_count=16)
    assert compiled.options == oc.CompilerOptions(tile_count=16)
    assert compiled.schedule == oc.compile(session.model.graph, tile_count=16)
    compiled.verify()
    assert compiled.summary().splitlines()[0] == "workload:     model relu mlp"
    assert "<title>Schedule report: model relu mlp, 16 tiles</title>" in compiled.report_html()
    assert compiled.memory_map_svg(tile=3).startswith("<svg") or compiled.memory_map_svg(tile=3).startswith("<?xml")
    if hasattr(oc, "trace_json"):
        assert "relu mlp" in json.dumps(json.loads(compiled.schedule_json()))
        json.loads(compiled.trace_json())


def test_options_fields_are_keywords_everywhere():
    session = mlp_session()
    graph = session.model.graph
    options = oc.CompilerOptions(tile_count=16, data_limit=0xD0000)
    schedule = oc.compile(graph, options)
    assert oc.compile(graph, tile_count=16, data_limit=0xD0000) == schedule
    # Keywords override a given record's fields.
    assert oc.compile(graph, oc.CompilerOptions(tile_count=3), tile_count=16, data_limit=0xD0000) == schedule
    oc.verify_schedule(graph, schedule, tile_count=16, data_limit=0xD0000)
    assert oc.memory_map_svg(graph, schedule, tile=2, tile_count=16, data_limit=0xD0000) == \
        oc.memory_map_svg(graph, schedule, options, 2)
    with pytest.raises(TypeError, match="^compile\\(\\) got an unexpected keyword argument 'tiles'; the options it "
                                        "takes as keywords are options, tile_count, data_base, data_limit$"):
        oc.compile(graph, tiles=16)
    with pytest.raises(TypeError):
        oc.compile(graph, tile_count=1 << 20)
    with pytest.raises(TypeError, match="^compile\\(\\): options must be a CompilerOptions, not dict$"):
        oc.compile(graph, {"tile_count": 16})
