#!/usr/bin/python3
# Writes the ONNX importer's test fixtures: small encoder models exported from PyTorch,
# with their inputs, PyTorch's outputs and a meta.json each, plus malformed and
# unsupported files. Run by hand with Debian's Python (torch 1.13, onnx 1.12, numpy):
#   /usr/bin/python3 tools/export_onnx_fixtures.py [--out tests/fixtures/onnx]
#
# Every fixture is exported twice and must come out byte for byte the same; its graph
# must pass the ONNX checker, use only operators the small numpy evaluator here knows,
# and, run by that evaluator, reproduce PyTorch's output. Reruns rewrite the same
# bytes. The evaluator follows the ONNX operator definitions for the cases these
# exports contain and nothing more: it is a check on the fixtures, not an ONNX runtime.
import argparse
import collections
import dataclasses
import hashlib
import io
import json
import math
import pathlib
import sys
from typing import Callable

import numpy as np
import onnx
import onnx.mapping
import onnx.numpy_helper
import torch
from torch import nn

WIDTH = 32
HEADS = 4
FEED_FORWARD = 64
SEQUENCE = 8
VOCABULARY = 50
INPUT_NAME = "input"
OUTPUT_NAME = "output"

# Largest difference allowed between the numpy evaluation of a graph and PyTorch.
EVALUATION_TOLERANCE = 1e-4


class PrenormManualLayer(nn.Module):
    """A pre-norm encoder layer from plain modules: attention by reshape and transpose,
    scores divided by the square root of the head width, tanh GELU, residuals."""

    def __init__(self) -> None:
        super().__init__()
        self.norm1 = nn.LayerNorm(WIDTH)
        self.q = nn.Linear(WIDTH, WIDTH)
        self.k = nn.Linear(WIDTH, WIDTH)
        self.v = nn.Linear(WIDTH, WIDTH)
        self.out = nn.Linear(WIDTH, WIDTH)
        self.norm2 = nn.LayerNorm(WIDTH)
        self.ff1 = nn.Linear(WIDTH, FEED_FORWARD)
        self.gelu = nn.GELU(approximate="tanh")
        self.ff2 = nn.Linear(FEED_FORWARD, WIDTH)

    def _heads(self, x: torch.Tensor, batch: int, sequence: int) -> torch.Tensor:
        return x.reshape(batch, sequence, HEADS, WIDTH // HEADS).transpose(1, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        batch, sequence, _ = x.shape
        normed = self.norm1(x)
        q = self._heads(self.q(normed), batch, sequence)
        k = self._heads(self.k(normed), batch, sequence)
        v = self._heads(self.v(normed), batch, sequence)
        scores = torch.matmul(q, k.transpose(2, 3)) / math.sqrt(WIDTH // HEADS)
        context = torch.matmul(torch.softmax(scores, dim=-1), v)
        context = context.transpose(1, 2).reshape(batch, sequence, WIDTH)
        x = x + self.out(context)
        return x + self.ff2(self.gelu(self.ff1(self.norm2(x))))


class UnsupportedOps(nn.Module):
    """A valid model that mixes supported operators with Det (twice), which the importer
    does not support."""

    def __init__(self) -> None:
        super().__init__()
        self.linear = nn.Linear(SEQUENCE, SEQUENCE)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.cumsum(self.linear(x), dim=-1)
        square = y[..., :4]
        scale = torch.linalg.det(square) + torch.linalg.det(square.transpose(1, 2))
        return y * scale[:, None, None] + x


class CausalDecoderBlock(nn.Module):
    """A pre-norm decoder block: self-attention whose scores above the diagonal are set
    to -inf by masked_fill with a boolean mask, then a ReLU feed-forward; residuals."""

    def __init__(self) -> None:
        super().__init__()
        self.norm1 = nn.LayerNorm(WIDTH)
        self.q = nn.Linear(WIDTH, WIDTH)
        self.k = nn.Linear(WIDTH, WIDTH)
        self.v = nn.Linear(WIDTH, WIDTH)
        self.out = nn.Linear(WIDTH, WIDTH)
        self.norm2 = nn.LayerNorm(WIDTH)
        self.ff1 = nn.Linear(WIDTH, FEED_FORWARD)
        self.ff2 = nn.Linear(FEED_FORWARD, WIDTH)
        self.register_buffer(
            "future", torch.triu(torch.ones(SEQUENCE, SEQUENCE, dtype=torch.bool), diagonal=1))

    def _heads(self, x: torch.Tensor) -> torch.Tensor:
        return x.reshape(x.shape[0], SEQUENCE, HEADS, WIDTH // HEADS).transpose(1, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        normed = self.norm1(x)
        q, k, v = (self._heads(self.q(normed)), self._heads(self.k(normed)),
                   self._heads(self.v(normed)))
        scores = torch.matmul(q, k.transpose(2, 3)) / math.sqrt(WIDTH // HEADS)
        scores = scores.masked_fill(self.future, float("-inf"))
        context = torch.matmul(torch.softmax(scores, dim=-1), v)
        x = x + self.out(context.transpose(1, 2).reshape(x.shape[0], SEQUENCE, WIDTH))
        return x + self.ff2(torch.relu(self.ff1(self.norm2(x))))


def relu_mlp() -> nn.Module:
    return nn.Sequential(nn.Linear(WIDTH, FEED_FORWARD), nn.ReLU(), nn.Linear(FEED_FORWARD, WIDTH))


class TokenEmbedding(nn.Module):
    """int64 token ids looked up in an embedding table, then a LayerNorm."""

    def __init__(self) -> None:
        super().__init__()
        self.embedding = nn.Embedding(VOCABULARY, WIDTH)
        self.norm = nn.LayerNorm(WIDTH)

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        return self.norm(self.embedding(ids))


def float_example(batch: int, generator: torch.Generator) -> torch.Tensor:
    return torch.randn((batch, SEQUENCE, WIDTH), generator=generator)


def token_example(batch: int, generator: torch.Generator) -> torch.Tensor:
    return torch.randint(0, VOCABULARY, (batch, SEQUENCE), generator=generator, dtype=torch.int64)


def torch_encoder_layer(norm_first: bool) -> nn.TransformerEncoderLayer:
    return nn.TransformerEncoderLayer(
        WIDTH, HEADS, FEED_FORWARD, dropout=0.0, activation="gelu", batch_first=True,
        norm_first=norm_first)


def torch_encoder_stack() -> nn.TransformerEncoder:
    return nn.TransformerEncoder(torch_encoder_layer(norm_first=False), num_layers=2,
                                 enable_nested_tensor=False)


@dataclasses.dataclass(frozen=True)
class Fixture:
    name: str
    description: str
    build: Callable[[], nn.Module]
    opset: int
    batch: int
    # Input (and output) axis -> name of the symbolic dimension it is exported as.
    symbols: dict[int, str]
    # The input PyTorch runs on: float [batch, sequence, width] unless told.
    example: Callable[[int, torch.Generator], torch.Tensor] = float_example


FIXTURES = (
    Fixture("prenorm_manual",
            "Pre-norm encoder layer from Linear/LayerNorm modules, reshape-transpose "
            "attention, tanh GELU; the sequence axis is symbolic.",
            PrenormManualLayer, 17, 2, {1: "sequence"}),
    Fixture("torch_encoder_postnorm",
            "nn.TransformerEncoderLayer, post-norm, erf GELU, batch_first; batch and "
            "sequence axes symbolic.",
            lambda: torch_encoder_layer(norm_first=False), 17, 2,
            {0: "batch", 1: "sequence"}),
    Fixture("torch_encoder_prenorm",
            "nn.TransformerEncoderLayer, pre-norm (norm_first), erf GELU, batch_first; "
            "all shapes static.",
            lambda: torch_encoder_layer(norm_first=True), 17, 1, {}),
    Fixture("torch_encoder_opset14",
            "nn.TransformerEncoderLayer, post-norm, at opset 14: LayerNorm decomposed "
            "into ReduceMean/Sub/Pow/Sqrt/Div; the sequence axis is symbolic.",
            lambda: torch_encoder_layer(norm_first=False), 14, 1, {1: "sequence"}),
    Fixture("torch_encoder_stack2",
            "nn.TransformerEncoder of two post-norm layers (no nested tensors); the "
            "sequence axis is symbolic.",
            torch_encoder_stack, 17, 1, {1: "sequence"}),
    Fixture("torch_causal_decoder",
            "Pre-norm decoder block: scores masked above the diagonal by masked_fill "
            "with a boolean buffer (-inf), softmax, ReLU feed-forward; batch symbolic.",
            CausalDecoderBlock, 17, 2, {0: "batch"}),
    Fixture("torch_relu_mlp",
            "Linear, ReLU, Linear on [batch, sequence, 32]; the sequence axis is symbolic.",
            relu_mlp, 17, 2, {1: "sequence"}),
    Fixture("torch_token_embedding",
            "nn.Embedding of int64 token ids [batch, sequence] (vocabulary 50), then "
            "LayerNorm; batch and sequence symbolic.",
            TokenEmbedding, 17, 2, {0: "batch", 1: "sequence"}, token_example),
)


def initialise_parameters(model: nn.Module, seed: int) -> None:
    """Overwrites every parameter from a seeded generator: weights uniform in
    +-1/sqrt(fan in), norm scales near 1, biases small and nonzero. Distinct values
    also keep the exporter from merging equal initialisers into Identity nodes."""
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, parameter in model.named_parameters():
            shape = parameter.shape
            if parameter.dim() >= 2:
                bound = 1.0 / math.sqrt(math.prod(shape[1:]))
                values = (torch.rand(shape, generator=generator) * 2 - 1) * bound
            elif name.endswith("weight"):
                values = 1 + 0.1 * torch.randn(shape, generator=generator)
            else:
                values = 0.1 * torch.randn(shape, generator=generator)
            parameter.copy_(values)


def build_model(build: Callable[[], nn.Module], seed: int) -> nn.Module:
    torch.manual_seed(seed)
    model = build()
    initialise_parameters(model, seed)
    return model.eval()


def export_bytes(model: nn.Module, example: torch.Tensor, opset: int,
                 symbols: dict[int, str]) -> bytes:
    dynamic_axes = {INPUT_NAME: symbols, OUTPUT_NAME: symbols} if symbols else None
    buffer = io.BytesIO()
    torch.onnx.export(model, (example,), buffer, opset_version=opset,
                      input_names=[INPUT_NAME], output_names=[OUTPUT_NAME],
                      dynamic_axes=dynamic_axes)
    return buffer.getvalue()


def op_histogram(model: onnx.ModelProto) -> dict[str, int]:
    counts = collections.Counter(node.op_type for node in model.graph.node)
    return dict(sorted(counts.items()))


def first_nodes(model: onnx.ModelProto) -> dict[str, str]:
    """Op type -> name of its first node, in graph order."""
    firsts: dict[str, str] = {}
    for node in model.graph.node:
        firsts.setdefault(node.op_type, node.name)
    return dict(sorted(firsts.items()))


def declared_shape(value: onnx.ValueInfoProto) -> list:
    return [dim.dim_param if dim.dim_param else dim.dim_value
            for dim in value.type.tensor_type.shape.dim]


# ---- numpy evaluation of an exported graph ----------------------------------------

def _attributes(node: onnx.NodeProto) -> dict:
    values = {}
    for attribute in node.attribute:
        value = onnx.helper.get_attribute_value(attribute)
        if isinstance(value, onnx.TensorProto):
            value = onnx.numpy_helper.to_array(value)
        values[attribute.name] = value
    return values


def _divide(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    if np.issubdtype(a.dtype, np.integer):  # integer Div truncates toward zero
        return (np.sign(a) * np.sign(b) * (np.abs(a) // np.abs(b))).astype(a.dtype)
    return a / b


def _reshape(x: np.ndarray, shape: np.ndarray, allowzero: int = 0) -> np.ndarray:
    target = [int(d) for d in shape]
    if not allowzero:
        target = [x.shape[i] if d == 0 else d for i, d in enumerate(target)]
    return x.reshape(target)


def _slice(x, starts, ends, axes=None, steps=None) -> np.ndarray:
    axes = range(len(starts)) if axes is None else axes
    steps = [1] * len(starts) if steps is None else steps
    index = [slice(None)] * x.ndim
    for start, end, axis, step in zip(starts, ends, axes, steps):
        index[int(axis)] = slice(int(start), int(end), int(step))
    return x[tuple(index)]


def _softmax(x: np.ndarray, axis: int = -1) -> np.ndarray:
    shifted = np.exp(x - x.max(axis=axis, keepdims=True))
    return shifted / shifted.sum(axis=axis, keepdims=True)


def _layer_norm(x, scale, bias=None, axis=-1, epsilon=1e-5, stash_type=1):
    axes = tuple(range(axis % x.ndim, x.ndim))
    centred = x - x.mean(axis=axes, keepdims=True)
    variance = (centred * centred).mean(axis=axes, keepdims=True)
    normed = centred / np.sqrt(variance + np.float32(epsilon)) * scale
    return normed if bias is None else normed + bias


def _gemm(a, b, c=None, alpha=1.0, beta=1.0, transA=0, transB=0):
    product = np.float32(alpha) * ((a.T if transA else a) @ (b.T if transB else b))
    return product if c is None else product + np.float32(beta) * c


def _split(x, split=None, axis=0, outputs=1):
    sizes = [x.shape[axis] // outputs] * outputs if split is None else list(split)
    return tuple(np.split(x, np.cumsum(sizes)[:-1], axis=axis))


_ERF = np.vectorize(math.erf, otypes=[np.float64])

# Op type -> function(inputs..., **attributes); a tuple result fills several outputs.
# These are also the only operators an encoder export may contain: anything else means
# the exporter took a fused path or changed its decomposition, and the fixture would
# test the wrong thing.
NUMPY_OPS: dict[str, Callable] = {
    "Add": np.add, "Sub": np.subtract, "Mul": np.multiply, "Div": _divide,
    "Pow": lambda a, b: np.power(a, b).astype(a.dtype),
    "Sqrt": np.sqrt, "Tanh": np.tanh,
    "Erf": lambda x: _ERF(x).astype(x.dtype),
    "MatMul": np.matmul, "Gemm": _gemm,
    "Softmax": _softmax, "LayerNormalization": _layer_norm,
    "ReduceMean": lambda x, axes=None, keepdims=1: x.mean(
        axis=None if axes is None else tuple(axes), keepdims=bool(keepdims)),
    "Identity": lambda x: x,
    "Constant": lambda value: value,
    "Cast": lambda x, to: x.astype(onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[to]),
    "Shape": lambda x: np.array(x.shape, dtype=np.int64),
    "Gather": lambda x, indices, axis=0: np.take(x, indices, axis=axis),
    "Reshape": _reshape,
    "Transpose": lambda x, perm=None: np.transpose(x, perm),
    "Unsqueeze": lambda x, axes: np.expand_dims(x, tuple(int(a) for a in axes)),
    "Squeeze": lambda x, axes=None: np.squeeze(
        x, None if axes is None else tuple(int(a) for a in axes)),
    "Concat": lambda *xs, axis: np.concatenate(xs, axis=axis),
    "Slice": _slice, "Split": _split,
    "Equal": np.equal, "Where": np.where,
    "Relu": lambda x: np.maximum(x, np.zeros((), x.dtype)),
    "Expand": lambda x, shape: x * np.ones(shape.astype(np.int64), dtype=x.dtype),
    "ConstantOfShape": lambda shape, value=np.zeros(1, np.float32): np.full(
        shape.astype(np.int64), value[0], dtype=value.dtype),
}


def evaluate(model: onnx.ModelProto, feeds: dict[str, np.ndarray]) -> list[np.ndarray]:
    """Runs the graph node by node in numpy; returns the graph outputs in order."""
    values = {init.name: onnx.numpy_helper.to_array(init)
              for init in model.graph.initializer}
    values.update(feeds)
    for node in model.graph.node:
        arguments = [values[name] if name else None for name in node.input]
        attributes = _attributes(node)
        if node.op_type == "Split":
            attributes["outputs"] = len(node.output)
        result = NUMPY_OPS[node.op_type](*arguments, **attributes)
        results = result if isinstance(result, tuple) else (result,)
        for name, value in zip(node.output, results):
            values[name] = np.asarray(value)
    return [values[output.name] for output in model.graph.output]


# ---- writing the fixtures ----------------------------------------------------------

def save_npy(path: pathlib.Path, array: np.ndarray) -> None:
    """float32 as '<f4', token ids as '<i8'."""
    dtype = "<i8" if np.issubdtype(array.dtype, np.integer) else "<f4"
    np.save(path, np.ascontiguousarray(array, dtype=dtype))


def write_json(path: pathlib.Path, value: dict) -> None:
    path.write_text(json.dumps(value, indent=2) + "\n")


def exported_model(fixture: Fixture, seed: int) -> tuple[bytes, np.ndarray, np.ndarray]:
    """Exports the fixture's model (twice, to prove the bytes repeat) and runs PyTorch
    on a seeded input; returns the model bytes, the input and PyTorch's output."""
    model = build_model(fixture.build, seed)
    generator = torch.Generator().manual_seed(1000 + seed)
    example = fixture.example(fixture.batch, generator)
    # Grad stays enabled: under no_grad nn.TransformerEncoderLayer takes its fused fast
    # path, which the exporter rejects (aten::_transformer_encoder_layer_fwd) and whose
    # numbers need not match the decomposed graph's.
    with torch.enable_grad():
        expected = model(example).detach()
        exported = export_bytes(model, example, fixture.opset, fixture.symbols)
        again = export_bytes(build_model(fixture.build, seed), example, fixture.opset,
                             fixture.symbols)
    if exported != again:
        sys.exit(f"{fixture.name}: two exports of the same model differ")
    return exported, example.numpy(), expected.numpy()


def check_model(name: str, model: onnx.ModelProto, example: np.ndarray,
                expected: np.ndarray) -> float:
    """Checks the graph is valid, standard-op only and computes PyTorch's output;
    returns the largest absolute difference from it."""
    onnx.checker.check_model(model, full_check=True)
    unexpected = sorted(set(op_histogram(model)) - NUMPY_OPS.keys())
    if unexpected:
        sys.exit(f"{name}: non-standard operators in the export: {unexpected}")
    (computed,) = evaluate(model, {INPUT_NAME: example})
    difference = float(np.max(np.abs(computed - expected)))
    if computed.shape != expected.shape or difference > EVALUATION_TOLERANCE:
        sys.exit(f"{name}: the graph computes {computed.shape}, off by {difference}")
    return difference


def write_fixture(out: pathlib.Path, fixture: Fixture, seed: int) -> bytes:
    exported, example, expected = exported_model(fixture, seed)
    model = onnx.load_from_string(exported)
    difference = check_model(fixture.name, model, example, expected)
    directory = out / fixture.name
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "model.onnx").write_bytes(exported)
    save_npy(directory / f"{INPUT_NAME}.npy", example)
    save_npy(directory / f"{OUTPUT_NAME}.npy", expected)
    histogram = op_histogram(model)
    write_json(directory / "meta.json", {
        "description": fixture.description,
        "opset": fixture.opset,
        "producer": f"{model.producer_name} {model.producer_version}",
        "inputs": [{"name": value.name, "shape": declared_shape(value),
                    "file": f"{value.name}.npy"} for value in model.graph.input],
        "outputs": [{"name": value.name, "shape": declared_shape(value),
                     "file": f"{value.name}.npy"} for value in model.graph.output],
        "symbols": {symbol: example.shape[axis]
                    for axis, symbol in fixture.symbols.items()},
        "ops": histogram,
    })
    print(f"{fixture.name}: opset {fixture.opset}, {len(exported)} bytes, "
          f"numpy evaluation within {difference:.2e} of PyTorch")
    print("  ops: " + ", ".join(f"{op} {count}" for op, count in histogram.items()))
    return exported


def pseudo_random_bytes(seed: bytes, size: int) -> bytes:
    """SHA-256 in counter mode: the same bytes on every platform and version."""
    blocks = (hashlib.sha256(seed + counter.to_bytes(4, "little")).digest()
              for counter in range(size // 32 + 1))
    return b"".join(blocks)[:size]


def must_not_parse(name: str, data: bytes) -> None:
    try:
        onnx.load_from_string(data)
    except Exception:  # the protobuf decoder's error type varies with its backend
        return
    sys.exit(f"bad/{name} parses as a model")


def write_bad_fixtures(out: pathlib.Path, valid: bytes, seed: int) -> None:
    bad = out / "bad"
    bad.mkdir(parents=True, exist_ok=True)
    truncated = valid[: len(valid) // 2]
    must_not_parse("truncated.onnx", truncated)
    (bad / "truncated.onnx").write_bytes(truncated)
    noise = pseudo_random_bytes(b"orvo onnx fixtures", 4096)
    must_not_parse("random.onnx", noise)
    (bad / "random.onnx").write_bytes(noise)

    model = build_model(UnsupportedOps, seed)
    example = torch.randn((1, 4, SEQUENCE), generator=torch.Generator().manual_seed(seed))
    unsupported = export_bytes(model, example, 17, {})
    parsed = onnx.load_from_string(unsupported)
    onnx.checker.check_model(parsed, full_check=True)
    (bad / "unsupported.onnx").write_bytes(unsupported)
    print(f"bad/truncated.onnx: {len(truncated)} bytes; bad/random.onnx: {len(noise)} "
          f"bytes; bad/unsupported.onnx: {len(unsupported)} bytes")
    print("  unsupported ops: " + ", ".join(
        f"{op} {count}" for op, count in op_histogram(parsed).items()))
    print("  first nodes: " + ", ".join(
        f"{op} {node}" for op, node in first_nodes(parsed).items()))


def write_passthrough_fixture(out: pathlib.Path) -> bytes:
    """A model without nodes whose output is its input: the value passes through."""
    value = onnx.helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [2, 3])
    graph = onnx.helper.make_graph([], "passthrough", [value], [value])
    model = onnx.helper.make_model(graph, producer_name="hand", opset_imports=[onnx.helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model, full_check=True)
    data = model.SerializeToString()
    (out / "passthrough").mkdir(parents=True, exist_ok=True)
    (out / "passthrough" / "model.onnx").write_bytes(data)
    print(f"passthrough/model.onnx: {len(data)} bytes")
    return data


def write_typed_fixture(out: pathlib.Path) -> bytes:
    """Token ids (INT64) shifted by an INT64 initializer, and a BOOL mask transposed:
    int64 and bool values in, through the graph and out, without float arithmetic."""
    helper = onnx.helper
    ids = helper.make_tensor_value_info("ids", onnx.TensorProto.INT64, ["batch", 3])
    mask = helper.make_tensor_value_info("mask", onnx.TensorProto.BOOL, [2, 3])
    offset = onnx.numpy_helper.from_array(np.array([10, -20, 1 << 40], dtype=np.int64), "offset")
    nodes = [helper.make_node("Add", ["ids", "offset"], ["shifted"], name="/Add"),
             helper.make_node("Transpose", ["mask"], ["flipped"], name="/Transpose", perm=[1, 0])]
    graph = helper.make_graph(
        nodes, "typed", [ids, mask],
        [helper.make_tensor_value_info("shifted", onnx.TensorProto.INT64, ["batch", 3]),
         helper.make_tensor_value_info("flipped", onnx.TensorProto.BOOL, [3, 2])], [offset])
    model = helper.make_model(graph, producer_name="hand", opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model, full_check=True)
    data = model.SerializeToString()
    (out / "typed").mkdir(parents=True, exist_ok=True)
    (out / "typed" / "model.onnx").write_bytes(data)
    np.save(out / "typed" / "ids.npy", np.array([[1, 2, 3], [4, 5, 6]], dtype="<i8"))
    np.save(out / "typed" / "mask.npy", np.array([[True, True, False], [False, False, True]]))
    print(f"typed/model.onnx: {len(data)} bytes")
    return data


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Writes the ONNX importer's test fixtures.")
    default_out = pathlib.Path(__file__).resolve().parent.parent / "tests/fixtures/onnx"
    parser.add_argument("--out", type=pathlib.Path, default=default_out)
    arguments = parser.parse_args()
    torch.set_num_threads(1)
    torch.use_deterministic_algorithms(True)
    exported = {fixture.name: write_fixture(arguments.out, fixture, seed)
                for seed, fixture in enumerate(FIXTURES, start=1)}
    # The seed the bad model had when the five encoder fixtures were all there were.
    write_bad_fixtures(arguments.out, exported["prenorm_manual"], 6)
    write_passthrough_fixture(arguments.out)
    write_typed_fixture(arguments.out)


if __name__ == "__main__":
    main()
