"""PreparedEvaluation from Python: the outputs of evaluate bit for bit on any thread count, keyed
as evaluate keys them, the library's errors with their texts, and one object run from several
Python threads at once."""

import threading

import numpy as np
import pytest

import orvo_compiler as oc


def bits(outputs):
    return {key: np.asarray(value).view(np.uint8).tobytes() + str(value.dtype).encode()
            for key, value in outputs.items()}


def encoder_case(config):
    graph = oc.encoder_graph(config)
    weights = oc.EncoderWeights.deterministic(config)
    rng = np.random.default_rng(7)
    values = {name: np.asarray(getattr(weights, name), dtype=np.float32)
              for name in ["wq", "wk", "wv", "wo", "w1", "w2"]}
    values["input"] = rng.standard_normal(config.sequence * config.hidden).astype(np.float32)
    return graph, values


def mixed_case():
    """Float chains beside integer and boolean tensors, with a source among the outputs."""
    g = oc.Graph()
    x = g.input("x", [3, 5])
    bias = g.weight("bias", [5])
    n = g.input("n", [3, 5], oc.DType.I64)
    shifted = g.op("shifted", oc.Add(), [x, bias], [3, 5])
    g.mark_output(g.gelu("activated", shifted))
    g.mark_output(g.mul("doubled", n, n))
    g.mark_output(bias)
    values = {"x": np.linspace(-2, 2, 15, dtype=np.float32), "bias": np.arange(5, dtype=np.float32) / 4,
              "n": np.arange(-7, 8, dtype=np.int64)}
    return g, values


@pytest.mark.parametrize("case", ["encoder", "mixed"])
@pytest.mark.parametrize("threads", [None, 1, 2, 3])
def test_run_equals_evaluate(case, threads):
    graph, values = encoder_case(oc.EncoderConfig(16, 32, 2, 64)) if case == "encoder" else mixed_case()
    prepared = oc.PreparedEvaluation(graph, threads)
    assert prepared.threads == (threads or oc.default_thread_count())
    assert prepared.passes >= 1 and prepared.arena_bytes > 0
    for keys in ["name", "id"]:
        expected = oc.evaluate(graph, values, keys=keys)
        assert bits(prepared.run(values, keys=keys)) == bits(expected)
        assert bits(prepared.run(values, keys)) == bits(expected)


def test_bound_weights_serve_every_run():
    graph, values = encoder_case(oc.EncoderConfig(16, 32, 2, 64))
    expected = bits(oc.evaluate(graph, values))
    prepared = oc.PreparedEvaluation(graph, threads=2)
    weights = {key: value for key, value in values.items() if key != "input"}
    with pytest.raises(oc.CompileError, match="evaluate: no value for input wq"):
        prepared.run({"input": values["input"]})
    prepared.bind(weights)
    assert bits(prepared.run({"input": values["input"]})) == expected
    # A run's own values override the bound ones.
    assert bits(prepared.run(values)) == expected
    with pytest.raises(oc.CompileError, match="evaluate: value for wq has 1 elements, expected"):
        prepared.bind({"wq": np.zeros(1, dtype=np.float32)})
    # A refused bind keeps what was bound.
    assert bits(prepared.run({"input": values["input"]})) == expected


def test_errors_are_evaluates():
    graph, values = mixed_case()
    prepared = oc.PreparedEvaluation(graph, threads=2)
    missing = {key: value for key, value in values.items() if key != "x"}
    with pytest.raises(oc.CompileError) as raised:
        prepared.run(missing)
    assert (raised.value.kind, raised.value.message) == ("graph", "evaluate: no value for input x")
    with pytest.raises(TypeError):
        prepared.run({**values, "x": values["x"].astype(np.float64)})
    with pytest.raises(ValueError):
        prepared.run(values, keys="index")
    for threads in [0, 257]:
        with pytest.raises(oc.CompileError) as raised:
            oc.PreparedEvaluation(graph, threads)
        assert raised.value.message == f"prepared evaluation: thread count {threads} is not between 1 and 256"
    with pytest.raises(oc.CompileError) as raised:
        oc.PreparedEvaluation(oc.Graph())
    assert raised.value.message == "graph has no outputs"


def test_runs_keep_nothing_of_earlier_runs():
    # A run copies its values and outputs through lists the object keeps; what
    # it returns, and what the next run sees, must not show it.
    graph, values = mixed_case()
    prepared = oc.PreparedEvaluation(graph, threads=2)
    first = prepared.run(values)
    first_bits = bits(first)
    reversed_x = {**values, "x": values["x"][::-1].copy()}
    second = prepared.run(reversed_x)
    assert bits(first) == first_bits
    assert bits(second) == bits(oc.evaluate(graph, reversed_x))
    with pytest.raises(oc.CompileError, match="no value for input x"):
        prepared.run({key: value for key, value in values.items() if key != "x"})
    with pytest.raises(oc.CompileError, match="value for x has 3 elements"):
        prepared.run({**values, "x": np.zeros(3, dtype=np.float32)})
    assert bits(prepared.run(values)) == first_bits


def test_one_object_run_from_several_threads():
    graph, values = encoder_case(oc.EncoderConfig(16, 32, 2, 64))
    # Each thread its own input, so that runs sharing the object's lists would show.
    inputs = [{**values, "input": values["input"] * (worker + 1)} for worker in range(3)]
    expected = [bits(oc.evaluate(graph, given)) for given in inputs]
    prepared = oc.PreparedEvaluation(graph, threads=2)
    results = [[] for _ in inputs]

    def work(worker):
        for _ in range(5):
            results[worker].append(bits(prepared.run(inputs[worker])))

    workers = [threading.Thread(target=work, args=(worker,)) for worker in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for worker, found in enumerate(results):
        assert found == [expected[worker]] * 5
