#!/usr/bin/python3
# Writes the vision fixtures: torchvision architectures exported to ONNX with
# weights that the tests generate themselves, an input and PyTorch's output each.
# Run by hand with Debian's Python (torch 1.13, torchvision 0.14, onnx, numpy):
#   /usr/bin/python3 tools/export_vision_fixtures.py [--out tests/fixtures/onnx]
#
# A ResNet-18 holds 46 MB of weights, far too much to keep in the repository. So
# every parameter and buffer of the module is set from a counter-based generator
# keyed by its name (`seeded_values`), the model is exported with its batch
# normalisations kept as nodes (so every initializer is one module tensor), and
# the stored model keeps each initializer's name, type and shape but not its data.
# meta.json lists each emptied initializer with the scale and offset of its
# values; the tests regenerate the same float32 bits and fill them back in.
#
# The generator, the same in Python and C++: for element i of a tensor whose
# name's 32-bit FNV-1a hash is `seed`,
#   x = fmix32(seed + i * 0x9E3779B9)       (all arithmetic modulo 2^32)
#   u = float32((x >> 8) - 2^23) / 2^23      (exactly, in [-1, 1))
#   value = float32(u * scale) + offset      (each step rounded to float32)
# where fmix32 is MurmurHash3's finaliser.
import argparse
import collections
import io
import json
import pathlib
import sys

import numpy as np
import onnx
import onnx.numpy_helper
import torch
import torchvision

INPUT_NAME = "input"
OUTPUT_NAME = "output"
OPSET = 17


def fnv1a(text: str) -> int:
    value = 0x811C9DC5
    for byte in text.encode("utf-8"):
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return value


def fmix32(h: np.ndarray) -> np.ndarray:
    h = h ^ (h >> np.uint32(16))
    h = h * np.uint32(0x85EBCA6B)
    h = h ^ (h >> np.uint32(13))
    h = h * np.uint32(0xC2B2AE35)
    return h ^ (h >> np.uint32(16))


def seeded_values(name: str, count: int, scale: np.float32, offset: np.float32) -> np.ndarray:
    with np.errstate(over="ignore"):
        index = np.arange(count, dtype=np.uint32)
        mixed = fmix32(np.uint32(fnv1a(name)) + index * np.uint32(0x9E3779B9))
    unit = ((mixed >> np.uint32(8)).astype(np.int64) - (1 << 23)).astype(np.float32) / np.float32(1 << 23)
    return (unit * scale).astype(np.float32) + offset


def value_range(name: str, shape: tuple[int, ...]) -> tuple[np.float32, np.float32]:
    """Scale and offset of a module tensor's values: products keep their output's
    variance near their input's, normalisations stay near the identity."""
    leaf = name.rsplit(".", 1)[-1]
    if leaf == "weight" and len(shape) >= 2:
        fan_in = int(np.prod(shape[1:]))
        return np.float32(np.sqrt(3.0 / fan_in)), np.float32(0.0)
    if leaf in ("weight", "running_var"):
        return np.float32(0.25), np.float32(1.0)
    if leaf in ("bias", "running_mean"):
        return np.float32(0.1), np.float32(0.0)
    sys.exit(f"{name}: no value rule for this module tensor")


FIXTURES = {
    "torchvision_resnet18": (torchvision.models.resnet18,
                             "torchvision ResNet-18 (1000 classes), weights generated from their names"),
    "torchvision_mobilenet_v2": (torchvision.models.mobilenet_v2,
                                 "torchvision MobileNetV2 (1000 classes), weights generated from their names"),
}
INPUT_SHAPE = (1, 3, 32, 32)


def seeded_model(build) -> tuple[torch.nn.Module, dict]:
    model = build(weights=None).eval()
    ranges = {}
    state = model.state_dict()
    for name, tensor in state.items():
        if not tensor.is_floating_point():
            continue  # batch counters, which inference never reads
        scale, offset = value_range(name, tuple(tensor.shape))
        ranges[name] = (scale, offset)
        values = seeded_values(name, tensor.numel(), scale, offset).reshape(tuple(tensor.shape))
        tensor.copy_(torch.from_numpy(values))
    return model, ranges


def export_bytes(model: torch.nn.Module, example: torch.Tensor) -> bytes:
    buffer = io.BytesIO()
    # PRESERVE keeps each BatchNormalization a node of its own (in inference form, as
    # the module is in eval mode); EVAL would fold it into the convolution's weights,
    # which then are no longer values of the module the generator can reproduce.
    torch.onnx.export(model, example, buffer, opset_version=OPSET,
                      training=torch.onnx.TrainingMode.PRESERVE,
                      input_names=[INPUT_NAME], output_names=[OUTPUT_NAME])
    return buffer.getvalue()


def write_fixture(out: pathlib.Path, name: str, build, description: str) -> None:
    torch.manual_seed(0)
    model, ranges = seeded_model(build)
    example = torch.from_numpy(seeded_values("input", int(np.prod(INPUT_SHAPE)), np.float32(1.0),
                                             np.float32(0.0)).reshape(INPUT_SHAPE))
    with torch.no_grad():
        expected = model(example).numpy()
        exported = export_bytes(model, example)
        again = export_bytes(seeded_model(build)[0], example)
    if exported != again:
        sys.exit(f"{name}: two exports of the same model differ")
    proto = onnx.load_from_string(exported)
    onnx.checker.check_model(proto, full_check=True)

    seeded = []
    for initializer in proto.graph.initializer:
        if initializer.name not in ranges:
            continue
        scale, offset = ranges[initializer.name]
        stored = onnx.numpy_helper.to_array(initializer)
        if not np.array_equal(stored, seeded_values(initializer.name, stored.size, scale, offset).reshape(stored.shape)):
            sys.exit(f"{name}: initializer {initializer.name} is not the module's tensor")
        initializer.ClearField("raw_data")
        initializer.ClearField("float_data")
        seeded.append({"name": initializer.name, "scale": float(scale), "offset": float(offset)})
    left = [i.name for i in proto.graph.initializer if i.name not in ranges and i.ByteSize() > 4096]
    if left:
        sys.exit(f"{name}: initializers that are not module tensors keep their data: {left}")

    directory = out / name
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "model.onnx").write_bytes(proto.SerializeToString())
    np.save(directory / f"{INPUT_NAME}.npy", np.ascontiguousarray(example.numpy(), dtype="<f4"))
    np.save(directory / f"{OUTPUT_NAME}.npy", np.ascontiguousarray(expected, dtype="<f4"))
    ops = collections.Counter(node.op_type for node in proto.graph.node)
    meta = {
        "description": description,
        "opset": OPSET,
        "producer": f"{proto.producer_name} {proto.producer_version}",
        "inputs": [{"name": INPUT_NAME, "shape": list(INPUT_SHAPE), "file": f"{INPUT_NAME}.npy"}],
        "outputs": [{"name": OUTPUT_NAME, "shape": list(expected.shape), "file": f"{OUTPUT_NAME}.npy"}],
        "symbols": {},
        "ops": dict(sorted(ops.items())),
        "seeded": seeded,
    }
    (directory / "meta.json").write_text(json.dumps(meta, indent=2) + "\n")
    print(f"{name}: {len(proto.SerializeToString())} bytes stored, {len(seeded)} initializers seeded, "
          f"max |output| {float(np.max(np.abs(expected))):.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent / "tests/fixtures/onnx")
    arguments = parser.parse_args()
    torch.set_num_threads(1)
    for name, (build, description) in FIXTURES.items():
        write_fixture(arguments.out, name, build, description)


if __name__ == "__main__":
    main()
