"""The scripts of examples/ run and print what they promise."""

import importlib.util
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


@pytest.mark.skipif(not hasattr(oc, "Session"), reason="Session is not in this build of the module")
@pytest.mark.skipif(not ONNX_FIXTURES.is_dir(), reason="the ONNX fixtures (tests/fixtures/onnx) are not here yet")
@pytest.mark.parametrize("source", ["--stored", pytest.param("", marks=pytest.mark.skipif(
    importlib.util.find_spec("torch") is None, reason="PyTorch is not installed"))])
def test_pytorch_session(source, tmp_path):
    report = tmp_path / "report.html"
    lines = run_example("pytorch_session.py", *filter(None, [source]), "--report", str(report)).splitlines()
    assert lines[0].startswith("model: stored export (torch_relu_mlp)" if source else "model: exported from PyTorch")
    assert lines[1:3] == ["input: F32 [2, 8, 32]", "output: F32 [2, 8, 32]"]
    assert lines[3].startswith("output (2, 8, 32), largest difference from PyTorch: ")
    assert "workload:     model pytorch mlp" in lines
    assert "<title>Schedule report: model pytorch mlp, 16 tiles</title>" in report.read_text()
