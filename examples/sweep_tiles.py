"""Compiles a 12-layer encoder stack for a range of tile counts and prints, per tile
count, the highest peak SRAM of any tile and the number of phases.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/sweep_tiles.py [--layers N]
"""

import argparse

import orvo_compiler as oc


def sweep(layers, tile_counts):
    """One row per tile count: (tiles, highest peak in bytes or the error, phases, exchange phases)."""
    graph = oc.encoder_stack_graph(oc.EncoderConfig(), layers)
    rows = []
    for tiles in tile_counts:
        try:
            schedule = oc.compile(graph, oc.CompilerOptions(tile_count=tiles))
        except oc.CompileError as error:
            rows.append((tiles, f"{error.kind} error: {error}", None, None))
            continue
        statistics = oc.schedule_statistics(graph, schedule)
        rows.append((tiles, max(schedule.peak_sram.values()), statistics.phases, statistics.exchange_phases))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--layers", type=int, default=12)
    parser.add_argument("--tiles", type=int, nargs="+", default=[1, 2, 4, 8, 16, 64, 256, 1024])
    arguments = parser.parse_args()
    print(f"encoder {oc.EncoderConfig()}, {arguments.layers} layers")
    print(f"{'tiles':>6}  {'peak SRAM':>12}  {'phases':>6}  {'exchanges':>9}")
    for tiles, peak, phases, exchanges in sweep(arguments.layers, arguments.tiles):
        if phases is None:
            print(f"{tiles:>6}  {peak}")
            continue
        print(f"{tiles:>6}  {oc.group_thousands(peak) + ' B':>12}  {phases:>6}  {exchanges:>9}")


if __name__ == "__main__":
    main()
