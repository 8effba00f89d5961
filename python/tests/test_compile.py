"""compile from Python: the schedule's records as values, streams, verification, JSON, pictures
and the analysis of a schedule."""

import copy
import json

import numpy as np
import pytest

import orvo_compiler as oc
from conftest import matmul_graph


def test_matmul_schedule_records(small_graph):
    schedule = oc.compile(small_graph, oc.CompilerOptions())
    assert schedule.layouts == [
        oc.Layout(tensor=oc.TensorId(0), tiles=list(range(8)), sharding=oc.Sharding.Rows, alignment=16),
        oc.Layout(tensor=oc.TensorId(1), tiles=list(range(64)), sharding=oc.Sharding.Columns, alignment=16),
        oc.Layout(tensor=oc.TensorId(2), tiles=list(range(32)), sharding=oc.Sharding.Rows, alignment=16),
    ]
    sources = list(range(8)) * 3
    assert schedule.phases[0] == oc.Exchange(transfers=[
        oc.Transfer(source_tile=source, destination_tile=8 + index, tensor=oc.TensorId(0), bytes=1024)
        for index, source in enumerate(sources)])
    compute = schedule.phases[1]
    assert isinstance(compute, oc.Compute) and compute.op == oc.OpId(0)
    assert compute.commands[31] == oc.KernelCommand(
        tile=31, output=oc.TensorId(2), inputs=[oc.TensorId(0), oc.TensorId(1)],
        specialization=oc.SpecializationKey(operation="matmul", shape=[32, 256], worker_count=6, role="tail",
                                            alignment=16))
    assert len(schedule.allocations) == 104
    assert schedule.tile_count == 64
    assert schedule.peak_sram == {tile: 3072 if tile < 8 else 2048 if tile < 32 else 1024 for tile in range(64)}


def test_records_render_as_in_cpp(small_graph):
    schedule = oc.compile(small_graph)
    assert repr(schedule.layouts[0]) == (
        "Layout { tensor: TensorId(0), tiles: [0, 1, 2, 3, 4, 5, 6, 7], sharding: Rows, alignment: 16 }")
    assert repr(schedule.phases[0].transfers[0]) == (
        "Transfer { source_tile: 0, destination_tile: 8, tensor: TensorId(0), bytes: 1024 }")
    assert repr(oc.CompilerOptions()) == (
        "CompilerOptions { tile_count: 64, data_base: 335872, data_limit: 917504 }")
    assert repr(schedule) == "Schedule(tile_count=64, layouts=3, phases=2, allocations=104)"
    assert str(schedule).startswith("Schedule { layouts: [Layout { tensor: TensorId(0)")
    assert repr(oc.Sharding.Rows) == "Sharding.Rows"


def test_properties_build_fresh_copies(small_graph):
    schedule = oc.compile(small_graph)
    layouts = schedule.layouts
    layouts[0].tiles = [5]
    layouts.clear()
    assert schedule.layouts[0].tiles == list(range(8))
    command = schedule.phases[1].commands[0]
    command.specialization.worker_count = 1
    assert schedule.phases[1].commands[0].specialization.worker_count == 6


def test_compiling_twice_gives_equal_schedules(encoder):
    graph, options, schedule = encoder
    assert oc.compile(graph, options) == schedule
    assert copy.copy(schedule) == schedule
    assert oc.compile(graph, oc.CompilerOptions(tile_count=32)) != schedule


def test_options_from_keywords():
    options = oc.CompilerOptions(tile_count=8, data_base=0x1000, data_limit=0x2000)
    assert (options.tile_count, options.data_base, options.data_limit) == (8, 0x1000, 0x2000)
    assert options == oc.CompilerOptions(8, 0x1000, 0x2000)
    assert oc.CompilerOptions() == oc.CompilerOptions(tile_count=64, data_base=0x52000, data_limit=0xE0000)


def test_tile_commands_as_words_and_wire_bytes(small_graph):
    schedule = oc.compile(small_graph)
    stream = schedule.tile_commands(8)
    assert stream.dtype == np.uint32 and stream.shape == (3, 8)
    assert stream.tolist() == [[1, 0, 0, 8, 0, 1024, 0, 0], [2, 1, 0, 2, 2, 0, 1, 0], [255, 0, 0, 0, 0, 0, 0, 0]]
    # The array holds the library's own words: numpy does not own them.
    assert not stream.flags.owndata
    wire = schedule.tile_commands(8, format="bytes")
    assert wire[:8].hex() == "0100000000000000"
    assert wire == stream.astype("<u4").tobytes()
    assert oc.EncodedTileCommand(words=[255, 0, 0, 0, 0, 0, 0, 0]).to_le_bytes() == wire[64:]


def test_command_words_and_wire_bytes_as_commands_hpp_names_them(small_graph):
    schedule = oc.compile(small_graph)
    stream = schedule.tile_commands(8)
    receive, compute, end = stream
    assert receive[oc.command_word.kind] == oc.CommandKind.Exchange.value == 1
    assert (receive[oc.command_word.phase], receive[oc.command_word.source_tile],
            receive[oc.command_word.destination_tile], receive[oc.command_word.tensor],
            receive[oc.command_word.bytes]) == (0, 0, 8, 0, 1024)
    assert compute[oc.command_word.kind] == oc.CommandKind.Compute.value == 2
    assert (compute[oc.command_word.op], compute[oc.command_word.output], compute[oc.command_word.input_count],
            compute[oc.command_word.first_input]) == (0, 2, 2, 0)
    assert end[oc.command_word.kind] == oc.CommandKind.End.value == 0xFF
    assert oc.tile_stream_bytes(schedule, 8) == schedule.tile_commands(8, format="bytes")
    with pytest.raises(oc.CompileError, match="^tile 64 is out of range$"):
        oc.tile_stream_bytes(schedule, 64)
    with pytest.raises(TypeError):
        oc.command_word()


def test_all_tile_commands_equal_each_tile(small_graph):
    schedule = oc.compile(small_graph)
    streams = schedule.all_tile_commands()
    assert len(streams) == 64
    for tile, stream in enumerate(streams):
        assert np.array_equal(stream, schedule.tile_commands(tile))
    assert schedule.all_tile_commands(format="bytes")[8] == schedule.tile_commands(8, format="bytes")


def test_verify_schedule(encoder):
    graph, options, schedule = encoder
    assert oc.verify_schedule(graph, schedule, options) is None
    with pytest.raises(oc.CompileError) as raised:
        oc.verify_schedule(matmul_graph(), schedule, options)
    assert raised.value.kind == "graph"


def test_encoder_analysis_as_summarised(encoder):
    graph, options, schedule = encoder
    statistics = oc.schedule_statistics(graph, schedule)
    assert (statistics.phases, statistics.exchange_phases, statistics.compute_phases) == (17, 2, 15)
    assert (statistics.transfers, statistics.transfer_bytes) == (28, 28672)
    assert (statistics.kernel_commands, statistics.allocations) == (160, 360)
    assert statistics.worst_tile == oc.WorstTile(tile=0, peak_bytes=9216, live=oc.LivePeak(phase=1, bytes=9216))
    assert oc.peak_runs(schedule) == [
        oc.TileRun(first_tile=0, last_tile=7, bytes=9216),
        oc.TileRun(first_tile=8, last_tile=15, bytes=6144),
        oc.TileRun(first_tile=16, last_tile=31, bytes=3072),
        oc.TileRun(first_tile=32, last_tile=63, bytes=2048),
    ]
    assert oc.live_peak(schedule, 0) == oc.LivePeak(phase=1, bytes=9216)
    assert oc.live_peaks(schedule)[0] == oc.live_peak(schedule, 0)
    assert oc.max_live_bound(schedule) == oc.LiveBound(tile=0, live=oc.LivePeak(phase=1, bytes=9216))
    live = oc.live_bytes(schedule, 0)
    assert len(live) == 18 and max(live) == 9216 and live.index(9216) == 1
    assert sum(a.size for a in oc.live_allocations(schedule, 0, 1)) == 9216
    assert oc.phase_description(graph, schedule, 17) == "after the last phase"
    summary = oc.schedule_summary(oc.Workload(), options, schedule, statistics)
    assert "  tiles 0-7: 9,216 B (1.6% of 581,632)\n" in summary


def test_memory_failure_and_diagnosis():
    graph = matmul_graph()
    base = 0x52000
    tight = oc.CompilerOptions(tile_count=64, data_base=base, data_limit=base + 3071)
    with pytest.raises(oc.CompileError) as raised:
        oc.compile(graph, tight)
    assert (raised.value.kind, str(raised.value)) == ("memory", "tile 0 exceeds data limit allocating Y")

    wide = oc.compile(graph)
    failure = oc.memory_failure(graph, wide.layouts, wide.phases, tight)
    assert failure is not None
    assert (failure.cause, failure.tile, failure.tensor) == (oc.MemoryFailure.Cause.DataLimit, 0, oc.TensorId(2))
    assert oc.memory_failure(graph, wide.layouts, wide.phases, oc.CompilerOptions()) is None
    with pytest.raises(oc.CompileError, match="^tile 0 exceeds data limit allocating Y$"):
        oc.plan_memory(graph, wide.layouts, wide.phases, tight)

    diagnosis = oc.memory_diagnosis(graph, tight)
    assert (diagnosis.tile, diagnosis.needed_bytes, diagnosis.fit) == (0, 3072, oc.WindowFit.Fits)
    assert diagnosis.fitting_limit == base + 3072
    assert [t.name for t in diagnosis.largest_tensors] == ["X", "W", "Y"]
    # W spreads over 64 tiles at most, where the schedule needs 3,072 B.
    advice = diagnosis.tile_advice
    assert (advice.fit, advice.spread_tiles, advice.spread_needed_bytes) == (oc.TileCountFit.NoneFits, 64, 3072)
    assert oc.tile_count_advice(graph, tight) == advice
    lines = oc.diagnosis_lines(diagnosis)
    assert len(lines) == 4 and lines[3] == oc.tile_advice_line(advice)
    assert oc.diagnose_memory_error(graph, tight, raised.value) == lines
    # With 3,072 B, W's 1,056 B pieces over 63 tiles leave no room for X's and Y's 1,024 B.
    fitting = oc.CompilerOptions(tile_count=1, data_base=base, data_limit=base + 3072)
    assert oc.tile_count_advice(graph, fitting).tile_count == 64
    assert oc.diagnose_memory_error(graph, tight, oc.CompileError("not memory")) == []


def test_passes_one_by_one(small_graph):
    tensor = small_graph.tensors[1]
    layout = oc.choose_layout(tensor, 64)
    assert layout == oc.Layout(tensor=oc.TensorId(1), tiles=list(range(64)), sharding=oc.Sharding.Columns)
    assert oc.local_bytes(tensor, layout) == 1024
    assert oc.worker_count(tensor) == 6
    assert oc.lifetimes_overlap(0, 2, 2, 5) and not oc.lifetimes_overlap(0, 1, 2, 5)
    assert oc.align_u32(17, 16) == 32 and oc.align_u32(17, 0) == 0
    oc.validate_transfers([oc.Transfer(source_tile=0, destination_tile=1, tensor=oc.TensorId(0), bytes=4)])
    with pytest.raises(oc.CompileError):
        oc.validate_transfers([oc.Transfer(source_tile=1, destination_tile=1, tensor=oc.TensorId(0), bytes=4)])


def test_json_forms_load(encoder):
    graph, options, schedule = encoder
    text = oc.schedule_json(oc.Workload(), options, graph, schedule)
    document = json.loads(text)
    assert text.startswith("{\n  ")
    assert json.loads(oc.schedule_json(oc.Workload(), options, graph, schedule, indent=-1)) == document
    assert "\n" not in oc.schedule_json(oc.Workload(), options, graph, schedule, indent=-1)
    trace = json.loads(oc.trace_json(graph, schedule))
    assert trace


def test_pictures(encoder):
    graph, options, schedule = encoder
    svg = oc.memory_map_svg(graph, schedule, options, 0)
    assert svg.startswith("<?xml") and svg.rstrip().endswith("</svg>")
    inline = oc.memory_map_svg(graph, schedule, options, 0, oc.SvgForm.Inline)
    assert inline.startswith("<svg")
    drawn = oc.MemoryMap(graph, schedule, options, 0)
    assert drawn._repr_svg_() == svg == drawn.svg
    maps = oc.memory_maps(graph, schedule, options, oc.SvgForm.Document)
    assert [m.tile for m in maps] == list(range(64)) and maps[0].svg == svg
    # A document carries the style sheet; an inline map leaves it to the page.
    assert oc.memory_map_style().strip() in svg and "<style" not in inline
    html = oc.report_html(oc.Workload(), options, graph, schedule, 3)
    assert html.startswith("<!DOCTYPE html>") and 'data-default-tile="3"' in html


def test_text_helpers():
    assert oc.group_thousands(581632) == "581,632"
    assert oc.hex_address(0x52000) == "0x52000"
    assert oc.xml_escape("<a & 'b'>") == "&lt;a &amp; &#39;b&#39;&gt;"
    assert oc.kib_text(9216) == "9 KiB"
    assert oc.byte_tick_step(1024, 4) == 256
