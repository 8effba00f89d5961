"""Threads: compile and the numeric calls run without the GIL, so threads compile in parallel, and
the library keeps no global state, so their results equal those made one after the other."""

import threading
import time

import numpy as np
import pytest

import orvo_compiler as oc


def run_in_threads(calls):
    results = [None] * len(calls)
    errors = []

    def run(index, call):
        try:
            results[index] = call()
        except Exception as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(index, call)) for index, call in enumerate(calls)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    return results


def test_two_threads_compile_different_graphs():
    graphs = [oc.encoder_stack_graph(oc.EncoderConfig(), 6),
              oc.encoder_stack_graph(oc.EncoderConfig(sequence=64, hidden=128, heads=8, feed_forward=512), 4)]
    options = [oc.CompilerOptions(tile_count=256), oc.CompilerOptions(tile_count=128)]
    expected = [oc.compile(graph, option) for graph, option in zip(graphs, options)]
    for _ in range(3):
        parallel = run_in_threads([lambda g=g, o=o: oc.compile(g, o) for g, o in zip(graphs, options)])
        assert parallel == expected


def test_threads_share_one_graph_and_raise_their_own_errors():
    graph = oc.encoder_graph(oc.EncoderConfig())
    tight = oc.CompilerOptions(tile_count=64, data_base=0x52000, data_limit=0x52100)
    calls = [lambda: oc.compile(graph), lambda: _error_text(graph, tight)] * 4
    results = run_in_threads(calls)
    assert results[0::2] == [oc.compile(graph)] * 4
    assert len(set(results[1::2])) == 1 and results[1].startswith("memory: tile ")


def _error_text(graph, options):
    try:
        oc.compile(graph, options)
    except oc.CompileError as error:
        return f"{error.kind}: {error}"
    return "compiled"


def test_numeric_calls_in_threads_match_single_thread():
    config = oc.EncoderConfig(sequence=16, hidden=32, heads=4, feed_forward=64)
    weights = oc.EncoderWeights.deterministic(config)
    inputs = [np.linspace(-1, 1, 16 * 32, dtype=np.float32) * np.float32(scale) for scale in (1, 2, 3, 4)]
    expected = [oc.encoder_reference(config, values, weights) for values in inputs]
    results = run_in_threads([lambda v=v: oc.encoder_reference(config, v, weights) for v in inputs])
    for result, wanted in zip(results, expected):
        assert np.array_equal(result.view(np.uint32), wanted.view(np.uint32))


def moments_inside_call(call):
    """How many times this thread ran Python in the middle half of `call` made on another thread."""
    window = {}

    def worker():
        window["start"] = time.perf_counter()
        call()
        window["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    moments = []
    thread.start()
    while thread.is_alive():
        moments.append(time.perf_counter())
    thread.join()
    quarter = (window["end"] - window["start"]) / 4
    return sum(window["start"] + quarter < moment < window["end"] - quarter for moment in moments)


def test_compile_releases_the_gil():
    # Had compile kept the GIL, this thread could not run a single line in
    # the middle of the call. A busy machine may leave it without a processor
    # for a whole call now and then, so it has a few tries.
    graph = oc.encoder_stack_graph(oc.EncoderConfig(sequence=128, hidden=768, heads=12, feed_forward=3072), 24)
    options = oc.CompilerOptions(tile_count=1024, data_base=0, data_limit=0xFFFF0000)
    assert any(moments_inside_call(lambda: oc.compile(graph, options)) > 0 for _ in range(5))


# A layer whose evaluation takes a few tenths of a second: long beside the few milliseconds this
# thread may run between the call's return and the moment the worker notes its end.
LARGE_LAYER = oc.EncoderConfig(sequence=512, hidden=768, heads=12, feed_forward=3072)


def _reference_plain(config, values, weights):
    oc.encoder_reference(config, values, weights)


def _reference_into_workspace(config, values, weights):
    output = np.empty(config.sequence * config.hidden, dtype=np.float32)
    oc.encoder_reference(config, values, weights, oc.EncoderWorkspace(), output)


@pytest.mark.parametrize("form", [_reference_plain, _reference_into_workspace], ids=["returning", "into output"])
def test_encoder_reference_releases_the_gil(form):
    # As for compile: a call that kept the GIL would leave this thread no line to run while it computes.
    weights = oc.EncoderWeights.deterministic(LARGE_LAYER)
    values = np.linspace(-1, 1, LARGE_LAYER.sequence * LARGE_LAYER.hidden, dtype=np.float32)
    assert any(moments_inside_call(lambda: form(LARGE_LAYER, values, weights)) > 0 for _ in range(5))


def test_threads_with_a_workspace_each_give_the_plain_results():
    config = oc.EncoderConfig(sequence=32, hidden=64, heads=4, feed_forward=256)
    weights = oc.EncoderWeights.deterministic(config)
    inputs = [np.linspace(-1, 1, 32 * 64, dtype=np.float32) * scale for scale in (1, 2)]
    expected = [oc.encoder_reference(config, values, weights) for values in inputs]
    outputs = [np.zeros(32 * 64, dtype=np.float32) for _ in inputs]
    workspaces = [oc.EncoderWorkspace() for _ in inputs]
    for _ in range(3):
        run_in_threads([lambda i=i: oc.encoder_reference(config, inputs[i], weights, workspaces[i], outputs[i])
                        for i in range(len(inputs))])
        for output, plain in zip(outputs, expected):
            assert output.tobytes() == plain.tobytes()
