"""The graph from Python: ids, tensors, operations, every builder call and its failures."""

import copy

import pytest

import orvo_compiler as oc


def sources():
    graph = oc.Graph()
    ids = {
        "a": graph.input("a", [2, 3]),
        "b": graph.input("b", [2, 3]),
        "m": graph.weight("m", [3, 4]),
        "t": graph.input("t", [2, 3, 4]),
        "u": graph.input("u", [2, 4, 5]),
        "row": graph.input("row", [1, 3]),
        "scalar": graph.input("scalar", []),
    }
    return graph, ids


# (call on graph and ids, the output's shape, the operation's kind)
BUILDERS = [
    (lambda g, t: g.add("r", t["a"], t["b"]), [2, 3], oc.Add()),
    (lambda g, t: g.mul("r", t["a"], t["b"]), [2, 3], oc.Mul()),
    (lambda g, t: g.sub("r", t["a"], t["b"]), [2, 3], oc.Sub()),
    (lambda g, t: g.div("r", t["a"], t["b"]), [2, 3], oc.Div()),
    (lambda g, t: g.matmul("r", t["a"], t["m"]), [2, 4], oc.MatMul()),
    (lambda g, t: g.batch_matmul("r", t["t"], t["u"]), [2, 3, 5], oc.BatchMatMul()),
    (lambda g, t: g.transpose("r", t["a"], [1, 0]), [3, 2], oc.Transpose(permutation=[1, 0])),
    (lambda g, t: g.softmax("r", t["a"], 1), [2, 3], oc.Softmax(axis=1)),
    (lambda g, t: g.layer_norm("r", t["a"], 0.5), [2, 3], oc.LayerNorm(epsilon=0.5)),
    (lambda g, t: g.gelu("r", t["a"]), [2, 3], oc.Gelu()),
    (lambda g, t: g.erf("r", t["a"]), [2, 3], oc.Erf()),
    (lambda g, t: g.tanh("r", t["a"]), [2, 3], oc.Tanh()),
    (lambda g, t: g.sqrt("r", t["a"]), [2, 3], oc.Sqrt()),
    (lambda g, t: g.reduce_mean("r", t["a"]), [2, 1], oc.ReduceMean()),
    (lambda g, t: g.reshape("r", t["a"], [6]), [6], oc.Reshape(shape=[6])),
    (lambda g, t: g.broadcast("r", t["row"], [2, 3]), [2, 3], oc.Broadcast(shape=[2, 3])),
    (lambda g, t: g.slice("r", t["a"], 1, 0, 2), [2, 2], oc.Slice(axis=1, start=0, end=2)),
    (lambda g, t: g.op("r", oc.Mul(), [t["a"], t["b"]], [2, 3]), [2, 3], oc.Mul()),
    (lambda g, t: g.op("r", oc.Reshape(shape=[8]), [t["a"]], [8]), [8], oc.Reshape(shape=[8])),
    (lambda g, t: g.binary("r", oc.Sub(), t["a"], t["b"]), [2, 3], oc.Sub()),
]


@pytest.mark.parametrize("build, shape, kind", BUILDERS)
def test_builder_appends_operation_and_output(build, shape, kind):
    graph, ids = sources()
    before = len(graph.tensors)
    output = build(graph, ids)
    assert output == oc.TensorId(before)
    tensor = graph.tensors[-1]
    assert (tensor.name, tensor.shape, tensor.kind, tensor.producer) == (
        "r", shape, oc.TensorKind.Intermediate, oc.OpId(0))
    op = graph.ops[0]
    assert (op.id, op.name, op.kind, op.output) == (oc.OpId(0), "r", kind, output)


# (call, the exact CompileError message)
FAILING = [
    (lambda g, t: g.add("bad", t["a"], oc.TensorId(99)), "bad: unknown input"),
    (lambda g, t: g.matmul("bad", t["a"], t["b"]), "bad: incompatible matmul [2, 3] x [2, 3]"),
    (lambda g, t: g.reshape("s", t["a"], [7]), "s: cannot reshape [2, 3] to [7]"),
    (lambda g, t: g.broadcast("s", t["a"], [3, 3]), "s: cannot broadcast [2, 3] to [3, 3]"),
    (lambda g, t: g.batch_matmul("s", t["t"], t["t"]), "s: incompatible batch matmul [2, 3, 4] x [2, 3, 4]"),
    (lambda g, t: g.slice("s", t["a"], 1, 2, 4), "s: slice out of range"),
    (lambda g, t: g.reduce_mean("s", t["scalar"]), "s: reduce_mean of a scalar"),
    (lambda g, t: g.op("bad", oc.Mul(), [t["a"], oc.TensorId(7000)], [2, 3]), "bad: unknown input"),
]


@pytest.mark.parametrize("build, message", FAILING)
def test_failed_builder_call_raises_and_changes_nothing(build, message):
    graph, ids = sources()
    before = copy.copy(graph)
    with pytest.raises(oc.CompileError) as raised:
        build(graph, ids)
    assert (raised.value.kind, raised.value.message) == ("graph", message)
    assert graph == before


def test_ids_compare_hash_and_render_as_in_cpp():
    assert oc.TensorId(7).index == 7
    assert repr(oc.TensorId(7)) == "TensorId(7)"
    assert repr(oc.OpId(3)) == "OpId(3)"
    assert oc.TensorId(7) == oc.TensorId(7)
    assert oc.TensorId(7) != oc.TensorId(8)
    assert oc.TensorId(7) != 7
    assert oc.TensorId(2) < oc.TensorId(10)
    assert sorted([oc.TensorId(3), oc.TensorId(1)]) == [oc.TensorId(1), oc.TensorId(3)]
    assert {oc.TensorId(1): "a"}[oc.TensorId(1)] == "a"
    assert len({oc.TensorId(1), oc.TensorId(1), oc.OpId(1)}) == 2
    with pytest.raises(AttributeError):
        oc.TensorId(1).index = 2


@pytest.mark.parametrize("kind, text", [
    (oc.MatMul(), "MatMul"),
    (oc.Transpose(permutation=[1, 0]), "Transpose { permutation: [1, 0] }"),
    (oc.Softmax(axis=1), "Softmax { axis: 1 }"),
    (oc.Slice(axis=1, start=0, end=4), "Slice { axis: 1, start: 0, end: 4 }"),
    (oc.Broadcast(shape=[2, 3]), "Broadcast { shape: [2, 3] }"),
])
def test_operation_kinds_render_as_in_cpp(kind, text):
    assert repr(kind) == text


def test_operation_kinds_are_values():
    assert oc.Reshape(shape=[2, 3]) == oc.Reshape(shape=[2, 3])
    assert oc.Reshape(shape=[2, 3]) != oc.Reshape(shape=[3, 2])
    assert oc.MatMul() != oc.Add()
    kind = oc.Slice(axis=1, start=2, end=5)
    assert (kind.axis, kind.start, kind.end) == (1, 2, 5)
    assert oc.LayerNorm(epsilon=1e-5).epsilon == pytest.approx(1e-5)
    assert oc.operation_name(oc.LayerNorm()) == "layer_norm"


def test_tensors_and_ops_are_copies(small_graph):
    tensor = small_graph.tensors[0]
    assert repr(tensor) == (
        "Tensor(id=TensorId(0), name='X', dtype=DType.F32, shape=[32, 64], kind=TensorKind.Input, producer=None)")
    assert tensor.elements() == 2048
    assert oc.size(tensor.dtype) == 4
    tensor.name = "changed"
    assert small_graph.tensors[0].name == "X"
    op = small_graph.ops[0]
    assert repr(op) == "Op(id=OpId(0), name='Y', kind=MatMul, inputs=[TensorId(0), TensorId(1)], output=TensorId(2))"
    assert small_graph.outputs == [oc.TensorId(2)]
    assert small_graph.tensors[2].kind == oc.TensorKind.Output
    assert repr(small_graph) == "Graph(tensors=3, ops=1, outputs=[TensorId(2)])"


def test_tensor_and_source_builders():
    graph = oc.Graph()
    x = graph.tensor("x", [4], oc.TensorKind.Weight, None)
    y = graph.tensor("y", [4], oc.TensorKind.Intermediate, oc.OpId(5))
    assert graph.tensors[x.index].kind == oc.TensorKind.Weight
    assert graph.tensors[y.index].producer == oc.OpId(5)
    # Records build from keywords and compare as values.
    assert graph.tensors[0] == oc.Tensor(id=x, name="x", shape=[4], kind=oc.TensorKind.Weight)


def test_validate_and_mark_output():
    graph = oc.Graph()
    with pytest.raises(oc.CompileError, match="^graph has no outputs$"):
        graph.validate()
    x = graph.input("x", [3])
    graph.mark_output(x)
    graph.validate()
    graph.mark_output(oc.TensorId(9))
    assert graph.outputs == [x, oc.TensorId(9)]
    with pytest.raises(oc.CompileError, match="^invalid output 9$"):
        graph.validate()


def test_encoder_graphs():
    layer = oc.encoder_graph(oc.EncoderConfig())
    assert (len(layer.tensors), len(layer.ops), len(layer.outputs)) == (22, 15, 1)
    stack = oc.encoder_stack_graph(oc.EncoderConfig(), 3)
    assert stack.tensors[stack.outputs[0].index].name == "l2.ffn_residual"
    assert copy.deepcopy(stack) == stack
    with pytest.raises(oc.CompileError, match="^invalid encoder dimensions$"):
        oc.encoder_graph(oc.EncoderConfig(heads=3))
    with pytest.raises(oc.CompileError, match="^invalid encoder dimensions$"):
        oc.encoder_stack_graph(oc.EncoderConfig(), 0)
