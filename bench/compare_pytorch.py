#!/usr/bin/python3
"""The encoder layer in PyTorch beside orvo_encoder_loop, in one run.

For each shape, a few rounds of: the loop program (a fresh process) calling
encoder_reference, once without and once with a workspace, then PyTorch on
one thread computing the same layer on the same input and weights (written by
the loop program). Each side times 9 calls after a warm-up and reports the
median and the minor page faults per call; the table gives the median over
the rounds. PyTorch is a benchmarking aid only: nothing else needs it.

The layer, as src/workload/encoder_reference.cpp computes it: layer
normalisation without scale or shift (epsilon 1e-5), q, k and v projections,
per head softmax(q k^T / sqrt(head size)) v, the output projection and a
residual, a second normalisation, GELU in its tanh form between the two
feed-forward products, and a second residual. Weights are row-major
(inputs x outputs) and multiply from the right.

Usage: /usr/bin/python3 bench/compare_pytorch.py [--loop build/bench/bench/orvo_encoder_loop] [--rounds 3]
"""

import argparse
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

# One thread in every library PyTorch may hand work to: its own pool
# (torch.set_num_threads below) does not reach the BLAS library's threads.
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[variable] = "1"

import numpy as np  # noqa: E402 (after the thread settings)
import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

SHAPES = [
    ("BERT-base", (128, 768, 12, 3072)),
    ("default", (32, 64, 4, 256)),
]
WARMUP_CALLS = 3
TIMED_CALLS = 9


def layer(x, w, heads):
    """One encoder layer; `w` holds wq, wk, wv, wo, w1, w2."""
    sequence, hidden = x.shape
    head_size = hidden // heads
    used = heads * head_size
    norm1 = F.layer_norm(x, (hidden,), eps=1e-5)
    q = norm1 @ w["wq"]
    k = norm1 @ w["wk"]
    v = norm1 @ w["wv"]

    def split(t):
        return t[:, :used].reshape(sequence, heads, head_size).transpose(0, 1)

    scores = torch.bmm(split(q), split(k).transpose(1, 2)) / math.sqrt(head_size)
    context = torch.bmm(torch.softmax(scores, dim=-1), split(v)).transpose(0, 1).reshape(sequence, used)
    if used != hidden:
        context = F.pad(context, (0, hidden - used))
    residual1 = x + context @ w["wo"]
    norm2 = F.layer_norm(residual1, (hidden,), eps=1e-5)
    activations = F.gelu(norm2 @ w["w1"], approximate="tanh")
    return residual1 + activations @ w["w2"]


def load_dump(path, shape):
    """The input, weights and output the loop program wrote, as tensors."""
    sequence, hidden, _, feed_forward = shape
    sizes = [
        ("input", (sequence, hidden)),
        ("wq", (hidden, hidden)),
        ("wk", (hidden, hidden)),
        ("wv", (hidden, hidden)),
        ("wo", (hidden, hidden)),
        ("w1", (hidden, feed_forward)),
        ("w2", (feed_forward, hidden)),
        ("output", (sequence, hidden)),
    ]
    flat = np.fromfile(path, dtype=np.float32)
    lists = {}
    offset = 0
    for name, dimensions in sizes:
        count = dimensions[0] * dimensions[1]
        lists[name] = torch.from_numpy(flat[offset : offset + count].reshape(dimensions).copy())
        offset += count
    if offset != flat.size:
        sys.exit(f"{path}: {flat.size} floats, expected {offset}")
    return lists


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def time_pytorch(lists, heads):
    """Medians of wall and processor time per call in ms, and faults per call."""
    weights = {name: lists[name] for name in ("wq", "wk", "wv", "wo", "w1", "w2")}
    x = lists["input"]
    with torch.inference_mode():
        for _ in range(WARMUP_CALLS):
            result = layer(x, weights, heads)
        wall, processor = [], []
        faults = minor_faults()
        for _ in range(TIMED_CALLS):
            wall_start, processor_start = time.perf_counter(), time.process_time()
            result = layer(x, weights, heads)
            processor.append(time.process_time() - processor_start)
            wall.append(time.perf_counter() - wall_start)
        faults = minor_faults() - faults
    return {
        "wall_ms": statistics.median(wall) * 1e3,
        "cpu_ms": statistics.median(processor) * 1e3,
        "faults_per_call": faults / TIMED_CALLS,
        "result": result,
    }


def run_loop(program, shape, entry, dump=None):
    """The loop program's name=value report as floats."""
    command = [program, *map(str, shape), entry] + ([dump] if dump else [])
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    if completed.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {completed.stderr.strip()}")
    fields = dict(field.split("=", 1) for field in completed.stdout.split())
    return {key: float(value) for key, value in fields.items() if key.endswith(("_ms", "per_call"))}


def median_of(rounds, key):
    return statistics.median(round_[key] for round_ in rounds)


def compare(program, name, shape, rounds):
    with tempfile.TemporaryDirectory() as folder:
        dump = os.path.join(folder, "layer.f32")
        run_loop(program, shape, "plain", dump)
        lists = load_dump(dump, shape)
    ours = {"plain": [], "workspace": []}
    theirs = []
    for _ in range(rounds):
        for entry in ours:
            ours[entry].append(run_loop(program, shape, entry))
        theirs.append(time_pytorch(lists, shape[2]))
    difference = (theirs[-1]["result"] - lists["output"]).abs().max().item()
    scale = lists["output"].abs().max().item()
    return {
        "name": name,
        "shape": shape,
        "ours": {entry: {key: median_of(runs, key) for key in runs[0]} for entry, runs in ours.items()},
        "pytorch": {key: median_of(theirs, key) for key in ("wall_ms", "cpu_ms", "faults_per_call")},
        "difference": difference,
        "scale": scale,
    }


def print_table(results, clock):
    print(f"\n{clock} time, median ms per call:\n")
    print("| shape (sequence, width, heads, feed-forward) | ours | ours, workspace | PyTorch, 1 thread "
          "| ratio | ratio, workspace | our minor faults per call (plain, workspace) | PyTorch's |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for result in results:
        plain, reused, torch_ = result["ours"]["plain"], result["ours"]["workspace"], result["pytorch"]
        key = f"{clock}_ms"
        print(f"| {result['name']} {result['shape']} | {plain[key]:.3f} | {reused[key]:.3f} | {torch_[key]:.3f} "
              f"| {plain[key] / torch_[key]:.2f}x | {reused[key] / torch_[key]:.2f}x "
              f"| {plain['faults_per_call']:.1f}, {reused['faults_per_call']:.1f} | {torch_['faults_per_call']:.1f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loop", default="build/bench/bench/orvo_encoder_loop", help="the loop program")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per shape; the table shows their median")
    arguments = parser.parse_args()
    torch.set_num_threads(1)
    results = [compare(arguments.loop, name, shape, arguments.rounds) for name, shape in SHAPES]
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread; load average "
          f"{' '.join(f'{load:.1f}' for load in os.getloadavg())}")
    for result in results:
        print(f"{result['name']}: PyTorch and ours differ by at most {result['difference']:.3g} "
              f"(largest output magnitude {result['scale']:.3g})")
    for clock in ("cpu", "wall"):
        print_table(results, clock)


if __name__ == "__main__":
    main()
