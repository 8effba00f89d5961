"""What calling the library from Python costs: compile and encoder_reference timed through the
module and, in the same process on the same inputs, inside C++ (orvo_compiler._timing, a module
built with the benchmarks, runs the call in C++ and times it there).

    make bench   # or: cmake --preset bench && cmake --build --preset bench
    PYTHONPATH=build/bench/python /usr/bin/python3 bench/python_overhead.py [--calls N]

Both sides measure the processor time of the calling thread (time.thread_time in Python,
CLOCK_THREAD_CPUTIME_ID in C++), so other load on the machine counts on neither; compile and
encoder_reference run on that thread even with the GIL released. Single calls alternate between
the two sides, C++ first and Python first in turn, and the medians are compared. The targets:
compile at most 1.2 times, encoder_reference at most 1.05 times the C++ call.
"""

import argparse
import statistics
import time

import numpy as np

import orvo_compiler as oc
from orvo_compiler import _timing

BERT_BASE = oc.EncoderConfig(sequence=128, hidden=768, heads=12, feed_forward=3072)
# The window of the C++ compile benchmark's BERT stacks, which a 24-layer stack fits.
BERT_OPTIONS = oc.CompilerOptions(tile_count=1024, data_base=0, data_limit=0xFFFF0000)


def python_seconds(call):
    start = time.thread_time()
    call()
    return time.thread_time() - start


def compare(name, in_cpp, from_python, calls, target):
    """Prints the medians of `calls` single calls each way and their ratio; whether it meets `target`."""
    cpp, python = [], []
    from_python()  # warm up: first-touch page faults, caches
    for index in range(calls):
        if index % 2 == 0:
            cpp += in_cpp(1)
            python.append(python_seconds(from_python))
        else:
            python.append(python_seconds(from_python))
            cpp += in_cpp(1)
    cpp_median, python_median = statistics.median(cpp), statistics.median(python)
    ratio = python_median / cpp_median
    verdict = "met" if ratio <= target else "MISSED"
    print(f"{name:<36} {cpp_median * 1e3:9.3f} ms {python_median * 1e3:9.3f} ms {ratio:7.3f}x "
          f"(target {target}x: {verdict})")
    return ratio <= target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=60, help="calls each way and each function")
    arguments = parser.parse_args()

    graph = oc.encoder_stack_graph(BERT_BASE, 24)
    weights = oc.EncoderWeights.deterministic(BERT_BASE)
    layer_input = np.linspace(-1, 1, BERT_BASE.sequence * BERT_BASE.hidden, dtype=np.float32)

    print(f"{'call':<36} {'C++':>12} {'Python':>12} {'ratio':>8}  (medians of thread processor time)")
    met = [
        compare("compile, bert_stack/24, 1,024 tiles",
                lambda repeat: _timing.compile_seconds(graph, BERT_OPTIONS, repeat),
                lambda: oc.compile(graph, BERT_OPTIONS), arguments.calls, 1.2),
        compare("encoder_reference, BERT-base layer",
                lambda repeat: _timing.encoder_reference_seconds(BERT_BASE, layer_input, weights, repeat),
                lambda: oc.encoder_reference(BERT_BASE, layer_input, weights), arguments.calls, 1.05),
    ]
    raise SystemExit(0 if all(met) else 1)


if __name__ == "__main__":
    main()
