"""Imports an encoder model exported from PyTorch to ONNX, compiles it, evaluates it on the
host and compares the result with the output PyTorch stored beside the model.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/onnx_roundtrip.py [FIXTURE]

FIXTURE names a folder of tests/fixtures/onnx/ (default torch_encoder_prenorm).
"""

import argparse
import json
import pathlib

import numpy as np

import orvo_compiler as oc

FIXTURES = pathlib.Path(__file__).resolve().parents[1] / "tests" / "fixtures" / "onnx"


def roundtrip(folder):
    """The imported model, its schedule and the largest difference from PyTorch's output."""
    meta = json.loads((folder / "meta.json").read_text())
    model = oc.import_onnx(folder / "model.onnx", dimensions=meta["symbols"])
    schedule = oc.compile(model.graph, oc.CompilerOptions(tile_count=64))
    values = dict(model.weights)
    for source in meta["inputs"]:
        values[source["name"]] = np.load(folder / source["file"])
    outputs = oc.evaluate(model.graph, values)
    difference = 0.0
    for sink in meta["outputs"]:
        expected = np.load(folder / sink["file"])
        difference = max(difference, float(np.max(np.abs(outputs[sink["name"]] - expected))))
    return model, schedule, difference


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fixture", nargs="?", default="torch_encoder_prenorm")
    arguments = parser.parse_args()
    model, schedule, difference = roundtrip(FIXTURES / arguments.fixture)
    graph = model.graph
    print(f"{arguments.fixture}: opset {model.opset}, {len(graph.tensors)} tensors, {len(graph.ops)} operations")
    print(f"compiled for {schedule.tile_count} tiles: {len(schedule.phases)} phases, "
          f"peak SRAM {oc.group_thousands(max(schedule.peak_sram.values()))} B")
    print(f"largest difference from PyTorch: {difference:.3g}")
    if difference > 1e-4:
        raise SystemExit("the evaluated output differs from PyTorch's")


if __name__ == "__main__":
    main()
