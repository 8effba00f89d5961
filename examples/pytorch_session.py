# %% [markdown]
# # From a PyTorch model to a tile schedule
#
# A notebook in script form (cells marked `# %%`, which Jupyter with jupytext and most
# editors open as a notebook): export a small PyTorch model to ONNX, run it with an
# `orvo_compiler.Session`, compare the result with PyTorch's own, compile it for a tile
# processor and look at the schedule report.
#
#     PYTHONPATH=build/release/python /usr/bin/python3 examples/pytorch_session.py [--stored] [--report FILE]
#
# With PyTorch installed the model is built and exported here. Without it (or with
# `--stored`) the cells take the same kind of model from `tests/fixtures/onnx/torch_relu_mlp`,
# exported from PyTorch by `tools/export_onnx_fixtures.py` with the input it ran on and
# PyTorch's output.

# %%
import argparse
import importlib.util
import io
import pathlib
import sys

import numpy as np

import orvo_compiler as oc

FIXTURE = pathlib.Path(__file__).resolve().parents[1] / "tests" / "fixtures" / "onnx" / "torch_relu_mlp"

parser = argparse.ArgumentParser(description="Export a PyTorch model, run it with a Session, compile it.")
parser.add_argument("--stored", action="store_true", help="use the stored export even when PyTorch is installed")
parser.add_argument("--report", type=pathlib.Path, help="write the schedule report (HTML) to this file")
arguments, _ = parser.parse_known_args()  # a notebook kernel passes arguments of its own
use_torch = not arguments.stored and importlib.util.find_spec("torch") is not None

# %% [markdown]
# ## The model
#
# Linear, GELU, Linear and LayerNorm over `[2, sequence, 32]`, with the sequence axis left
# symbolic in the export (the stored export is Linear, ReLU, Linear). The parameters come
# from a fixed seed, so every run exports the same model.

# %%
if use_torch:
    import torch
    from torch import nn

    torch.manual_seed(7)
    torch.set_num_threads(1)
    module = nn.Sequential(nn.Linear(32, 64), nn.GELU(), nn.Linear(64, 32), nn.LayerNorm(32)).eval()
    example = torch.randn(2, 8, 32)
    buffer = io.BytesIO()
    torch.onnx.export(module, (example,), buffer, opset_version=17, input_names=["input"],
                      output_names=["output"], dynamic_axes={"input": {1: "sequence"}, "output": {1: "sequence"}})
    model_bytes = buffer.getvalue()
    with torch.no_grad():
        expected = module(example).numpy()
    feed = example.numpy()
    source = f"exported from PyTorch {torch.__version__} here"
else:
    model_bytes = (FIXTURE / "model.onnx").read_bytes()
    feed = np.load(FIXTURE / "input.npy")
    expected = np.load(FIXTURE / "output.npy")
    source = f"stored export ({FIXTURE.name})"
print(f"model: {source}, {len(model_bytes):,} bytes of ONNX")

# %% [markdown]
# ## A session
#
# The session imports the model once, binds its weights and plans the evaluation. The
# symbolic axis needs a size; `inputs` and `outputs` then say what a run takes and gives.

# %%
session = oc.Session(model_bytes, dimensions={"sequence": feed.shape[1]}, name="pytorch mlp", threads=2)
for info in session.inputs + session.outputs:
    print(f"{info.name}: {info.dtype.name} {info.shape}")

# %% [markdown]
# ## Run and compare
#
# One call per input set. A feed must have the input's exact shape; a PyTorch tensor could be
# passed as it is.

# %%
result = session.run({"input": feed})["output"]
difference = float(np.max(np.abs(result - expected)))
print(f"output {tuple(result.shape)}, largest difference from PyTorch: {difference:.3g}")
if difference > 1e-4:
    sys.exit("the session's output differs from PyTorch's")

# %% [markdown]
# ## Compile and look
#
# The schedule of the bound graph on 16 tiles; the summary, and the report (one HTML file
# with the phases, the exchanges and every tile's memory map).

# %%
compiled = session.compile(tile_count=16)
compiled.verify()
print(compiled.summary())
report = compiled.report_html()
if arguments.report:
    arguments.report.write_text(report)
    print(f"report: {arguments.report} ({len(report):,} characters)")
else:
    print(f"report: {len(report):,} characters of HTML (--report FILE writes it)")

# %%
try:  # in a notebook, show the report inline
    from IPython import get_ipython
    from IPython.display import HTML, display
    if get_ipython() is not None:
        display(HTML(report))
except ImportError:
    pass
