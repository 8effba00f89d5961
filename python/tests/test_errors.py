"""Errors: CompileError with the library's kind and exact text, and TypeError or ValueError (never a
crash) for arguments of the wrong type or size."""

import pickle

import numpy as np
import pytest

import orvo_compiler as oc
from conftest import matmul_graph

BASE = 0x52000


def empty_shape():
    graph = oc.Graph()
    graph.mark_output(graph.input("x", []))
    return graph


def repeated_input():
    graph = oc.Graph()
    a = graph.input("a", [4])
    graph.mark_output(graph.op("pair", oc.Mul(), [a, a], [512]))
    return graph


def four_gib():
    graph = oc.Graph()
    graph.mark_output(graph.input("big", [1 << 30]))
    return graph


# The cases of the C++ compile tests, through Python.
COMPILE_ERRORS = [
    ("empty graph", oc.Graph, oc.CompilerOptions(), "graph", "graph has no outputs"),
    ("invalid tensor", empty_shape, oc.CompilerOptions(), "graph", "invalid tensor x"),
    ("no tiles", matmul_graph, oc.CompilerOptions(0, BASE, 0xE0000), "graph", "invalid compiler options"),
    ("empty window", matmul_graph, oc.CompilerOptions(64, BASE, BASE), "graph", "invalid compiler options"),
    ("exchange", repeated_input, oc.CompilerOptions(), "graph",
     "multiple sends target one tensor region in an epoch"),
    ("tight window", matmul_graph, oc.CompilerOptions(64, BASE, BASE + 3071), "memory",
     "tile 0 exceeds data limit allocating Y"),
    ("top of the address space", matmul_graph, oc.CompilerOptions(64, 0xFFFFFFF0, 0xFFFFFFFF), "memory",
     "address overflow"),
    ("share past 32 bits", four_gib, oc.CompilerOptions(1, BASE, 0xE0000), "memory",
     "tile 0 exceeds data limit allocating big"),
]


@pytest.mark.parametrize("name, graph, options, kind, message", COMPILE_ERRORS, ids=[c[0] for c in COMPILE_ERRORS])
def test_compile_errors_carry_kind_and_exact_text(name, graph, options, kind, message):
    with pytest.raises(oc.CompileError) as raised:
        oc.compile(graph(), options)
    error = raised.value
    assert (error.kind, error.message, str(error)) == (kind, message, message)
    assert error.args == (message,)


def test_compile_error_class():
    assert issubclass(oc.CompileError, Exception)
    assert oc.CompileError.__module__ == "orvo_compiler"
    error = oc.CompileError("tile 0 exceeds data limit allocating Y", "memory")
    assert (error.kind, error.message) == ("memory", "tile 0 exceeds data limit allocating Y")
    assert oc.CompileError("x").kind == "graph"
    restored = pickle.loads(pickle.dumps(error))
    assert (restored.kind, restored.message) == ("memory", error.message)
    with pytest.raises(ValueError):
        oc.CompileError("x", "disk")


def test_library_errors_from_every_part():
    schedule = oc.compile(matmul_graph())
    with pytest.raises(oc.CompileError, match="^tile 64 is out of range$"):
        schedule.tile_commands(64)
    config = oc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)
    weights = oc.EncoderWeights.deterministic(config)
    with pytest.raises(oc.CompileError, match="^encoder input size mismatch$"):
        oc.encoder_reference(config, np.zeros(31, dtype=np.float32), weights)
    with pytest.raises(oc.CompileError, match="^encoder weights size mismatch$"):
        oc.encoder_reference(config, np.zeros(32, dtype=np.float32), oc.EncoderWeights())


def float32(count):
    return np.zeros(count, dtype=np.float32)


def rows_of_two():
    return np.zeros((4, 4), dtype=np.float32)[:, ::2]


def read_only():
    values = float32(4)
    values.flags.writeable = False
    return values


def unaligned():
    return np.frombuffer(bytearray(17), dtype=np.float32, count=4, offset=1)


# (what, call, exception)
BAD_ARGUMENTS = [
    ("negative dimension", lambda: oc.Graph().input("x", [-1]), TypeError),
    ("shape of strings", lambda: oc.Graph().input("x", ["a"]), TypeError),
    ("not a graph", lambda: oc.compile("graph"), TypeError),
    ("not options", lambda: oc.compile(matmul_graph(), 64), TypeError),
    ("tile count past 16 bits", lambda: oc.CompilerOptions(tile_count=70000), TypeError),
    ("negative data base", lambda: oc.CompilerOptions(data_base=-1), TypeError),
    ("negative tile", lambda: oc.compile(matmul_graph()).tile_commands(-1), TypeError),
    ("tile past 16 bits", lambda: oc.compile(matmul_graph()).tile_commands(1 << 16), TypeError),
    ("unknown stream format", lambda: oc.compile(matmul_graph()).tile_commands(0, format="xml"), ValueError),
    ("no schedule from Python", lambda: oc.Schedule(), TypeError),
    ("not an operation kind", lambda: oc.Graph().op("r", "MatMul", [], [1]), TypeError),
    ("tensor id from an int", lambda: oc.Graph().gelu("r", 0), TypeError),
    ("zero tiles for a layout", lambda: oc.choose_layout(oc.Tensor(shape=[4]), 0), ValueError),
    ("layout without tiles", lambda: oc.local_bytes(oc.Tensor(shape=[4]), oc.Layout()), ValueError),
    ("float64 kernel input", lambda: oc.matmul(np.zeros(1), float32(1), 1, 1, 1), TypeError),
    ("list kernel input", lambda: oc.matmul([1.0], float32(1), 1, 1, 1), TypeError),
    ("strided kernel input", lambda: oc.layer_norm(rows_of_two(), 4, 2, 1e-5), ValueError),
    ("unaligned kernel input", lambda: oc.gelu(unaligned()), ValueError),
    ("short left", lambda: oc.matmul(float32(5), float32(6), 2, 3, 2), ValueError),
    ("short right", lambda: oc.matmul(float32(6), float32(5), 2, 3, 2), ValueError),
    ("counts overflow", lambda: oc.matmul(float32(1), float32(1), 1 << 40, 1 << 40, 1), ValueError),
    ("short layer norm input", lambda: oc.layer_norm(float32(5), 2, 3, 1e-5), ValueError),
    ("short softmax values", lambda: oc.softmax_rows(float32(5), 2, 3), ValueError),
    ("read-only softmax values", lambda: oc.softmax_rows(read_only(), 1, 4), ValueError),
    ("float64 softmax values", lambda: oc.softmax_rows(np.zeros(4), 1, 4), TypeError),
    ("big-endian input", lambda: oc.gelu(np.zeros(4, dtype=">f4")), TypeError),
    ("gelu of a string", lambda: oc.gelu("1.0"), TypeError),
    ("encoder input of float64", lambda: oc.encoder_reference(
        oc.EncoderConfig(), np.zeros(32 * 64), oc.EncoderWeights()), TypeError),
    ("weights that cannot be counted", lambda: oc.EncoderWeights.deterministic(
        oc.EncoderConfig(hidden=1 << 40)), ValueError),
    ("weights of float64", lambda: oc.EncoderWeights(wq=np.zeros(4)), TypeError),
    ("diagnosis of another exception", lambda: oc.diagnose_memory_error(
        matmul_graph(), oc.CompilerOptions(), ValueError("x")), TypeError),
]


@pytest.mark.parametrize("what, call, exception", BAD_ARGUMENTS, ids=[c[0] for c in BAD_ARGUMENTS])
def test_bad_arguments_raise(what, call, exception):
    with pytest.raises(exception):
        call()


# Kernel arguments the counts cannot be met from: ValueError with the text the C++ kernel stops with.
KERNEL_REFUSALS = [
    (lambda: oc.matmul(float32(5), float32(6), 2, 3, 2), "matmul: left holds fewer than rows x inner values"),
    (lambda: oc.matmul(float32(6), float32(5), 2, 3, 2), "matmul: right holds fewer than inner x columns values"),
    (lambda: oc.matmul(float32(1), float32(1), 1 << 40, 1 << 40, 1), "matmul: rows x inner overflows"),
    (lambda: oc.matmul(float32(0), float32(0), 1, 1 << 40, 1 << 40), "matmul: inner x columns overflows"),
    (lambda: oc.matmul(float32(0), float32(0), 1 << 40, 0, 1 << 40), "matmul: rows x columns overflows"),
    (lambda: oc.layer_norm(float32(5), 2, 3, 1e-5), "layer_norm: input holds fewer than rows x columns values"),
    (lambda: oc.layer_norm(float32(0), 1 << 40, 1 << 40, 1e-5), "layer_norm: rows x columns overflows"),
    (lambda: oc.softmax_rows(float32(5), 2, 3), "softmax_rows: values hold fewer than rows x columns values"),
    (lambda: oc.softmax_rows(float32(0), 1 << 40, 1 << 40), "softmax_rows: rows x columns overflows"),
    (
        lambda: oc.EncoderWeights.deterministic(oc.EncoderConfig(hidden=1 << 32)),
        "encoder weights: rows x columns overflows",
    ),
]


@pytest.mark.parametrize("call, message", KERNEL_REFUSALS, ids=[c[1] for c in KERNEL_REFUSALS])
def test_kernel_refusals_carry_the_library_text(call, message):
    with pytest.raises(ValueError) as raised:
        call()
    assert str(raised.value) == message
