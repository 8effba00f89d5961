#!/usr/bin/python3
"""An imported model evaluated by orvo_compiler beside ONNX Runtime and PyTorch, in one run.

The model is exported from PyTorch to a temporary ONNX file, then each round
times, one side after the other on the same input: our evaluation of the
imported graph (the prepared evaluation when the module has it, else the
one-shot `evaluate` with the weights bound), ONNX Runtime's session on the
same file (the npm package `onnxruntime-node`, driven through
bench/peer/ort_peer.js in a node process that stays up) and the PyTorch
module itself. Each side makes one warm-up call and times a few more; a round
keeps each side's median, and the table gives the median over rounds of our
time divided by each peer's, at each thread count, then each side's fastest
call of the whole run and their ratios (on a shared machine, the closest to
what each side takes when nothing else runs). Our output must agree with
ONNX Runtime's within 1e-4 x max(1, max |output|).

Then each side is timed from a fresh process: Python importing the module,
importing the model, preparing and running once, against node loading the
runtime, creating the session and running once.

The peers are for benchmarking only; nothing else needs them. Set up:
    make bench                                  # builds build/bench/python
    (cd bench/peer && npm install --ignore-scripts)

Usage: /usr/bin/python3 bench/compare_onnxruntime.py [--model bert|resnet18]
       [--threads 1 2] [--rounds 5] [--calls 5] [--module build/bench/python]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

# One thread in every library PyTorch may hand work to, unless asked otherwise
# (torch.set_num_threads below sets its own pool per thread count).
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
PEER = ROOT / "bench" / "peer" / "ort_peer.js"


def bert_layer() -> tuple[torch.nn.Module, torch.Tensor]:
    """A BERT-base encoder layer: width 768, 12 heads, feed-forward 3072, erf GELU."""
    torch.manual_seed(0)
    layer = torch.nn.TransformerEncoderLayer(768, 12, 3072, dropout=0.0, activation="gelu",
                                             batch_first=True).eval()
    return layer, torch.randn(1, 128, 768, generator=torch.Generator().manual_seed(1))


def resnet18() -> tuple[torch.nn.Module, torch.Tensor]:
    import torchvision  # only this model needs it

    torch.manual_seed(0)
    model = torchvision.models.resnet18(weights=None).eval()
    return model, torch.randn(1, 3, 224, 224, generator=torch.Generator().manual_seed(1))


MODELS = {"bert": bert_layer, "resnet18": resnet18}


def export(model: torch.nn.Module, example: torch.Tensor, path: pathlib.Path) -> None:
    # Grad stays enabled: under no_grad the encoder layer takes a fused fast path
    # the exporter cannot write.
    with torch.enable_grad():
        torch.onnx.export(model, example, str(path), opset_version=17,
                          input_names=["input"], output_names=["output"])


class Peer:
    """The node process that runs ONNX Runtime."""

    def __init__(self) -> None:
        self.process = subprocess.Popen(["node", str(PEER)], cwd=PEER.parent, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def ask(self, request: dict) -> dict:
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if "error" in answer:
            sys.exit(f"onnxruntime: {answer['error']}")
        return answer

    def close(self) -> None:
        assert self.process.stdin
        self.process.stdin.close()
        self.process.wait()


def our_runner(oc, model, example: np.ndarray, threads: int):
    """A call that evaluates the imported graph once and returns its output."""
    input_name = model.graph.tensors[0].name
    output_name = model.graph.tensors[model.graph.outputs[0].index].name
    if hasattr(oc, "PreparedEvaluation"):
        prepared = oc.PreparedEvaluation(model.graph, threads=threads)
        if hasattr(prepared, "bind"):
            # The weights are bound once, as a session holds them.
            prepared.bind(model.weights)
            given = {input_name: example}
            return lambda: prepared.run(given)[output_name]
        values = dict(model.weights)
        values[input_name] = example
        return lambda: prepared.run(values)[output_name]
    values = dict(model.weights)
    values[input_name] = example
    return lambda: oc.evaluate(model.graph, values)[output_name]


def timed(call, calls: int) -> tuple[list[float], object]:
    result = call()  # warm-up
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        result = call()
        times.append((time.perf_counter() - start) * 1e3)
    return times, result


def first_call_times(module: pathlib.Path, path: pathlib.Path, example_file: pathlib.Path,
                     shape: list[int], threads: int) -> tuple[float, float]:
    ours = f"""
import time
start = time.perf_counter()
import numpy as np
import orvo_compiler as oc
model = oc.import_onnx({str(path)!r})
example = np.fromfile({str(example_file)!r}, dtype=np.float32).reshape({shape!r})
values = dict(model.weights)
values[model.graph.tensors[0].name] = example
if hasattr(oc, "PreparedEvaluation"):
    oc.PreparedEvaluation(model.graph, threads={threads}).run(values)
else:
    oc.evaluate(model.graph, values)
print((time.perf_counter() - start) * 1e3)
"""
    peer = f"""
const start = process.hrtime.bigint();
const fs = require("fs");
const ort = require("onnxruntime-node");
(async () => {{
  const session = await ort.InferenceSession.create({json.dumps(str(path))},
      {{intraOpNumThreads: {threads}, interOpNumThreads: 1}});
  const bytes = fs.readFileSync({json.dumps(str(example_file))});
  const data = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
  await session.run({{input: new ort.Tensor("float32", data, {json.dumps(shape)})}});
  console.log(Number(process.hrtime.bigint() - start) / 1e6);
}})();
"""
    environment = dict(os.environ, PYTHONPATH=str(module))
    our_ms = float(subprocess.run([sys.executable, "-c", ours], env=environment, check=True,
                                  capture_output=True, text=True).stdout)
    peer_ms = float(subprocess.run(["node", "-e", peer], cwd=PEER.parent, check=True,
                                   capture_output=True, text=True).stdout)
    return our_ms, peer_ms


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", choices=sorted(MODELS), default="bert")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=5)
    parser.add_argument("--module", type=pathlib.Path, default=ROOT / "build" / "bench" / "python")
    arguments = parser.parse_args()
    sys.path.insert(0, str(arguments.module))
    import orvo_compiler as oc

    model, example = MODELS[arguments.model]()
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        path = folder / "model.onnx"
        export(model, example, path)
        example_array = np.ascontiguousarray(example.numpy(), dtype=np.float32)
        example_file = folder / "input.bin"
        example_array.tofile(example_file)
        imported = oc.import_onnx(path)
        peer = Peer()
        print(f"{arguments.model}: input {list(example_array.shape)}, "
              f"{'prepared evaluation' if hasattr(oc, 'PreparedEvaluation') else 'evaluate'} "
              f"beside onnxruntime-node and PyTorch {torch.__version__}; medians of {arguments.calls} calls, "
              f"{arguments.rounds} rounds")
        print(f"{'threads':>7} {'ours ms':>9} {'ORT ms':>9} {'torch ms':>9} {'ours/ORT':>9} {'ours/torch':>10}")
        for threads in arguments.threads:
            peer.ask({"load": str(path), "threads": threads})
            torch.set_num_threads(threads)
            run_ours = our_runner(oc, imported, example_array, threads)
            rows = []
            fastest = [float("inf")] * 3
            for _ in range(arguments.rounds):
                ours_times, ours_out = timed(run_ours, arguments.calls)
                answer = peer.ask({"run": {"input": {"dtype": "float32", "shape": list(example_array.shape),
                                                     "file": str(example_file)}},
                                   "calls": arguments.calls + 1, "output": str(folder / "peer.bin")})
                peer_times = answer["ms"][1:]
                with torch.no_grad():
                    torch_times, _ = timed(lambda: model(example), arguments.calls)
                rows.append(tuple(statistics.median(times) for times in (ours_times, peer_times, torch_times)))
                fastest = [min(best, *times) for best, times in zip(fastest, (ours_times, peer_times, torch_times))]
            peer_out = np.fromfile(folder / "peer.bin", dtype=np.float32).reshape(answer["shape"])
            ours_out = np.asarray(ours_out).reshape(peer_out.shape)
            difference = float(np.max(np.abs(ours_out - peer_out)))
            bound = 1e-4 * max(1.0, float(np.max(np.abs(peer_out))))
            if difference > bound:
                sys.exit(f"outputs differ by {difference:.3g}, more than {bound:.3g}")
            ours_ms, peer_ms, torch_ms = (statistics.median(column) for column in zip(*rows))
            ratio_peer = statistics.median(row[0] / row[1] for row in rows)
            ratio_torch = statistics.median(row[0] / row[2] for row in rows)
            print(f"{threads:>7} {ours_ms:>9.2f} {peer_ms:>9.2f} {torch_ms:>9.2f} {ratio_peer:>9.2f} "
                  f"{ratio_torch:>10.2f}   (outputs within {difference:.2g})")
            # The shortest call of each side: on a shared machine, the closest
            # to what each takes when nothing else runs.
            print(f"{'fastest':>7} {fastest[0]:>9.2f} {fastest[1]:>9.2f} {fastest[2]:>9.2f} "
                  f"{fastest[0] / fastest[1]:>9.2f} {fastest[0] / fastest[2]:>10.2f}")
        peer.close()
        for threads in arguments.threads:
            our_first, peer_first = first_call_times(arguments.module, path, example_file,
                                                     list(example_array.shape), threads)
            print(f"first call of a fresh process, {threads} thread(s): ours {our_first:.0f} ms, "
                  f"ONNX Runtime {peer_first:.0f} ms, ratio {our_first / peer_first:.2f}")


if __name__ == "__main__":
    main()
