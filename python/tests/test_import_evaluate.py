"""evaluate and import_onnx from Python: values keyed by name or TensorId, the multi-head encoder
layer evaluated bit for bit as encoder_reference computes it, and imported models against PyTorch."""

import json

import numpy as np
import pytest

import orvo_compiler as oc
from conftest import ONNX_FIXTURES

needs_evaluate = pytest.mark.skipif(not hasattr(oc, "evaluate"), reason="evaluate is not in this build yet")
needs_import = pytest.mark.skipif(not hasattr(oc, "import_onnx") or not ONNX_FIXTURES.is_dir(),
                                  reason="import_onnx or the ONNX fixtures are not in this build yet")


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).ravel().tolist()


def multi_head_layer(config):
    """The encoder layer as encoder_reference computes it (heads split, scores divided by the square
    root of the head size), built from the model operations."""
    s, h, heads, f = config.sequence, config.hidden, config.heads, config.feed_forward
    head = h // heads
    g = oc.Graph()
    x = g.input("input", [s, h])
    scale = g.sqrt("score_scale", g.input("head_size", [1]))
    w = {name: g.weight(name, shape) for name, shape in
         [("wq", [h, h]), ("wk", [h, h]), ("wv", [h, h]), ("wo", [h, h]), ("w1", [h, f]), ("w2", [f, h])]}
    norm1 = g.layer_norm("norm1", x, 1e-5)

    def split(name, tensor, order):
        return g.transpose(f"{name}_heads", g.reshape(f"{name}_split", tensor, [s, heads, head]), order)

    q = split("q", g.matmul("q", norm1, w["wq"]), [1, 0, 2])
    k = split("k", g.matmul("k", norm1, w["wk"]), [1, 2, 0])
    v = split("v", g.matmul("v", norm1, w["wv"]), [1, 0, 2])
    scores = g.div("scaled_scores", g.batch_matmul("scores", q, k), g.broadcast("divisor", scale, [heads, s, s]))
    context = g.batch_matmul("context_heads", g.softmax("probabilities", scores, 2), v)
    context = g.reshape("context", g.transpose("context_rows", context, [1, 0, 2]), [s, h])
    residual = g.add("attention_residual", x, g.matmul("projection", context, w["wo"]))
    up = g.matmul("ffn_up", g.layer_norm("norm2", residual, 1e-5), w["w1"])
    g.mark_output(g.add("ffn_residual", residual, g.matmul("ffn_down", g.gelu("ffn_gelu", up), w["w2"])))
    return g


def layer_values(config, weights, layer_input):
    values = {name: getattr(weights, name) for name in ("wq", "wk", "wv", "wo", "w1", "w2")}
    values["input"] = layer_input
    values["head_size"] = np.array([config.hidden // config.heads], dtype=np.float32)
    return values


@needs_evaluate
@pytest.mark.parametrize("config", [
    oc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16),
    oc.EncoderConfig(sequence=16, hidden=32, heads=4, feed_forward=64),
])
def test_multi_head_layer_evaluates_to_encoder_reference_bits(config):
    weights = oc.EncoderWeights.deterministic(config)
    layer_input = np.linspace(-2, 2, config.sequence * config.hidden, dtype=np.float32)
    outputs = oc.evaluate(multi_head_layer(config), layer_values(config, weights, layer_input))
    assert list(outputs) == ["ffn_residual"]
    result = outputs["ffn_residual"]
    assert result.shape == (config.sequence, config.hidden) and not result.flags.owndata
    assert bits(result) == bits(oc.encoder_reference(config, layer_input, weights))


def small_graph():
    g = oc.Graph()
    a = g.input("a", [2, 2])
    b = g.weight("b", [2])
    g.mark_output(g.sqrt("root", a))
    g.mark_output(g.mul("scaled", a, g.broadcast("wide", b, [2, 2])))
    g.mark_output(g.reduce_mean("mean", a))
    return g


@needs_evaluate
def test_values_by_name_or_id_and_results_by_name_or_id():
    graph = small_graph()
    a = np.array([[4, 9], [16, 25]], dtype=np.float32)
    b = np.array([10, 100], dtype=np.float32)
    by_name = oc.evaluate(graph, {"a": a, "b": b})
    mixed = oc.evaluate(graph, {oc.TensorId(0): a, "b": b})
    assert list(by_name) == ["root", "scaled", "mean"]
    assert by_name["root"].tolist() == [[2, 3], [4, 5]]
    assert by_name["scaled"].tolist() == [[40, 900], [160, 2500]]
    assert by_name["mean"].shape == (2, 1) and by_name["mean"].tolist() == [[6.5], [20.5]]
    assert all(np.array_equal(mixed[name], by_name[name]) for name in by_name)
    by_id = oc.evaluate(graph, {"a": a, "b": b}, keys="id")
    assert sorted(by_id) == [oc.TensorId(2), oc.TensorId(4), oc.TensorId(5)]
    assert np.array_equal(by_id[oc.TensorId(2)], by_name["root"])


@needs_evaluate
@pytest.mark.parametrize("values, message", [
    ({"a": np.ones(4, dtype=np.float32)}, "evaluate: no value for input b"),
    ({"a": np.ones(3, dtype=np.float32), "b": np.ones(2, dtype=np.float32)},
     "evaluate: value for a has 3 elements, expected 4"),
    ({"a": np.ones(4, dtype=np.float32), "b": np.ones(2, dtype=np.float32), "root": np.ones(4, dtype=np.float32)},
     "evaluate: root is not an input or weight"),
    ({"a": np.ones(4, dtype=np.float32), "b": np.ones(2, dtype=np.float32),
      oc.TensorId(99): np.ones(1, dtype=np.float32)}, None),
])
def test_evaluate_errors_carry_the_library_text(values, message):
    with pytest.raises(oc.CompileError) as raised:
        oc.evaluate(small_graph(), values)
    assert raised.value.kind == "graph"
    if message is not None:
        assert raised.value.message == message


@needs_evaluate
@pytest.mark.parametrize("values, keys, exception", [
    ({"nobody": np.ones(1, dtype=np.float32)}, "name", ValueError),
    ({3: np.ones(1, dtype=np.float32)}, "name", TypeError),
    ({"a": [1.0, 2.0, 3.0, 4.0]}, "name", TypeError),
    ({"a": np.ones(4)}, "name", TypeError),
    ({"a": np.ones((4, 4), dtype=np.float32)[:, 0]}, "name", ValueError),
    ({"a": np.ones(4, dtype=np.float32), oc.TensorId(0): np.ones(4, dtype=np.float32)}, "name", ValueError),
    ({"a": np.ones(4, dtype=np.float32), "b": np.ones(2, dtype=np.float32)}, "index", ValueError),
])
def test_evaluate_refuses_bad_arguments(values, keys, exception):
    with pytest.raises(exception):
        oc.evaluate(small_graph(), values, keys=keys)


@needs_evaluate
def test_names_must_be_unique_to_serve_as_keys():
    g = oc.Graph()
    x = g.input("x", [2])
    g.input("x", [2])
    g.mark_output(g.gelu("y", x))
    with pytest.raises(ValueError, match="2 tensors are named 'x'"):
        oc.evaluate(g, {"x": np.ones(2, dtype=np.float32)})
    outputs = oc.evaluate(g, {oc.TensorId(0): np.ones(2, dtype=np.float32),
                              oc.TensorId(1): np.ones(2, dtype=np.float32)})
    assert bits(outputs["y"]) == bits([oc.gelu(1.0)] * 2)
    twice = oc.Graph()
    z = twice.input("z", [1])
    twice.mark_output(twice.sqrt("same", z))
    twice.mark_output(twice.gelu("same", z))
    with pytest.raises(ValueError, match="use keys='id'"):
        oc.evaluate(twice, {"z": np.ones(1, dtype=np.float32)})
    assert len(oc.evaluate(twice, {"z": np.ones(1, dtype=np.float32)}, keys="id")) == 2


@needs_evaluate
@pytest.mark.parametrize("key, message", [
    ("q", "no tensor is named 'q'"),
    ("A", "no tensor is named 'A'"),
    ("x", "2 tensors are named 'x': use a TensorId"),
])
def test_a_name_that_names_no_tensor_or_several_is_refused_in_words(key, message):
    g = oc.Graph()
    x = g.input("x", [2])
    g.input("x", [2])
    g.input("a", [2])
    g.mark_output(g.gelu("y", x))
    with pytest.raises(ValueError) as raised:
        oc.evaluate(g, {key: np.ones(2, dtype=np.float32)})
    assert str(raised.value) == message


def fixture_folders():
    """The fixtures stored whole: the vision models keep no weight data, which only
    the C++ fixture test generates (it reads the model with protobuf's own API)."""
    return [path for path in sorted(ONNX_FIXTURES.glob("*"))
            if (path / "meta.json").is_file() and "seeded" not in json.loads((path / "meta.json").read_text())]


@needs_import
@needs_evaluate
@pytest.mark.parametrize("folder", fixture_folders(), ids=lambda path: getattr(path, "name", None))
def test_imported_models_evaluate_to_pytorch_output(folder):
    meta = json.loads((folder / "meta.json").read_text())
    model = oc.import_onnx(folder / "model.onnx", dimensions=meta["symbols"])
    assert (model.opset, model.producer) == (meta["opset"], meta["producer"])
    values = dict(model.weights)
    for tensor, weight in values.items():
        assert weight.shape == tuple(model.graph.tensors[tensor.index].shape) and not weight.flags.writeable
    for source in meta["inputs"]:
        values[source["name"]] = np.load(folder / source["file"])
    outputs = oc.evaluate(model.graph, values)
    for sink in meta["outputs"]:
        expected = np.load(folder / sink["file"])
        assert outputs[sink["name"]].shape == expected.shape
        assert np.max(np.abs(outputs[sink["name"]] - expected)) < 1e-4
    oc.compile(model.graph, oc.CompilerOptions(tile_count=64))


@needs_import
def test_import_from_bytes_equals_import_from_path():
    folder = ONNX_FIXTURES / "torch_encoder_prenorm"
    from_path = oc.import_onnx(folder / "model.onnx")
    from_bytes = oc.import_onnx((folder / "model.onnx").read_bytes())
    from_str = oc.import_onnx(str(folder / "model.onnx"))
    assert from_path.graph == from_bytes.graph == from_str.graph


# The module names unbound symbols as the `dimensions` argument that binds them, all at once.
UNBOUND = "onnx: symbolic dimension {0} is not bound; pass dimensions={{\"{0}\": N}}"


@needs_import
@pytest.mark.parametrize("file, dimensions, message", [
    ("bad/truncated.onnx", {}, "onnx: cannot parse model: 20504 bytes that are not an ONNX ModelProto"),
    ("bad/random.onnx", {}, "onnx: cannot parse model: 4096 bytes that are not an ONNX ModelProto"),
    ("bad/unsupported.onnx", {},
     "onnx: unsupported operators: Det (first node /Det)"),
    ("prenorm_manual/model.onnx", {}, UNBOUND.format("sequence")),
    ("torch_encoder_postnorm/model.onnx", {"sequence": 8}, UNBOUND.format("batch")),
    ("torch_encoder_postnorm/model.onnx", {"other": 8},
     'onnx: symbolic dimensions batch, sequence are not bound; pass dimensions={"batch": N, "sequence": N}'),
])
def test_import_errors_carry_the_library_text(file, dimensions, message):
    for source in (ONNX_FIXTURES / file, (ONNX_FIXTURES / file).read_bytes()):
        with pytest.raises(oc.CompileError) as raised:
            oc.import_onnx(source, dimensions=dimensions)
        assert (raised.value.kind, raised.value.message) == ("graph", message)


@needs_import
def test_import_refuses_bad_arguments():
    absent = ONNX_FIXTURES / "absent.onnx"
    with pytest.raises(oc.CompileError, match=f"^onnx: cannot read {absent}$"):
        oc.import_onnx(absent)
    with pytest.raises(TypeError):
        oc.import_onnx(42)
    with pytest.raises(TypeError):
        oc.import_onnx(ONNX_FIXTURES / "prenorm_manual" / "model.onnx", dimensions={"sequence": -8})
    with pytest.raises(ValueError):
        oc.import_onnx(memoryview((ONNX_FIXTURES / "prenorm_manual" / "model.onnx").read_bytes())[::2])


@needs_import
def test_imported_model_keeps_its_weights_alive():
    model = oc.import_onnx(ONNX_FIXTURES / "torch_encoder_prenorm" / "model.onnx")
    weights = model.weights
    del model
    assert all(np.isfinite(weight).all() for weight in weights.values())
    manual = oc.import_onnx(ONNX_FIXTURES / "prenorm_manual" / "model.onnx", dimensions={"sequence": 8})
    assert manual.fused == ["gelu (tanh) at /gelu/Mul"]
    opset14 = oc.import_onnx(ONNX_FIXTURES / "torch_encoder_opset14" / "model.onnx", dimensions={"sequence": 8})
    assert opset14.fused == ["layer norm at /norm1/ReduceMean", "layer norm at /norm2/ReduceMean"]


@needs_import
def test_typed_values_in_and_out():
    # int64 token ids (int32 widened) and a bool mask in; int64 and bool outputs and weights out.
    model = oc.import_onnx(ONNX_FIXTURES / "typed" / "model.onnx", dimensions={"batch": 2})
    (offset,) = model.weights.values()
    assert offset.dtype == np.int64 and offset.tolist() == [10, -20, 1 << 40]
    mask = np.load(ONNX_FIXTURES / "typed" / "mask.npy")
    for ids in (np.load(ONNX_FIXTURES / "typed" / "ids.npy"), np.array([[1, 2, 3], [4, 5, 6]], dtype=np.int32)):
        outputs = oc.evaluate(model.graph, {"ids": ids, "mask": mask, **model.weights})
        assert outputs["shifted"].dtype == np.int64
        assert outputs["shifted"].tolist() == [[11, -18, (1 << 40) + 3], [14, -15, (1 << 40) + 6]]
        assert outputs["flipped"].dtype == np.bool_
        assert outputs["flipped"].tolist() == [[True, False], [True, False], [False, True]]

    for ids, message in [
        (np.ones((2, 3)), "the value for 'ids' has dtype float64; expected int64 (int32 is widened to int64)"),
        (np.ones((2, 3), dtype=np.float32),
         "the value for 'ids' has dtype float32; expected int64 (int32 is widened to int64)"),
        (np.ones((2, 3), dtype=np.uint8), "the value for 'ids' has dtype uint8; expected int64 (int32 is widened to int64)"),
    ]:
        with pytest.raises(TypeError) as raised:
            oc.evaluate(model.graph, {"ids": ids, "mask": mask, **model.weights})
        assert str(raised.value) == message
    with pytest.raises(TypeError, match=r"^the value for 'mask' has dtype int64; expected bool$"):
        oc.evaluate(model.graph, {"ids": np.ones((2, 3), dtype=np.int64), "mask": mask.astype(np.int64),
                                  **model.weights})
