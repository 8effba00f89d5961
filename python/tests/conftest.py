"""What the Python tests share: the repository's paths and small graphs built by hand."""

import pathlib

import pytest

import orvo_compiler as oc

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
ONNX_FIXTURES = REPOSITORY / "tests" / "fixtures" / "onnx"


def matmul_graph(right_columns=256):
    """X [32, 64] times W [64, right_columns] into the output Y."""
    graph = oc.Graph()
    x = graph.input("X", [32, 64])
    w = graph.weight("W", [64, right_columns])
    graph.mark_output(graph.matmul("Y", x, w))
    return graph


@pytest.fixture
def small_graph():
    return matmul_graph()


@pytest.fixture
def encoder():
    """The default encoder layer, its options and its schedule."""
    graph = oc.encoder_graph(oc.EncoderConfig())
    options = oc.CompilerOptions()
    return graph, options, oc.compile(graph, options)
