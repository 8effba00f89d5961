"""The scripts of examples/ run and print what they promise."""

import os
import pathlib
import subprocess
import sys

import pytest

import orvo_compiler as oc
from conftest import ONNX_FIXTURES, REPOSITORY


def run_example(name, *arguments):
    """The script's standard output, run by this interpreter with this build of the module."""
    environment = dict(os.environ)
    package_root = str(pathlib.Path(oc.__file__).resolve().parents[1])
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, environment.get("PYTHONPATH")]))
    completed = subprocess.run([sys.executable, str(REPOSITORY / "examples" / name), *arguments],
                               env=environment, capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def test_sweep_tiles():
    lines = run_example("sweep_tiles.py").splitlines()
    assert lines[0] == "encoder EncoderConfig(sequence=32, hidden=64, heads=4, feed_forward=256), 12 layers"
    assert lines[2] == "     1  memory error: tile 0 exceeds data limit allocating l2.w2"
    assert lines[5] == "     8     297,984 B     192         12"
    assert lines[-1] == "  1024      76,800 B     204         24"


def test_sweep_tiles_with_arguments():
    lines = run_example("sweep_tiles.py", "--layers", "1", "--tiles", "64").splitlines()
    assert lines[2] == "    64       9,216 B      17          2"


@pytest.mark.skipif(not (hasattr(oc, "import_onnx") and hasattr(oc, "evaluate")),
                    reason="import_onnx and evaluate are not in this build of the module yet")
@pytest.mark.skipif(not ONNX_FIXTURES.is_dir(), reason="the ONNX fixtures (tests/fixtures/onnx) are not here yet")
def test_onnx_roundtrip():
    output = run_example("onnx_roundtrip.py", "torch_encoder_prenorm")
    assert output.startswith("torch_encoder_prenorm: opset 17, ")
    assert "largest difference from PyTorch: " in output
