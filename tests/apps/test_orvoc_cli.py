"""orvoc run as a user runs it: exit statuses, the summary, the JSON schedule, the tile stream
files, the memory map, report and trace, the memory diagnosis, the error lines and the ONNX
models. Expected values are worked out by hand from the default encoder (22 tensors,
15 operations, 64 tiles)."""

import json
import os
import pty
import re
import struct
import subprocess
import xml.etree.ElementTree

import pytest

# ---- Helpers ------------------------------------------------------------------------------------


def expect_status(run, expected):
    assert run.status == expected, f"expected exit status {expected}\n{run.describe()}"


def expect_matches(name, text, *patterns):
    """Each pattern matches somewhere in `text` ('.' matches line breaks too)."""
    for pattern in patterns:
        assert re.search(pattern, text, re.DOTALL), f"{name} lacks '{pattern}' in\n{text}"


def expect_error_line(run, expected):
    """The run's stderr is exactly `expected` plus a line break."""
    assert run.err == expected + "\n", run.describe()


def expect_count(name, text, pattern, expected):
    """`text` holds `expected` matches of `pattern`."""
    found = len(re.findall(pattern, text))
    assert found == expected, f"{name}: {found} matches of '{pattern}', expected {expected}"


def json_at(document, *path):
    value = document
    for key in path:
        value = value[key]
    return value


def stream_bytes(*commands):
    """A tile stream's wire form: each command eight 32-bit words, each little-endian."""
    return b"".join(struct.pack("<8I", *command) for command in commands)


def hidden_entries(directory):
    return sorted(entry.name for entry in directory.iterdir() if entry.name.startswith("."))


def expect_well_formed_xml(path):
    xml.etree.ElementTree.parse(path)


END = (255, 0, 0, 0, 0, 0, 0, 0)


# ---- Summary ------------------------------------------------------------------------------------


def test_summary(orvoc):
    run = orvoc("compile")
    expect_status(run, 0)
    assert run.err == ""
    expect_matches("summary", run.out,
                   r"workload: +encoder, sequence 32, hidden 64, heads 4, feed-forward 256, 1 layer\n",
                   r"target: +64 tiles, data window 0x52000 to 0xE0000 \(581,632 B per tile\)\n",
                   r"graph: +22 tensors, 15 operations\n",
                   r"phases: +17 \(2 exchange, 15 compute\)\n",
                   r"transfers: +28, 28,672 B moved\n",
                   r"kernels: +160 commands\n",
                   r"allocations: +360\n",
                   r"  tiles 0-7: 9,216 B \(1\.6% of 581,632\)\n",
                   r"  tiles 8-15: 6,144 B \(1\.1% of 581,632\)\n",
                   r"  tiles 16-31: 3,072 B \(0\.5% of 581,632\)\n",
                   r"  tiles 32-63: 2,048 B \(0\.4% of 581,632\)\n",
                   # Phase 1 (q): input, the six weights, norm1 and q, 1,024 B each.
                   r"worst tile: +tile 0, peak 9,216 B, lower bound 9,216 B \(live at phase 1\)\n",
                   r"compile time: [0-9]+\.[0-9]+ ms\n")

    # No layout reaches past tile 63, whatever the tile count.
    run = orvoc("compile", "--tiles", "100", "--data-limit", "917504")
    expect_status(run, 0)
    expect_matches("summary", run.out, r"  tiles 32-63: 2,048 B [^\n]*\n  tiles 64-99: no data\n")

    run = orvoc("compile", "--quiet")
    expect_status(run, 0)
    assert run.out == "", "stdout with --quiet"

    # Two layers: the input, then six weights and fifteen operations per layer.
    run = orvoc("compile", "--layers", "2")
    expect_status(run, 0)
    expect_matches("summary", run.out,
                   r"workload: +encoder, sequence 32, hidden 64, heads 4, feed-forward 256, 2 layers\n",
                   r"graph: +43 tensors, 30 operations\n")


# ---- JSON schedule ------------------------------------------------------------------------------

# (path, value) pairs in the default encoder's schedule.
JSON_VALUES = [
    (("format",), "orvoc-schedule"),
    (("options", "compiler", "tile_count"), 64),
    (("options", "compiler", "data_base"), 335872),
    (("options", "encoder", "layers"), 1),
    (("graph", "outputs"), [21]),
    (("statistics", "phases"), 17),
    (("statistics", "allocations"), 360),
    (("statistics", "kernel_commands"), 160),
    (("statistics", "transfer_bytes"), 28672),
    (("statistics", "worst_tile", "peak_bytes"), 9216),
    # Graph records.
    (("graph", "tensors", 21, "name"), "ffn_residual"),
    (("graph", "tensors", 21, "kind"), "Output"),
    (("graph", "tensors", 21, "producer"), 14),
    (("graph", "tensors", 0, "producer"), None),
    (("graph", "tensors", 11, "shape"), [64, 32]),
    (("graph", "ops", 4, "kind"), "transpose"),
    (("graph", "ops", 4, "permutation"), [1, 0]),
    (("graph", "ops", 6, "kind"), "softmax"),
    (("graph", "ops", 6, "axis"), 1),
    (("graph", "ops", 14, "inputs"), [16, 20]),
    # Layouts: attention_softmax (tensor 13) is 4 KiB on tiles 0-3.
    (("layouts", 13, "tiles"), [0, 1, 2, 3]),
    (("layouts", 13, "sharding"), "Rows"),
    (("layouts", 1, "sharding"), "Columns"),
    # Phase 7 brings attention_softmax from tiles 0-3 to tiles 4-7.
    (("phases", 7, "kind"), "exchange"),
    (("phases", 7, "transfers", 3, "source_tile"), 3),
    (("phases", 7, "transfers", 3, "destination_tile"), 7),
    (("phases", 7, "transfers", 3, "tensor"), 13),
    (("phases", 7, "transfers", 3, "bytes"), 1024),
    # Phase 12 spreads norm2 (tensor 17) from tiles 0-7 to tiles 8-31.
    (("phases", 12, "transfers", 23, "source_tile"), 7),
    (("phases", 12, "transfers", 23, "destination_tile"), 31),
    # Phase 16 is ffn_residual on tiles 0-7, tile 7 the tail.
    (("phases", 16, "kind"), "compute"),
    (("phases", 16, "op"), 14),
    (("phases", 16, "commands", 7, "tile"), 7),
    (("phases", 16, "commands", 7, "output"), 21),
    (("phases", 16, "commands", 7, "specialization", "operation"), "add"),
    (("phases", 16, "commands", 7, "specialization", "shape"), [32, 64]),
    (("phases", 16, "commands", 7, "specialization", "worker_count"), 6),
    (("phases", 16, "commands", 7, "specialization", "role"), "tail"),
    (("phases", 16, "commands", 6, "specialization", "role"), "body"),
    # The input's piece on tile 0 comes first, at data_base, read until phase 10.
    (("allocations", 0, "tensor"), 0),
    (("allocations", 0, "tile"), 0),
    (("allocations", 0, "address"), 335872),
    (("allocations", 0, "size"), 1024),
    (("allocations", 0, "live_from"), 0),
    (("allocations", 0, "live_until"), 10),
    # The output stays live one past the last phase.
    (("allocations", 359, "live_until"), 17),
    # Peaks by tile number.
    (("peak_sram", "0"), 9216),
    (("peak_sram", "63"), 2048),
]

JSON_LENGTHS = [
    (("graph", "tensors"), 22),
    (("graph", "ops"), 15),
    (("layouts",), 22),
    (("phases",), 17),
    (("allocations",), 360),
    (("peak_sram",), 64),
    (("phases", 7, "transfers"), 4),
    (("phases", 12, "transfers"), 24),
    (("phases", 16, "commands"), 8),
]


def test_json(orvoc, work_dir):
    run = orvoc("compile", "-q", "--json", "schedule.json")
    expect_status(run, 0)
    assert run.out == ""
    text = (work_dir / "schedule.json").read_text()
    document = json.loads(text)
    for path, expected in JSON_VALUES:
        assert json_at(document, *path) == expected, f"JSON {path}"
    for path, expected in JSON_LENGTHS:
        assert len(json_at(document, *path)) == expected, f"length of JSON {path}"

    # Byte for byte reproducible, to a file or to stdout (which then holds only the JSON).
    orvoc("compile", "-q", "--json", "again.json")
    assert (work_dir / "again.json").read_text() == text, "second JSON"
    run = orvoc("compile", "--json", "-")
    expect_status(run, 0)
    assert run.out == text, "JSON on stdout"


# ---- Tile streams -------------------------------------------------------------------------------


def test_streams(orvoc, work_dir):
    run = orvoc("compile", "-q", "--streams", "streams")
    expect_status(run, 0)
    streams = work_dir / "streams"
    assert len(list(streams.iterdir())) == 64, "stream files"
    assert hidden_entries(streams) == [], "temporary files left"

    # Tile 0 runs a kernel in all 15 compute phases, sends attention_softmax (tensor 13) to tile 4
    # at phase 7 and norm2 (tensor 17) to tiles 8, 16, 24 at phase 12.
    # Compute: 2, phase, op, output, input count, inputs.
    # Exchange: 1, phase, source, destination, tensor, bytes.
    tile0 = stream_bytes(
        (2, 0, 0, 7, 1, 0, 0, 0), (2, 1, 1, 8, 2, 7, 1, 0), (2, 2, 2, 9, 2, 7, 2, 0), (2, 3, 3, 10, 2, 7, 3, 0),
        (2, 4, 4, 11, 1, 9, 0, 0), (2, 5, 5, 12, 2, 8, 11, 0), (2, 6, 6, 13, 1, 12, 0, 0),
        (1, 7, 0, 4, 13, 1024, 0, 0),
        (2, 8, 7, 14, 2, 13, 10, 0), (2, 9, 8, 15, 2, 14, 4, 0), (2, 10, 9, 16, 2, 0, 15, 0),
        (2, 11, 10, 17, 1, 16, 0, 0),
        (1, 12, 0, 8, 17, 1024, 0, 0), (1, 12, 0, 16, 17, 1024, 0, 0), (1, 12, 0, 24, 17, 1024, 0, 0),
        (2, 13, 11, 18, 2, 17, 5, 0), (2, 14, 12, 19, 1, 18, 0, 0), (2, 15, 13, 20, 2, 19, 6, 0),
        (2, 16, 14, 21, 2, 16, 20, 0),
        END)
    assert (streams / "tile-0000.bin").read_bytes() == tile0
    # Tile 31 receives norm2 from tile 7 and runs ffn_up and ffn_gelu.
    tile31 = stream_bytes((1, 12, 7, 31, 17, 1024, 0, 0), (2, 13, 11, 18, 2, 17, 5, 0), (2, 14, 12, 19, 1, 18, 0, 0),
                          END)
    assert (streams / "tile-0031.bin").read_bytes() == tile31
    # Tile 63 holds only weight pieces: its stream is the end command alone.
    assert (streams / "tile-0063.bin").read_bytes() == stream_bytes(END)


# ---- Memory diagnosis ---------------------------------------------------------------------------


def test_memory_diagnosis(orvoc, work_dir):
    # A 2 KiB window holds input and wq; wk, live at the same time, does not fit.
    run = orvoc("compile", "--data-limit", "0x52800", "--json", "schedule.json", "--streams", "streams")
    expect_status(run, 1)
    assert run.out == ""
    expect_error_line(run, (
        "orvoc: tile 0 exceeds data limit allocating wk\n"
        "orvoc: diagnosis: tile 0 has a data window of 2,048 B (0x52000 to 0x52800); its live data peaks at phase 1 "
        "(compute q) with 9,216 B, 7,168 B more than the window holds\n"
        "orvoc: diagnosis: largest tensors live on tile 0 at phase 1: input 1,024 B, wq 1,024 B, wk 1,024 B, "
        "wv 1,024 B, wo 1,024 B, and 4 more\n"
        "orvoc: diagnosis: the schedule fits a data window of 9,216 B per tile: --data-limit 0x54400 or higher\n"
        # w1 and w2 (64 KiB each) spread over 64 tiles at most: more do not help.
        "orvoc: diagnosis: no tile count fits a data window of 2,048 B: with 64 tiles, as many as any tensor "
        "spreads over, the schedule still needs 9,216 B per tile"))
    assert not (work_dir / "schedule.json").exists(), "a failed compile left output files"
    assert not (work_dir / "streams" / "tile-0000.bin").exists(), "a failed compile left output files"
    assert hidden_entries(work_dir) == [], "temporary files left"
    if (work_dir / "streams").is_dir():
        assert hidden_entries(work_dir / "streams") == [], "temporary files left"

    # The suggested limit is exactly enough: 0x52000 + 9,216 = 0x54400.
    expect_status(orvoc("compile", "-q", "--data-limit", "0x54400"), 0)
    run = orvoc("compile", "-q", "--data-limit", "0x543F0")
    expect_status(run, 1)
    expect_matches("stderr", run.err, r"^orvoc: tile [0-9]+ exceeds data limit allocating [a-z_0-9]+\norvoc: diagnosis: ")

    # A window ending at the top of the address space: the planner overflows.
    run = orvoc("compile", "--data-base", "0xFFFFFFF0", "--data-limit", "0xFFFFFFFF")
    expect_status(run, 1)
    expect_matches("stderr", run.err,
                   r"^orvoc: address overflow\n",
                   r"orvoc: diagnosis: tile 0 has a data window of 15 B \(0xFFFFFFF0 to 0xFFFFFFFF\)",
                   r"orvoc: diagnosis: the schedule needs a data window of 9,216 B per tile, which does not fit "
                   r"between data base 0xFFFFFFF0 and the end of the 32-bit address space\n"
                   r"orvoc: diagnosis: no tile count fits a data window of 15 B: with 64 tiles, as many as any "
                   r"tensor spreads over, a piece of input still takes 1,024 B, 1,009 B more than the window "
                   r"holds\n\Z")

    # Other errors give the library's message and nothing else.
    run = orvoc("compile", "--heads", "3")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: invalid encoder dimensions")


def test_memory_diagnosis_names_the_fewest_tiles(orvoc):
    # A 12 KiB window: on 8 tiles w1 and w2 alone take 8 KiB each.
    run = orvoc("compile", "--tiles", "8", "--data-limit", "0x55000")
    expect_status(run, 1)
    expect_matches("stderr", run.err,
                   r"^orvoc: tile 0 exceeds data limit allocating w1\n",
                   r"orvoc: diagnosis: the schedule fits a data window of 27,648 B per tile: --data-limit 0x58C00 "
                   r"or higher\n"
                   r"orvoc: diagnosis: the fewest tiles that fit a data window of 12,288 B: --tiles 26\n\Z")
    expect_status(orvoc("compile", "-q", "--tiles", "26", "--data-limit", "0x55000"), 0)
    expect_status(orvoc("compile", "-q", "--tiles", "25", "--data-limit", "0x55000"), 1)

    # The attention scores, 32,768 x 32,768 floats, are 4 GiB: on one tile no 32-bit window holds
    # them, so there is no diagnosis of the window, but more tiles still fit it.
    run = orvoc("compile", "--tiles", "1", "--sequence", "32768", "--hidden", "16", "--heads", "1",
                "--feed-forward", "16")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: tile 0 exceeds data limit allocating input\n"
                           "orvoc: diagnosis: the fewest tiles that fit a data window of 581,632 B: --tiles 15007")


# ---- Memory map, report and trace ---------------------------------------------------------------


def test_pictures(orvoc, work_dir):
    run = orvoc("compile", "-q", "--memory-map", "map.svg", "--report", "report.html", "--trace", "trace.json")
    expect_status(run, 0)
    assert run.out == ""
    assert hidden_entries(work_dir) == [], "temporary files left"

    # Tile 0 has the highest peak: 22 pieces, 1 KiB each.
    expect_well_formed_xml(work_dir / "map.svg")
    svg = (work_dir / "map.svg").read_text()
    expect_matches("map", svg,
                   r'^<\?xml version="1.0" encoding="UTF-8"\?>\n'
                   r'<svg xmlns="http://www.w3.org/2000/svg" class="memory-map" data-tile="0"',
                   r">SRAM of tile 0, phase by phase</text>",
                   r">input</text>", r">wq</text>", r">attention_softmax</text>", r">ffn_residual</text>",
                   r"<title>attention_softmax \(Intermediate\)\n1,024 B at 0x52C00 to 0x52FFF\nlive from phase 6 "
                   r"\(compute attention_softmax\) to phase 8 \(compute attention_context\)</title>",
                   r">data base 0x52000</text>", r">data limit 0xE0000</text>", r">peak 9 KiB \(9,216 B\)</text>")
    expect_count("map", svg, r'<rect class="allocation ', 22)
    expect_count("map", svg, r'<rect class="exchange"', 2)

    # Tiles 32-63 hold a piece of w1 (tensor 5) and one of w2 (tensor 6), nothing else.
    run = orvoc("compile", "-q", "--memory-map", "map40.svg", "--tile", "40")
    expect_status(run, 0)
    svg40 = (work_dir / "map40.svg").read_text()
    expect_count("map40", svg40, r'<rect class="allocation weight" data-tensor="5"', 1)
    expect_count("map40", svg40, r'<rect class="allocation weight" data-tensor="6"', 1)
    expect_count("map40", svg40, r'<rect class="allocation ', 2)

    # 160 kernel commands, one slice each; phase 7: 4 senders and 4 receivers; phase 12: 8 and 24.
    # Tiles 0-31 are busy: a name and an order each.
    trace_text = (work_dir / "trace.json").read_text()
    trace = json.loads(trace_text)
    assert len(trace["traceEvents"]) == 265
    expect_count("trace", trace_text, r'"ph":"X"', 200)
    expect_count("trace", trace_text, r'"name":"exchange"', 40)
    expect_count("trace", trace_text, r'"name":"thread_name"', 32)
    assert trace["traceEvents"][65]["ph"] == "X"
    assert trace["traceEvents"][65]["name"] == "norm1"

    # The report loads nothing from elsewhere.
    html = (work_dir / "report.html").read_text()
    outside = re.search(r"https?:|<link|src=|@import|url\(", html)
    assert outside is None, f"report.html refers to something outside it: '{outside and outside.group(0)}'"
    expect_matches("report", html, r"^<!DOCTYPE html>\n", r"</html>\n\Z",
                   r'<body data-tile-count="64" data-default-tile="0">')
    expect_count("report", html, r'<template id="map-tile-[0-9]+">', 64)
    expect_count("report", html, r'<details class="phase ', 17)
    orvoc("compile", "-q", "--report", "report5.html", "--tile", "5")
    expect_matches("report", (work_dir / "report5.html").read_text(), r'<body data-tile-count="64" data-default-tile="5">')

    # Equal inputs, equal bytes.
    orvoc("compile", "-q", "--memory-map", "map2.svg", "--report", "report2.html", "--trace", "trace2.json")
    for name, again in [("map.svg", "map2.svg"), ("report.html", "report2.html"), ("trace.json", "trace2.json")]:
        assert (work_dir / again).read_bytes() == (work_dir / name).read_bytes(), f"{again} against {name}"

    # Twelve layers: one input piece, 72 weight pieces and 180 more on tile 0.
    run = orvoc("compile", "-q", "--layers", "12", "--memory-map", "map12.svg")
    expect_status(run, 0)
    expect_well_formed_xml(work_dir / "map12.svg")
    svg12 = (work_dir / "map12.svg").read_text()
    expect_count("map12", svg12, r'<rect class="allocation ', 253)
    expect_count("map12", svg12, r'<rect class="allocation weight"', 72)


# ---- Usage errors -------------------------------------------------------------------------------

# The arguments and the exact error line; "{orvoc}" stands for the tool's own path.
USAGE_ERRORS = [
    ((), "orvoc: a subcommand is required: compile, import, run, reference or selfcheck (see orvoc --help)"),
    (("compile", "--bogus"), "orvoc: The following argument was not expected: --bogus"),
    (("compile", "{orvoc}", "extra"), "orvoc: The following argument was not expected: extra"),
    (("compile", "extra"), "orvoc: MODEL: File does not exist: extra"),
    (("compile", "--tiles"), "orvoc: --tiles: 1 required N missing"),
    (("compile", "--tiles", "0"), "orvoc: --tiles: 0 is out of range (1 to 65,535)"),
    (("compile", "--tiles", "65536"), "orvoc: --tiles: 65536 is out of range (1 to 65,535)"),
    (("compile", "--tiles", "12x"), "orvoc: --tiles: '12x' is not an unsigned number (decimal or 0x-hex)"),
    (("compile", "--data-limit", "0x100000000"),
     "orvoc: --data-limit: 0x100000000 is out of range (0 to 4,294,967,295)"),
    (("compile", "--data-base", "0xE0000"),
     "orvoc: empty data window: --data-base 0xE0000 is not below --data-limit 0xE0000"),
    (("compile", "--data-base", "4096", "--data-limit", "0x800"),
     "orvoc: empty data window: --data-base 4096 is not below --data-limit 0x800"),
    (("compile", "--sequence", "-1"), "orvoc: --sequence: '-1' is not an unsigned number (decimal or 0x-hex)"),
    (("compile", "--hidden", "18446744073709551616"), "orvoc: --hidden: 18446744073709551616 is too large"),
    (("compile", "--layers", "0"), "orvoc: --layers: 0 is out of range (at least 1)"),
    (("compile", "--log-level", "loud"), "orvoc: --log-level: 'loud' is not one of off, info, debug"),
    (("compile", "--tile", "5"), "orvoc: --tile: needs --memory-map or --report"),
    (("compile", "--memory-map", "map.svg", "--tile", "64"), "orvoc: --tile: 64 is out of range (0 to 63)"),
    (("compile", "--tiles", "8", "--report", "report.html", "--tile", "0x8"),
     "orvoc: --tile: 0x8 is out of range (0 to 7)"),
    (("compile", "--memory-map", "map.svg", "--tile", "x"),
     "orvoc: --tile: 'x' is not an unsigned number (decimal or 0x-hex)"),
    (("compile", "--report", "-"), "orvoc: --report: writes to a file only ('-' is standard output)"),
    (("compile", "--trace", "-"), "orvoc: --trace: writes to a file only ('-' is standard output)"),
    (("reference", "--sequence", "0x100000000", "--hidden", "0x100000000"),
     "orvoc: encoder dimensions too large: a matrix would exceed 2^64 bytes"),
    (("selfcheck", "--bogus"), "orvoc: selfcheck: unknown argument '--bogus'"),
    # A usage error writes nothing, even where outputs are named.
    (("compile", "--tiles", "0", "--json", "schedule.json", "--streams", "streams"),
     "orvoc: --tiles: 0 is out of range (1 to 65,535)"),
]


def case_id(arguments):
    return " ".join(arguments) or "no arguments"


@pytest.mark.parametrize("arguments, message", USAGE_ERRORS, ids=[case_id(case[0]) for case in USAGE_ERRORS])
def test_usage_error(orvoc, orvoc_path, work_dir, arguments, message):
    run = orvoc(*(argument.replace("{orvoc}", str(orvoc_path)) for argument in arguments))
    expect_status(run, 2)
    assert run.out == "", f"stdout of {arguments}"
    expect_error_line(run, message)
    assert list(work_dir.iterdir()) == [], "a usage error wrote files"


# ---- File errors --------------------------------------------------------------------------------


def test_file_errors(orvoc, work_dir):
    (work_dir / "a_directory").mkdir()
    (work_dir / "a_file").write_bytes(b"")

    run = orvoc("compile", "-q", "--json", "missing/schedule.json")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot write missing/schedule.json: No such file or directory")

    run = orvoc("compile", "-q", "--json", "a_directory")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot write a_directory: it is a directory")

    # Nor are the pictures that could be written kept when one cannot.
    run = orvoc("compile", "-q", "--memory-map", "map.svg", "--trace", "trace.json", "--report", "missing/report.html")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot write missing/report.html: No such file or directory")
    assert not (work_dir / "map.svg").exists(), "pictures written although the report failed"
    assert not (work_dir / "trace.json").exists(), "pictures written although the report failed"

    # The streams cannot be written, so the JSON that could be is not kept either.
    run = orvoc("compile", "-q", "--json", "schedule.json", "--streams", "a_file")
    expect_status(run, 1)
    expect_matches("stderr", run.err, r"^orvoc: cannot write streams to a_file: [^\n]+\n\Z")
    assert not (work_dir / "schedule.json").exists(), "schedule.json written although the streams failed"

    run = orvoc("reference", "--input", "absent.bin")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot read absent.bin: No such file or directory")

    # 3 floats where 4 x 8 = 32 are needed, and a size that is no float count.
    small = ("--sequence", "4", "--hidden", "8", "--heads", "2", "--feed-forward", "16")
    (work_dir / "short.bin").write_bytes(b"123456789012")
    run = orvoc("reference", *small, "--input", "short.bin")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: short.bin holds 12 B; the encoder input is 32 float32 values, 128 B")
    (work_dir / "odd.bin").write_bytes(b"12345")
    run = orvoc("reference", *small, "--input", "odd.bin")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: odd.bin holds 5 B; the encoder input is 32 float32 values, 128 B")

    run = orvoc("reference", *small, "--output", "missing/out.bin")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot write missing/out.bin: No such file or directory")

    # heads 0 is the library's to refuse.
    run = orvoc("reference", "--heads", "0")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: invalid encoder dimensions")

    assert hidden_entries(work_dir) == [], "temporary files left"
    assert list((work_dir / "a_directory").iterdir()) == [], "temporary files left"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_unwritable_summary_is_a_failure(orvoc):
    # A summary that cannot be written is a failure, not a success.
    with open("/dev/full", "wb") as full:
        run = orvoc("compile", stdout=full)
    expect_status(run, 1)
    expect_error_line(run, "orvoc: cannot write to standard output")


# ---- Reference ----------------------------------------------------------------------------------


def test_reference(orvoc, work_dir):
    small = ("--sequence", "4", "--hidden", "8", "--heads", "2", "--feed-forward", "16")
    run = orvoc("reference", *small, "--output", "out.bin")
    expect_status(run, 0)
    assert run.err == ""
    # 107.4642333984375 with correctly rounded exp and tanh; the last digits may differ with the
    # platform's.
    expect_matches("stdout", run.out,
                   r"workload: encoder, sequence 4, hidden 8, heads 2, feed-forward 16\n",
                   r"input: +\(i - 9\) / 16 for i = 0\.\.31\n",
                   r"values: +32\n",
                   r"checksum: 107\.464[0-9]*\n",
                   r"min: +-?[0-9]",
                   r"max: +-?[0-9]",
                   r"time: +[0-9]+\.[0-9]+ ms\n")
    assert (work_dir / "out.bin").stat().st_size == 128, "output bytes"

    # The output is reproducible and a valid input of the same configuration.
    orvoc("reference", *small, "--output", "again.bin")
    assert (work_dir / "again.bin").read_bytes() == (work_dir / "out.bin").read_bytes(), "second output"
    run = orvoc("reference", *small, "--input", "out.bin")
    expect_status(run, 0)
    expect_matches("stdout", run.out, r"input: +out\.bin\n", r"values: +32\n")
    assert not re.search(r"checksum: 107\.464", run.out), "the input file was not used"


# ---- Self-check, help, version, log level -------------------------------------------------------


def test_selfcheck(orvoc):
    run = orvoc("selfcheck")
    expect_status(run, 0)
    expect_matches("stdout", run.out,
                   r"OK \] tests\.encoder_graph_compiles_deterministically",
                   r"OK \] tests\.encoder_reference_is_finite_and_repeatable",
                   r"OK \] tests\.live_allocations_do_not_overlap",
                   r"\[  PASSED  \] 3 tests")

    run = orvoc("selfcheck", "--gtest_filter=*overlap*")
    expect_status(run, 0)
    expect_matches("stdout", run.out, r"\[  PASSED  \] 1 test\.")


def test_version(orvoc, orvoc_version):
    run = orvoc("--version")
    expect_status(run, 0)
    assert run.out == f"orvoc {orvoc_version}\n"


@pytest.mark.parametrize("command, patterns", [
    ((), (r"Usage: orvoc \[OPTIONS\] \[SUBCOMMAND\]", "compile", "reference", "selfcheck")),
    (("compile",), (r"Usage: orvoc compile \[OPTIONS\]", "Exit status: 0 on success")),
    (("reference",), (r"Usage: orvoc reference \[OPTIONS\]", "Exit status: 0 on success")),
    (("selfcheck",), (r"Usage: orvoc selfcheck \[OPTIONS\]", "Exit status: 0 on success")),
], ids=["orvoc", "compile", "reference", "selfcheck"])
def test_help(orvoc, command, patterns):
    run = orvoc(*command, "--help")
    expect_status(run, 0)
    assert run.err == "", f"stderr of {command} --help"
    expect_matches("help", run.out, *patterns)


def test_compile_help_lists_the_options_with_defaults(orvoc):
    run = orvoc("compile", "--help")
    expect_matches("help", run.out, "--tiles N=64", "--data-base ADDRESS=0x52000", "--log-level LEVEL=off",
                   "--memory-map FILE", "--tile N", "--report FILE", "--trace FILE")


# ---- Progress on a terminal --------------------------------------------------------------------


def run_on_terminal(orvoc_path, work_dir, *arguments):
    """orvoc with standard error on a pseudo-terminal: its exit status, its standard output and
    the bytes the terminal received (line breaks as the terminal sends them, CR LF)."""
    primary, secondary = pty.openpty()
    process = subprocess.Popen([str(orvoc_path), *map(str, arguments)], cwd=work_dir, stdout=subprocess.PIPE,
                               stderr=secondary)
    os.close(secondary)
    received = b""
    while True:
        try:
            chunk = os.read(primary, 4096)
        except OSError:  # EIO: every writer has closed the terminal
            break
        if not chunk:
            break
        received += chunk
    os.close(primary)
    out = process.stdout.read()
    process.stdout.close()
    return process.wait(timeout=600), out.decode(), received.decode()


def stage_pattern(stage):
    """A stage's line, blanked out (spaces as long as it) or kept with its time."""
    line = f"orvoc: {stage}..."
    return re.escape(line) + rf"(\r {{{len(line)}}}\r| [0-9]+\.[0-9] s\r\n)"


def progress_pattern(*stages):
    """The stages' lines and nothing else."""
    return "^" + "".join(map(stage_pattern, stages)) + r"\Z"


def test_progress_on_a_terminal_only(orvoc, orvoc_path, work_dir, fixtures):
    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "compile")
    assert status == 0
    expect_matches("summary", out, r"^workload: +encoder")
    expect_matches("terminal", terminal,
                   progress_pattern("compiling 15 operations for 64 tiles", "writing the output"))

    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "compile", "--data-limit", "0x52800")
    assert status == 1
    expect_matches("terminal", terminal,
                   "^" + stage_pattern("compiling 15 operations for 64 tiles") +
                   r"orvoc: tile 0 exceeds data limit allocating wk\r\n" +
                   stage_pattern("explaining the memory failure") + r"(orvoc: diagnosis: [^\r]*\r\n){4}\Z")

    model = fixtures / "prenorm_manual" / "model.onnx"
    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "import", model, "--dim", "sequence=8")
    assert status == 0 and out.startswith("model:")
    expect_matches("terminal", terminal, progress_pattern("importing model.onnx"))
    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "run", model, "--dim", "sequence=8", "--input",
                                            f"input={fixtures}/prenorm_manual/input.npy")
    assert status == 0
    expect_matches("terminal", terminal, progress_pattern("importing model.onnx", "reading the inputs",
                                                          "preparing the evaluation", "evaluating 45 operations"))
    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "reference")
    assert status == 0
    expect_matches("terminal", terminal, progress_pattern("evaluating the encoder reference"))

    # --quiet, or library events on standard error: no progress.
    for arguments in (("compile", "--quiet"), ("import", model, "--dim", "sequence=8", "-q"), ("reference", "-q"),
                      ("run", model, "--dim", "sequence=8", "--input", f"input={fixtures}/prenorm_manual/input.npy",
                       "--quiet")):
        status, out, terminal = run_on_terminal(orvoc_path, work_dir, *arguments)
        assert (status, terminal) == (0, ""), arguments
    status, out, terminal = run_on_terminal(orvoc_path, work_dir, "compile", "-q", "--log-level", "info")
    assert status == 0 and terminal.startswith("[info] compiling graph") and "..." not in terminal

    # Standard error a pipe, as in every other test: nothing.
    assert orvoc("compile").err == ""


def test_log_level(orvoc):
    run = orvoc("compile", "-q", "--log-level", "info")
    expect_status(run, 0)
    assert run.err == ("[info] compiling graph operations=15 tensors=22 tiles=64\n"
                       "[info] graph compilation completed phases=17 allocations=360 peak_bytes=9216\n"), "stderr at info"

    run = orvoc("compile", "-q", "--log-level", "debug")
    expect_matches("stderr", run.err, r"\[debug\] planned tile SRAM peak_bytes=9216\n")

    run = orvoc("compile", "-q", "--log-level", "off")
    assert run.err == "", "stderr at off"


# ---- ONNX models --------------------------------------------------------------------------------


def test_models(orvoc, work_dir, fixtures):
    model = fixtures / "prenorm_manual" / "model.onnx"
    run = orvoc("import", model, "--dim", "sequence=8")
    expect_status(run, 0)
    assert run.out == (
        f"model:      {model} (opset 17, pytorch 1.13.0)\n"
        "inputs:\n"
        "  input [2, 8, 32]\n"
        "outputs:\n"
        "  output [2, 8, 32]\n"
        "operations: 45 (add 10, batch_matmul 2, div 1, gelu 1, layer_norm 2, matmul 6, mul 2, reshape 16, "
        "softmax 1, transpose 4)\n"
        "weights:    17 tensors, 34,180 B\n"
        "fused:\n"
        "  gelu (tanh) at /gelu/Mul\n"), "import"

    run = orvoc("compile", model, "--dim", "sequence=8", "--tiles", "16", "--json", "schedule.json")
    expect_status(run, 0)
    expect_matches("summary", run.out, r"^workload:     model model\.onnx\ntarget:       16 tiles,",
                   r"\ngraph:        [0-9]+ tensors, 45 operations\n")
    document = json.loads((work_dir / "schedule.json").read_text())
    assert document["options"]["model"] == "model.onnx"
    assert len(document["graph"]["ops"]) == 45

    # The outputs PyTorch computed, within the tolerance the importer tests use, are checked there;
    # here the file written is numpy's form of [2, 8, 32].
    run = orvoc("run", model, "--dim", "sequence=8", "--input", f"input={fixtures}/prenorm_manual/input.npy",
                "--output", "out")
    expect_status(run, 0)
    expect_matches("stdout", run.out, r"^output \[2, 8, 32\]: sum [-0-9.e]+, min -[0-9.e]+, max [0-9.e]+\n\Z")
    assert (work_dir / "out" / "output.npy").stat().st_size == 2176, "output.npy size"

    # The evaluation's threads change nothing in what is written.
    written = (work_dir / "out" / "output.npy").read_bytes()
    for threads in ("1", "3"):
        again = orvoc("run", model, "--dim", "sequence=8", "--input", f"input={fixtures}/prenorm_manual/input.npy",
                      "--output", f"out{threads}", "--threads", threads)
        expect_status(again, 0)
        assert (again.out, (work_dir / f"out{threads}" / "output.npy").read_bytes()) == (run.out, written), threads


def npy_float32(shape, values):
    """numpy's version 1.0 .npy form of float32 `values` of `shape`, C order."""
    header = f"{{'descr': '<f4', 'fortran_order': False, 'shape': ({', '.join(map(str, shape))},), }}"
    header += " " * (63 - (10 + len(header)) % 64) + "\n"
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode() + struct.pack(
        f"<{len(values)}f", *values)


def test_output_that_is_an_input(orvoc, work_dir, fixtures):
    # The model's only output is its input x: the value passes through unchanged.
    model = fixtures / "passthrough" / "model.onnx"
    run = orvoc("import", model)
    expect_status(run, 0)
    assert run.out == (
        f"model:      {model} (opset 17, hand)\n"
        "inputs:\n"
        "  x [2, 3]\n"
        "outputs:\n"
        "  x [2, 3]\n"
        "operations: 1 (reshape 1)\n"
        "weights:    0 tensors, 0 B\n"
        "fused:      none\n"), "import"

    given = npy_float32((2, 3), [1.5, -2, 3, -4, 5, -6.25])
    (work_dir / "x.npy").write_bytes(given)
    run = orvoc("run", model, "--input", "x=x.npy", "--output", "out")
    expect_status(run, 0)
    assert run.out == "x [2, 3]: sum -2.75, min -6.25, max 5\n", "run"
    assert (work_dir / "out" / "x.npy").read_bytes()[-24:] == given[-24:], "the output's values"


def test_typed_inputs_and_outputs(orvoc, work_dir, fixtures):
    # int64 token ids and a bool mask in, int64 and bool outputs out, each in its own .npy type.
    folder = fixtures / "typed"
    model = folder / "model.onnx"
    run = orvoc("import", model, "--dim", "batch=2")
    expect_status(run, 0)
    assert run.out == (
        f"model:      {model} (opset 17, hand)\n"
        "inputs:\n"
        "  ids [2, 3] int64\n"
        "  mask [2, 3] bool\n"
        "outputs:\n"
        "  shifted [2, 3] int64\n"
        "  flipped [3, 2] bool\n"
        "operations: 2 (add 1, transpose 1)\n"
        "weights:    1 tensors, 24 B\n"
        "fused:      none\n"), "import"

    run = orvoc("run", model, "--dim", "batch=2", "--input", f"ids={folder}/ids.npy", "--input",
                f"mask={folder}/mask.npy", "--output", "out")
    expect_status(run, 0)
    assert run.out == ("shifted [2, 3] int64: sum 2199023255553, min -18, max 1099511627782\n"
                       "flipped [3, 2] bool: 3 of 6 true\n"), "run"
    shifted = (work_dir / "out" / "shifted.npy").read_bytes()
    assert b"'descr': '<i8'" in shifted and len(shifted) == 128 + 48, "shifted.npy header"
    assert struct.unpack("<6q", shifted[-48:]) == (11, -18, (1 << 40) + 3, 14, -15, (1 << 40) + 6)
    flipped = (work_dir / "out" / "flipped.npy").read_bytes()
    assert b"'descr': '|b1'" in flipped and flipped[-6:] == bytes([1, 0, 1, 0, 0, 1]), "flipped.npy"

    (work_dir / "float_ids.npy").write_bytes(npy_float32((2, 3), [1, 2, 3, 4, 5, 6]))
    run = orvoc("run", model, "--dim", "batch=2", "--input", "ids=float_ids.npy", "--input",
                f"mask={folder}/mask.npy")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: input ids: expected int64 [2, 3], found float32 [2, 3] in float_ids.npy")
    run = orvoc("run", model, "--dim", "batch=2", "--input", f"mask={folder}/mask.npy")
    expect_status(run, 1)
    expect_error_line(run, "orvoc: no --input for ids (int64 [2, 3])")


# ---- A model written field by field -------------------------------------------------------------
# Just enough of protobuf's wire format to write a small ONNX model without the onnx package.


def varint(value):
    out = bytearray()
    while True:
        low, value = value & 0x7F, value >> 7
        out.append(low | (0x80 if value else 0))
        if not value:
            return bytes(out)


def field(number, value):
    """Field `number`: an int as a varint, str or bytes as length-delimited."""
    if isinstance(value, int):
        return varint(number << 3) + varint(value)
    data = value.encode() if isinstance(value, str) else value
    return varint(number << 3 | 2) + varint(len(data)) + data


def float_value(name, dims):
    """A ValueInfoProto: a FLOAT tensor of fixed dims."""
    shape = b"".join(field(1, field(1, dim)) for dim in dims)
    return field(1, name) + field(2, field(1, field(1, 1) + field(2, shape)))


def onnx_node(op_type, inputs, outputs, name, to=None):
    """A NodeProto; `to` gives a Cast its target type as an INT attribute."""
    node = b"".join(field(1, value) for value in inputs) + b"".join(field(2, value) for value in outputs)
    node += field(3, name) + field(4, op_type)
    if to is not None:
        node += field(5, field(1, "to") + field(3, to) + field(20, 2))
    return node


def onnx_model(nodes, inputs, outputs):
    """A ModelProto of IR version 8 importing opset 17 of the default domain."""
    graph = b"".join(field(1, node) for node in nodes) + field(2, "g")
    graph += b"".join(field(11, value) for value in inputs) + b"".join(field(12, value) for value in outputs)
    return field(1, 8) + field(7, graph) + field(8, field(1, "") + field(2, 17))


def test_model_refusals_together(orvoc, work_dir):
    # Two casts to INT32, which the graph does not hold, and the Tanh that reads the first: the
    # import names both casts, one line each, and not the Tanh.
    model = work_dir / "casts.onnx"
    model.write_bytes(onnx_model(
        [onnx_node("Cast", ["x"], ["a"], "/Cast", to=6), onnx_node("Tanh", ["a"], ["b"], "/Tanh"),
         onnx_node("Cast", ["x"], ["c"], "/Cast_1", to=6), onnx_node("Tanh", ["x"], ["y"], "/Tanh_1")],
        [float_value("x", [2, 3])], [float_value("y", [2, 3])]))
    refusal = ": casts a run-time value to INT32; only FLOAT, INT64 and BOOL are supported"
    for command in ("import", "compile"):
        run = orvoc(command, model)
        expect_status(run, 1)
        expect_error_line(run, f"orvoc: onnx: Cast node /Cast{refusal}\norvoc: onnx: Cast node /Cast_1{refusal}")


# Arguments ("{model}" and "{fixtures}" stand for the model and the fixtures folder), the exit
# status (2 for usage errors, 1 for models and inputs that do not fit) and the exact error line.
MODEL_ERRORS = [
    (("compile", "{model}", "--dim", "sequence=8", "--layers", "2"), 2,
     "orvoc: the encoder options (--sequence, --hidden, --heads, --feed-forward, --layers) do not go with a model "
     "file"),
    (("compile", "--dim", "sequence=8"), 2, "orvoc: --dim: needs a model file"),
    (("import", "{model}", "--dim", "sequence"), 2, "orvoc: --dim: expected NAME=N, got 'sequence'"),
    (("import", "{model}", "--dim", "sequence=8", "--dim", "sequence=9"), 2, "orvoc: --dim: sequence is given twice"),
    (("import", "{model}", "--dim", "sequence=0"), 2, "orvoc: --dim sequence: 0 is out of range (at least 1)"),
    (("run", "{model}", "--dim", "sequence=8", "--input", "input"), 2,
     "orvoc: --input: expected NAME=FILE.npy, got 'input'"),
    (("import", "{fixtures}/bad/truncated.onnx"), 1,
     "orvoc: onnx: cannot parse model: 20504 bytes that are not an ONNX ModelProto"),
    (("import", "{fixtures}/bad/unsupported.onnx"), 1,
     "orvoc: onnx: unsupported operators: Det (first node /Det)"),
    (("run", "{model}", "--dim", "sequence=8"), 1, "orvoc: no --input for input (float32 [2, 8, 32])"),
    (("run", "{model}", "--dim", "sequence=8", "--threads", "0"), 2,
     "orvoc: --threads: Value 0 not in range 1 to 256"),
    # Unbound symbols are named as the --dim options that bind them, every one at once.
    (("import", "{model}"), 1, "orvoc: onnx: symbolic dimension sequence is not bound; pass --dim sequence=N"),
    (("compile", "{fixtures}/torch_encoder_postnorm/model.onnx", "--dim", "other=3"), 1,
     "orvoc: onnx: symbolic dimensions batch, sequence are not bound; pass --dim batch=N --dim sequence=N"),
    (("run", "{model}", "--dim", "sequence=4", "--input", "input={fixtures}/prenorm_manual/input.npy"), 1,
     "orvoc: input input: expected float32 [2, 4, 32], found [2, 8, 32] in {fixtures}/prenorm_manual/input.npy"),
    (("run", "{model}", "--dim", "sequence=8", "--input", "input={model}"), 1,
     r"orvoc: input input: npy: not a .npy file (no \x93NUMPY magic string)"),
    (("run", "{model}", "--dim", "sequence=8", "--input", "input={fixtures}/prenorm_manual/input.npy",
      "--input", "mask=m.npy"), 1, "orvoc: the model has no input named mask"),
    # A weight is bound by the model itself, never from the command line.
    (("run", "{model}", "--dim", "sequence=8", "--input", "input={fixtures}/prenorm_manual/input.npy",
      "--input", "norm1.weight={fixtures}/prenorm_manual/input.npy"), 1,
     "orvoc: the model has no input named norm1.weight"),
    # A missing input is reported before a name the model does not have.
    (("run", "{model}", "--dim", "sequence=8", "--input", "mask=m.npy"), 1,
     "orvoc: no --input for input (float32 [2, 8, 32])"),
]


@pytest.mark.parametrize("arguments, status, message", MODEL_ERRORS, ids=[case_id(case[0]) for case in MODEL_ERRORS])
def test_model_error(orvoc, fixtures, arguments, status, message):
    model = fixtures / "prenorm_manual" / "model.onnx"

    def place(text):
        return text.replace("{model}", str(model)).replace("{fixtures}", str(fixtures))

    run = orvoc(*map(place, arguments))
    expect_status(run, status)
    expect_error_line(run, place(message))
