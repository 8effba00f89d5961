"""What calling the library from Python costs: compile and encoder_reference timed through the
module and, in the same process on the same inputs, inside C++ (orvo_compiler._core._timing runs
the call in a C++ loop and times each run there).

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_overhead.py [--rounds N]

Each round times a batch of calls from C++ and then the same number from Python; the medians of
all single calls are compared. The targets: compile at most 1.2 times, encoder_reference at most
1.05 times the C++ call.
"""

import argparse
import statistics
import time

import numpy as np

import orvo_compiler as oc
from orvo_compiler._core import _timing

BERT_BASE = oc.EncoderConfig(sequence=128, hidden=768, heads=12, feed_forward=3072)
# The window of the C++ compile benchmark's BERT stacks, which a 24-layer stack fits.
BERT_OPTIONS = oc.CompilerOptions(tile_count=1024, data_base=0, data_limit=0xFFFF0000)


def python_seconds(call, repeat):
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        seconds.append(time.perf_counter() - start)
    return seconds


def compare(name, in_cpp, from_python, rounds, repeat, target):
    cpp, python = [], []
    from_python()  # warm up: first-touch page faults, caches
    for _ in range(rounds):
        cpp += in_cpp(repeat)
        python += python_seconds(from_python, repeat)
    cpp_median, python_median = statistics.median(cpp), statistics.median(python)
    ratio = python_median / cpp_median
    verdict = "met" if ratio <= target else "MISSED"
    print(f"{name:<36} {cpp_median * 1e3:9.3f} ms {python_median * 1e3:9.3f} ms {ratio:7.3f}x "
          f"(target {target}x: {verdict})")
    return ratio <= target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--compile-repeat", type=int, default=20)
    parser.add_argument("--reference-repeat", type=int, default=3)
    arguments = parser.parse_args()

    graph = oc.encoder_stack_graph(BERT_BASE, 24)
    weights = oc.EncoderWeights.deterministic(BERT_BASE)
    layer_input = np.linspace(-1, 1, BERT_BASE.sequence * BERT_BASE.hidden, dtype=np.float32)

    print(f"{'call':<36} {'C++':>12} {'Python':>12} {'ratio':>8}  (medians of single calls)")
    met = [
        compare("compile, bert_stack/24, 1,024 tiles",
                lambda repeat: _timing.compile_seconds(graph, BERT_OPTIONS, repeat),
                lambda: oc.compile(graph, BERT_OPTIONS), arguments.rounds, arguments.compile_repeat, 1.2),
        compare("encoder_reference, BERT-base layer",
                lambda repeat: _timing.encoder_reference_seconds(BERT_BASE, layer_input, weights, repeat),
                lambda: oc.encoder_reference(BERT_BASE, layer_input, weights), arguments.rounds,
                arguments.reference_repeat, 1.05),
    ]
    raise SystemExit(0 if all(met) else 1)


if __name__ == "__main__":
    main()
