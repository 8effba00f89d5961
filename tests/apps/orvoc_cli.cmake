# Runs the built orvoc as a subprocess and checks what a user sees: exit
# statuses, the summary, the JSON schedule, the tile stream files, the memory
# map, report and trace, the memory diagnosis and the error lines. Called as
#   cmake -DORVOC=<orvoc> -DVERSION=<x.y.z> -DCASE=<case> -DWORK_DIR=<dir> -P orvoc_cli.cmake
# with <case> one of the case_* functions below. Expected values are worked out
# by hand from the default encoder (22 tensors, 15 operations, 64 tiles).
cmake_minimum_required(VERSION 3.25)

foreach(required ORVOC VERSION CASE WORK_DIR)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "orvoc_cli.cmake needs -D${required}=...")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# ---- Helpers ----------------------------------------------------------------

# Runs orvoc with the remaining arguments in WORK_DIR; sets status, out and err.
function(run_orvoc)
  execute_process(COMMAND ${ORVOC} ${ARGN}
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  set(status "${result}" PARENT_SCOPE)
  set(out "${output}" PARENT_SCOPE)
  set(err "${error}" PARENT_SCOPE)
endfunction()

function(fail what)
  message(FATAL_ERROR "${what}\n--- status: ${status}\n--- stdout:\n${out}\n--- stderr:\n${err}")
endfunction()

function(expect_status expected)
  if(NOT status STREQUAL "${expected}")
    fail("expected exit status ${expected}")
  endif()
endfunction()

# Every further argument is a regular expression `text` must match. (They are
# read by position: a list would not split at a ';' between '[' and ']'.)
function(expect_matches name text)
  math(EXPR last "${ARGC} - 1")
  foreach(index RANGE 2 ${last})
    if(NOT text MATCHES "${ARGV${index}}")
      fail("${name} lacks '${ARGV${index}}'")
    endif()
  endforeach()
endfunction()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    fail("${what}: expected '${expected}', got '${actual}'")
  endif()
endfunction()

# The stderr of a failed run is exactly `expected` plus a newline.
function(expect_error_line expected)
  expect_equal("stderr" "${err}" "${expected}\n")
endfunction()

# Compares one value of the JSON document `json` at the path given by the
# remaining arguments.
function(expect_json json expected)
  string(JSON actual ERROR_VARIABLE json_error GET "${json}" ${ARGN})
  if(json_error)
    fail("JSON path ${ARGN}: ${json_error}")
  endif()
  expect_equal("JSON ${ARGN}" "${actual}" "${expected}")
endfunction()

function(expect_json_type json expected)
  string(JSON actual ERROR_VARIABLE json_error TYPE "${json}" ${ARGN})
  if(json_error)
    fail("JSON path ${ARGN}: ${json_error}")
  endif()
  expect_equal("type of JSON ${ARGN}" "${actual}" "${expected}")
endfunction()

function(expect_json_length json expected)
  string(JSON actual ERROR_VARIABLE json_error LENGTH "${json}" ${ARGN})
  if(json_error)
    fail("JSON path ${ARGN}: ${json_error}")
  endif()
  expect_equal("length of JSON ${ARGN}" "${actual}" "${expected}")
endfunction()

# The wire form of eight 32-bit words, each little-endian, as lower-case hex.
function(command_hex out_var)
  set(hex "")
  foreach(word IN LISTS ARGN)
    foreach(shift 0 8 16 24)
      math(EXPR byte "(${word} >> ${shift}) & 255" OUTPUT_FORMAT HEXADECIMAL)
      string(SUBSTRING "${byte}" 2 -1 digits)
      string(LENGTH "${digits}" length)
      if(length EQUAL 1)
        set(digits "0${digits}")
      endif()
      string(APPEND hex "${digits}")
    endforeach()
  endforeach()
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

# A stream's expected hex: each argument is one command, its words separated
# by commas.
function(stream_hex out_var)
  set(hex "")
  foreach(command IN LISTS ARGN)
    string(REPLACE "," ";" words "${command}")
    command_hex(one ${words})
    string(APPEND hex "${one}")
  endforeach()
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

function(expect_file_hex path expected)
  file(READ ${path} actual HEX)
  if(NOT actual STREQUAL expected)
    fail("${path} holds\n${actual}\nexpected\n${expected}")
  endif()
endfunction()

# Fails when `directory` holds anything (a temporary file left behind included).
function(expect_empty_directory directory)
  file(GLOB leftovers LIST_DIRECTORIES true ${directory}/* ${directory}/.*)
  if(leftovers)
    fail("expected nothing in ${directory}, found ${leftovers}")
  endif()
endfunction()

# Fails unless `path` is well-formed XML; skipped where python3 is missing.
function(expect_well_formed_xml path)
  find_program(PYTHON3 python3)
  if(NOT PYTHON3)
    message(STATUS "python3 not found: ${path} not parsed as XML")
    return()
  endif()
  execute_process(COMMAND ${PYTHON3} -c "import sys, xml.etree.ElementTree as e; e.parse(sys.argv[1])" ${path}
    RESULT_VARIABLE parsed ERROR_VARIABLE parse_error)
  if(NOT parsed EQUAL 0)
    fail("${path} is not well-formed XML: ${parse_error}")
  endif()
endfunction()

# `text` holds `expected` matches of the regular expression `pattern`.
function(expect_count name text pattern expected)
  string(REGEX MATCHALL "${pattern}" found "${text}")
  list(LENGTH found actual)
  expect_equal("${name}: matches of '${pattern}'" "${actual}" "${expected}")
endfunction()

# ---- Cases ------------------------------------------------------------------

function(case_summary)
  run_orvoc(compile)
  expect_status(0)
  expect_equal("stderr" "${err}" "")
  expect_matches(summary "${out}"
    "workload: +encoder, sequence 32, hidden 64, heads 4, feed-forward 256, 1 layer\n"
    "target: +64 tiles, data window 0x52000 to 0xE0000 \\(581,632 B per tile\\)\n"
    "graph: +22 tensors, 15 operations\n"
    "phases: +17 \\(2 exchange, 15 compute\\)\n"
    "transfers: +28, 28,672 B moved\n"
    "kernels: +160 commands\n"
    "allocations: +360\n"
    "  tiles 0-7: 9,216 B \\(1\\.6% of 581,632\\)\n"
    "  tiles 8-15: 6,144 B \\(1\\.1% of 581,632\\)\n"
    "  tiles 16-31: 3,072 B \\(0\\.5% of 581,632\\)\n"
    "  tiles 32-63: 2,048 B \\(0\\.4% of 581,632\\)\n"
    # Phase 1 (q): input, the six weights, norm1 and q, 1,024 B each.
    "worst tile: +tile 0, peak 9,216 B, lower bound 9,216 B \\(live at phase 1\\)\n"
    "compile time: [0-9]+\\.[0-9]+ ms\n")

  # No layout reaches past tile 63, whatever the tile count.
  run_orvoc(compile --tiles 100 --data-limit 917504)
  expect_status(0)
  expect_matches(summary "${out}" "  tiles 32-63: 2,048 B [^\n]*\n  tiles 64-99: no data\n")

  run_orvoc(compile --quiet)
  expect_status(0)
  expect_equal("stdout with --quiet" "${out}" "")

  # Two layers: the input, then six weights and fifteen operations per layer.
  run_orvoc(compile --layers 2)
  expect_status(0)
  expect_matches(summary "${out}"
    "workload: +encoder, sequence 32, hidden 64, heads 4, feed-forward 256, 2 layers\n"
    "graph: +43 tensors, 30 operations\n")
endfunction()

function(case_json)
  run_orvoc(compile -q --json schedule.json)
  expect_status(0)
  expect_equal("stdout" "${out}" "")
  file(READ ${WORK_DIR}/schedule.json json)

  expect_json("${json}" "orvoc-schedule" format)
  expect_json("${json}" "64" options compiler tile_count)
  expect_json("${json}" "335872" options compiler data_base)
  expect_json("${json}" "1" options encoder layers)
  expect_json_length("${json}" 22 graph tensors)
  expect_json_length("${json}" 15 graph ops)
  expect_json_length("${json}" 22 layouts)
  expect_json_length("${json}" 17 phases)
  expect_json_length("${json}" 360 allocations)
  expect_json_length("${json}" 64 peak_sram)
  expect_json("${json}" "[ 21 ]" graph outputs)
  expect_json("${json}" "17" statistics phases)
  expect_json("${json}" "360" statistics allocations)
  expect_json("${json}" "160" statistics kernel_commands)
  expect_json("${json}" "28672" statistics transfer_bytes)
  expect_json("${json}" "9216" statistics worst_tile peak_bytes)

  # Graph records.
  expect_json("${json}" "ffn_residual" graph tensors 21 name)
  expect_json("${json}" "Output" graph tensors 21 kind)
  expect_json("${json}" "14" graph tensors 21 producer)
  expect_json_type("${json}" "NULL" graph tensors 0 producer)
  expect_json("${json}" "[ 64, 32 ]" graph tensors 11 shape)
  expect_json("${json}" "transpose" graph ops 4 kind)
  expect_json("${json}" "[ 1, 0 ]" graph ops 4 permutation)
  expect_json("${json}" "softmax" graph ops 6 kind)
  expect_json("${json}" "1" graph ops 6 axis)
  expect_json("${json}" "[ 16, 20 ]" graph ops 14 inputs)

  # Layouts: attention_softmax (tensor 13) is 4 KiB on tiles 0-3.
  expect_json("${json}" "[ 0, 1, 2, 3 ]" layouts 13 tiles)
  expect_json("${json}" "Rows" layouts 13 sharding)
  expect_json("${json}" "Columns" layouts 1 sharding)

  # Phase 7 brings attention_softmax from tiles 0-3 to tiles 4-7.
  expect_json("${json}" "exchange" phases 7 kind)
  expect_json_length("${json}" 4 phases 7 transfers)
  foreach(field_value "source_tile;3" "destination_tile;7" "tensor;13" "bytes;1024")
    list(GET field_value 0 field)
    list(GET field_value 1 value)
    expect_json("${json}" "${value}" phases 7 transfers 3 ${field})
  endforeach()
  # Phase 12 spreads norm2 (tensor 17) from tiles 0-7 to tiles 8-31.
  expect_json_length("${json}" 24 phases 12 transfers)
  expect_json("${json}" "7" phases 12 transfers 23 source_tile)
  expect_json("${json}" "31" phases 12 transfers 23 destination_tile)
  # Phase 16 is ffn_residual on tiles 0-7, tile 7 the tail.
  expect_json("${json}" "compute" phases 16 kind)
  expect_json("${json}" "14" phases 16 op)
  expect_json_length("${json}" 8 phases 16 commands)
  expect_json("${json}" "7" phases 16 commands 7 tile)
  expect_json("${json}" "21" phases 16 commands 7 output)
  expect_json("${json}" "add" phases 16 commands 7 specialization operation)
  expect_json("${json}" "[ 32, 64 ]" phases 16 commands 7 specialization shape)
  expect_json("${json}" "6" phases 16 commands 7 specialization worker_count)
  expect_json("${json}" "tail" phases 16 commands 7 specialization role)
  expect_json("${json}" "body" phases 16 commands 6 specialization role)

  # The input's piece on tile 0 comes first, at data_base, read until phase 10.
  foreach(field_value "tensor;0" "tile;0" "address;335872" "size;1024" "live_from;0" "live_until;10")
    list(GET field_value 0 field)
    list(GET field_value 1 value)
    expect_json("${json}" "${value}" allocations 0 ${field})
  endforeach()
  # The output stays live one past the last phase.
  expect_json("${json}" "17" allocations 359 live_until)
  expect_json("${json}" "9216" peak_sram 0)
  expect_json("${json}" "2048" peak_sram 63)

  # Byte for byte reproducible, to a file or to stdout (which then holds only the JSON).
  run_orvoc(compile -q --json again.json)
  file(READ ${WORK_DIR}/again.json again)
  expect_equal("second JSON" "${again}" "${json}")
  run_orvoc(compile --json -)
  expect_status(0)
  expect_equal("JSON on stdout" "${out}" "${json}")
endfunction()

function(case_streams)
  run_orvoc(compile -q --streams streams)
  expect_status(0)
  file(GLOB files RELATIVE ${WORK_DIR}/streams ${WORK_DIR}/streams/*)
  list(LENGTH files count)
  expect_equal("stream files" "${count}" "64")
  file(GLOB hidden ${WORK_DIR}/streams/.*)
  expect_equal("temporary files left" "${hidden}" "")

  # Tile 0 runs a kernel in all 15 compute phases, sends attention_softmax
  # (tensor 13) to tile 4 at phase 7 and norm2 (tensor 17) to tiles 8, 16, 24
  # at phase 12. Compute: 2, phase, op, output, input count, inputs.
  # Exchange: 1, phase, source, destination, tensor, bytes.
  stream_hex(tile0
    "2,0,0,7,1,0,0,0" "2,1,1,8,2,7,1,0" "2,2,2,9,2,7,2,0" "2,3,3,10,2,7,3,0"
    "2,4,4,11,1,9,0,0" "2,5,5,12,2,8,11,0" "2,6,6,13,1,12,0,0"
    "1,7,0,4,13,1024,0,0"
    "2,8,7,14,2,13,10,0" "2,9,8,15,2,14,4,0" "2,10,9,16,2,0,15,0" "2,11,10,17,1,16,0,0"
    "1,12,0,8,17,1024,0,0" "1,12,0,16,17,1024,0,0" "1,12,0,24,17,1024,0,0"
    "2,13,11,18,2,17,5,0" "2,14,12,19,1,18,0,0" "2,15,13,20,2,19,6,0" "2,16,14,21,2,16,20,0"
    "255,0,0,0,0,0,0,0")
  expect_file_hex(${WORK_DIR}/streams/tile-0000.bin "${tile0}")
  # Tile 31 receives norm2 from tile 7 and runs ffn_up and ffn_gelu.
  stream_hex(tile31 "1,12,7,31,17,1024,0,0" "2,13,11,18,2,17,5,0" "2,14,12,19,1,18,0,0" "255,0,0,0,0,0,0,0")
  expect_file_hex(${WORK_DIR}/streams/tile-0031.bin "${tile31}")
  # Tile 63 holds only weight pieces: its stream is the end command alone.
  stream_hex(end_only "255,0,0,0,0,0,0,0")
  expect_file_hex(${WORK_DIR}/streams/tile-0063.bin "${end_only}")
endfunction()

function(case_memory_diagnosis)
  # A 2 KiB window holds input and wq; wk, live at the same time, does not fit.
  run_orvoc(compile --data-limit 0x52800 --json schedule.json --streams streams)
  expect_status(1)
  expect_equal("stdout" "${out}" "")
  expect_error_line("orvoc: tile 0 exceeds data limit allocating wk\n\
orvoc: diagnosis: tile 0 has a data window of 2,048 B (0x52000 to 0x52800); its live data peaks at phase 1 \
(compute q) with 9,216 B, 7,168 B more than the window holds\n\
orvoc: diagnosis: largest tensors live on tile 0 at phase 1: input 1,024 B, wq 1,024 B, wk 1,024 B, wv 1,024 B, \
wo 1,024 B, and 4 more\n\
orvoc: diagnosis: the schedule fits a data window of 9,216 B per tile: --data-limit 0x54400 or higher")
  if(EXISTS ${WORK_DIR}/schedule.json OR EXISTS ${WORK_DIR}/streams/tile-0000.bin)
    fail("a failed compile left output files")
  endif()
  file(GLOB leftovers ${WORK_DIR}/.* ${WORK_DIR}/streams/.*)
  expect_equal("temporary files left" "${leftovers}" "")

  # The suggested limit is exactly enough: 0x52000 + 9,216 = 0x54400.
  run_orvoc(compile -q --data-limit 0x54400)
  expect_status(0)
  run_orvoc(compile -q --data-limit 0x543F0)
  expect_status(1)
  expect_matches(stderr "${err}" "^orvoc: tile [0-9]+ exceeds data limit allocating [a-z_0-9]+\norvoc: diagnosis: ")

  # A window ending at the top of the address space: the planner overflows.
  run_orvoc(compile --data-base 0xFFFFFFF0 --data-limit 0xFFFFFFFF)
  expect_status(1)
  expect_matches(stderr "${err}"
    "^orvoc: address overflow\n"
    "orvoc: diagnosis: tile 0 has a data window of 15 B \\(0xFFFFFFF0 to 0xFFFFFFFF\\)"
    "orvoc: diagnosis: the schedule needs a data window of 9,216 B per tile, which does not fit between data base \
0xFFFFFFF0 and the end of the 32-bit address space\n$")

  # Other errors give the library's message and nothing else.
  run_orvoc(compile --heads 3)
  expect_status(1)
  expect_error_line("orvoc: invalid encoder dimensions")
endfunction()

function(case_pictures)
  run_orvoc(compile -q --memory-map map.svg --report report.html --trace trace.json)
  expect_status(0)
  expect_equal("stdout" "${out}" "")
  file(GLOB leftovers ${WORK_DIR}/.*)
  expect_equal("temporary files left" "${leftovers}" "")

  # Tile 0 has the highest peak: 22 pieces, 1 KiB each.
  expect_well_formed_xml(${WORK_DIR}/map.svg)
  file(READ ${WORK_DIR}/map.svg svg)
  expect_matches(map "${svg}"
    "^<\\?xml version=\"1.0\" encoding=\"UTF-8\"\\?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"memory-map\" data-tile=\"0\""
    ">SRAM of tile 0, phase by phase</text>"
    ">input</text>" ">wq</text>" ">attention_softmax</text>" ">ffn_residual</text>"
    "<title>attention_softmax \\(Intermediate\\)\n1,024 B at 0x52C00 to 0x52FFF\nlive from phase 6 \\(compute \
attention_softmax\\) to phase 8 \\(compute attention_context\\)</title>"
    ">data base 0x52000</text>" ">data limit 0xE0000</text>" ">peak 9 KiB \\(9,216 B\\)</text>")
  expect_count(map "${svg}" "<rect class=\"allocation " 22)
  expect_count(map "${svg}" "<rect class=\"exchange\"" 2)

  # Tiles 32-63 hold a piece of w1 (tensor 5) and one of w2 (tensor 6), nothing else.
  run_orvoc(compile -q --memory-map map40.svg --tile 40)
  expect_status(0)
  file(READ ${WORK_DIR}/map40.svg svg40)
  expect_count(map40 "${svg40}" "<rect class=\"allocation weight\" data-tensor=\"5\"" 1)
  expect_count(map40 "${svg40}" "<rect class=\"allocation weight\" data-tensor=\"6\"" 1)
  expect_count(map40 "${svg40}" "<rect class=\"allocation " 2)

  # 160 kernel commands, one slice each; phase 7: 4 senders and 4 receivers;
  # phase 12: 8 and 24. Tiles 0-31 are busy: a name and an order each.
  file(READ ${WORK_DIR}/trace.json trace)
  expect_json_length("${trace}" 265 traceEvents)
  expect_count(trace "${trace}" "\"ph\":\"X\"" 200)
  expect_count(trace "${trace}" "\"name\":\"exchange\"" 40)
  expect_count(trace "${trace}" "\"name\":\"thread_name\"" 32)
  expect_json("${trace}" "X" traceEvents 65 ph)
  expect_json("${trace}" "norm1" traceEvents 65 name)

  # The report loads nothing from elsewhere.
  file(READ ${WORK_DIR}/report.html html)
  if(html MATCHES "https?:|<link|src=|@import|url\\(")
    fail("report.html refers to something outside it: '${CMAKE_MATCH_0}'")
  endif()
  expect_matches(report "${html}" "^<!DOCTYPE html>\n" "</html>\n$"
    "<body data-tile-count=\"64\" data-default-tile=\"0\">")
  expect_count(report "${html}" "<template id=\"map-tile-[0-9]+\">" 64)
  expect_count(report "${html}" "<details class=\"phase " 17)
  run_orvoc(compile -q --report report5.html --tile 5)
  file(READ ${WORK_DIR}/report5.html html5)
  expect_matches(report "${html5}" "<body data-tile-count=\"64\" data-default-tile=\"5\">")

  # Equal inputs, equal bytes.
  run_orvoc(compile -q --memory-map map2.svg --report report2.html --trace trace2.json)
  foreach(name map.svg report.html trace.json)
    string(REPLACE "." "2." again ${name})
    file(SHA256 ${WORK_DIR}/${name} first)
    file(SHA256 ${WORK_DIR}/${again} second)
    expect_equal("${again} against ${name}" "${second}" "${first}")
  endforeach()

  # Twelve layers: one input piece, 72 weight pieces and 180 more on tile 0.
  run_orvoc(compile -q --layers 12 --memory-map map12.svg)
  expect_status(0)
  expect_well_formed_xml(${WORK_DIR}/map12.svg)
  file(READ ${WORK_DIR}/map12.svg svg12)
  expect_count(map12 "${svg12}" "<rect class=\"allocation " 253)
  expect_count(map12 "${svg12}" "<rect class=\"allocation weight\"" 72)
endfunction()

function(case_usage_errors)
  # Each case: the arguments (separated by commas) and the exact error line.
  set(cases
    "|orvoc: a subcommand is required: compile, import, run, reference or selfcheck (see orvoc --help)"
    "compile,--bogus|orvoc: The following argument was not expected: --bogus"
    "compile,${ORVOC},extra|orvoc: The following argument was not expected: extra"
    "compile,extra|orvoc: MODEL: File does not exist: extra"
    "compile,--tiles|orvoc: --tiles: 1 required N missing"
    "compile,--tiles,0|orvoc: --tiles: 0 is out of range (1 to 65,535)"
    "compile,--tiles,65536|orvoc: --tiles: 65536 is out of range (1 to 65,535)"
    "compile,--tiles,12x|orvoc: --tiles: '12x' is not an unsigned number (decimal or 0x-hex)"
    "compile,--data-limit,0x100000000|orvoc: --data-limit: 0x100000000 is out of range (0 to 4,294,967,295)"
    "compile,--data-base,0xE0000|orvoc: empty data window: --data-base 0xE0000 is not below --data-limit 0xE0000"
    "compile,--data-base,4096,--data-limit,0x800|orvoc: empty data window: --data-base 4096 is not below --data-limit 0x800"
    "compile,--sequence,-1|orvoc: --sequence: '-1' is not an unsigned number (decimal or 0x-hex)"
    "compile,--hidden,18446744073709551616|orvoc: --hidden: 18446744073709551616 is too large"
    "compile,--layers,0|orvoc: --layers: 0 is out of range (at least 1)"
    "compile,--log-level,loud|orvoc: --log-level: 'loud' is not one of off, info, debug"
    "compile,--tile,5|orvoc: --tile: needs --memory-map or --report"
    "compile,--memory-map,map.svg,--tile,64|orvoc: --tile: 64 is out of range (0 to 63)"
    "compile,--tiles,8,--report,report.html,--tile,0x8|orvoc: --tile: 0x8 is out of range (0 to 7)"
    "compile,--memory-map,map.svg,--tile,x|orvoc: --tile: 'x' is not an unsigned number (decimal or 0x-hex)"
    "compile,--report,-|orvoc: --report: writes to a file only ('-' is standard output)"
    "compile,--trace,-|orvoc: --trace: writes to a file only ('-' is standard output)"
    "reference,--sequence,0x100000000,--hidden,0x100000000|orvoc: encoder dimensions too large: a matrix would exceed 2^64 bytes"
    "selfcheck,--bogus|orvoc: selfcheck: unknown argument '--bogus'")
  foreach(case IN LISTS cases)
    string(FIND "${case}" "|" bar)
    string(SUBSTRING "${case}" 0 ${bar} arguments)
    math(EXPR message_start "${bar} + 1")
    string(SUBSTRING "${case}" ${message_start} -1 message)
    string(REPLACE "," ";" arguments "${arguments}")
    run_orvoc(${arguments})
    expect_status(2)
    expect_equal("stdout of ${arguments}" "${out}" "")
    expect_error_line("${message}")
  endforeach()

  # A usage error writes nothing.
  run_orvoc(compile --tiles 0 --json schedule.json --streams streams)
  expect_status(2)
  expect_empty_directory(${WORK_DIR})
endfunction()

function(case_file_errors)
  file(MAKE_DIRECTORY ${WORK_DIR}/a_directory)
  file(WRITE ${WORK_DIR}/a_file "")

  run_orvoc(compile -q --json missing/schedule.json)
  expect_status(1)
  expect_error_line("orvoc: cannot write missing/schedule.json: No such file or directory")

  run_orvoc(compile -q --json a_directory)
  expect_status(1)
  expect_error_line("orvoc: cannot write a_directory: it is a directory")

  # Nor are the pictures that could be written kept when one cannot.
  run_orvoc(compile -q --memory-map map.svg --trace trace.json --report missing/report.html)
  expect_status(1)
  expect_error_line("orvoc: cannot write missing/report.html: No such file or directory")
  if(EXISTS ${WORK_DIR}/map.svg OR EXISTS ${WORK_DIR}/trace.json)
    fail("pictures written although the report failed")
  endif()

  # The streams cannot be written, so the JSON that could be is not kept either.
  run_orvoc(compile -q --json schedule.json --streams a_file)
  expect_status(1)
  expect_matches(stderr "${err}" "^orvoc: cannot write streams to a_file: [^\n]+\n$")
  if(EXISTS ${WORK_DIR}/schedule.json)
    fail("schedule.json written although the streams failed")
  endif()

  run_orvoc(reference --input absent.bin)
  expect_status(1)
  expect_error_line("orvoc: cannot read absent.bin: No such file or directory")

  # 3 floats where 4 x 8 = 32 are needed, and a size that is no float count.
  file(WRITE ${WORK_DIR}/short.bin "123456789012")
  run_orvoc(reference --sequence 4 --hidden 8 --heads 2 --feed-forward 16 --input short.bin)
  expect_status(1)
  expect_error_line("orvoc: short.bin holds 12 B; the encoder input is 32 float32 values, 128 B")
  file(WRITE ${WORK_DIR}/odd.bin "12345")
  run_orvoc(reference --sequence 4 --hidden 8 --heads 2 --feed-forward 16 --input odd.bin)
  expect_status(1)
  expect_error_line("orvoc: odd.bin holds 5 B; the encoder input is 32 float32 values, 128 B")

  run_orvoc(reference --sequence 4 --hidden 8 --heads 2 --feed-forward 16 --output missing/out.bin)
  expect_status(1)
  expect_error_line("orvoc: cannot write missing/out.bin: No such file or directory")

  # heads 0 is the library's to refuse.
  run_orvoc(reference --heads 0)
  expect_status(1)
  expect_error_line("orvoc: invalid encoder dimensions")

  # A summary that cannot be written is a failure, not a success.
  if(EXISTS /dev/full)
    execute_process(COMMAND ${ORVOC} compile OUTPUT_FILE /dev/full RESULT_VARIABLE status ERROR_VARIABLE err)
    expect_status(1)
    expect_error_line("orvoc: cannot write to standard output")
  endif()

  file(GLOB leftovers ${WORK_DIR}/.* ${WORK_DIR}/a_directory/*)
  expect_equal("temporary files left" "${leftovers}" "")
endfunction()

function(case_reference)
  set(small --sequence 4 --hidden 8 --heads 2 --feed-forward 16)
  run_orvoc(reference ${small} --output out.bin)
  expect_status(0)
  expect_equal("stderr" "${err}" "")
  # 107.4642333984375 with correctly rounded exp and tanh; the last digits may
  # differ with the platform's.
  expect_matches(stdout "${out}"
    "workload: encoder, sequence 4, hidden 8, heads 2, feed-forward 16\n"
    "input: +\\(i - 9\\) / 16 for i = 0\\.\\.31\n"
    "values: +32\n"
    "checksum: 107\\.464[0-9]*\n"
    "min: +-?[0-9]"
    "max: +-?[0-9]"
    "time: +[0-9]+\\.[0-9]+ ms\n")
  file(SIZE ${WORK_DIR}/out.bin size)
  expect_equal("output bytes" "${size}" "128")

  # The output is reproducible and a valid input of the same configuration.
  run_orvoc(reference ${small} --output again.bin)
  file(READ ${WORK_DIR}/out.bin first HEX)
  file(READ ${WORK_DIR}/again.bin second HEX)
  expect_equal("second output" "${second}" "${first}")
  run_orvoc(reference ${small} --input out.bin)
  expect_status(0)
  expect_matches(stdout "${out}" "input: +out\\.bin\n" "values: +32\n")
  if(out MATCHES "checksum: 107\\.464")
    fail("the input file was not used")
  endif()
endfunction()

function(case_selfcheck)
  run_orvoc(selfcheck)
  expect_status(0)
  expect_matches(stdout "${out}"
    "OK \\] tests\\.encoder_graph_compiles_deterministically"
    "OK \\] tests\\.encoder_reference_is_finite_and_repeatable"
    "OK \\] tests\\.live_allocations_do_not_overlap"
    "\\[  PASSED  \\] 3 tests")

  run_orvoc(selfcheck --gtest_filter=*overlap*)
  expect_status(0)
  expect_matches(stdout "${out}" "\\[  PASSED  \\] 1 test\\.")
endfunction()

function(case_help_version)
  run_orvoc(--version)
  expect_status(0)
  expect_equal("version" "${out}" "orvoc ${VERSION}\n")

  foreach(command "" compile reference selfcheck)
    run_orvoc(${command} --help)
    expect_status(0)
    expect_equal("stderr of ${command} --help" "${err}" "")
    if(command STREQUAL "")
      expect_matches(help "${out}" "Usage: orvoc \\[OPTIONS\\] \\[SUBCOMMAND\\]" "compile" "reference" "selfcheck")
    else()
      expect_matches(help "${out}" "Usage: orvoc ${command} \\[OPTIONS\\]" "Exit status: 0 on success")
    endif()
  endforeach()
  run_orvoc(compile --help)
  expect_matches(help "${out}" "--tiles N=64" "--data-base ADDRESS=0x52000" "--log-level LEVEL=off"
    "--memory-map FILE" "--tile N" "--report FILE" "--trace FILE")
endfunction()

function(case_log_level)
  run_orvoc(compile -q --log-level info)
  expect_status(0)
  expect_equal("stderr at info" "${err}"
    "[info] compiling graph operations=15 tensors=22 tiles=64\n\
[info] graph compilation completed phases=17 allocations=360 peak_bytes=9216\n")

  run_orvoc(compile -q --log-level debug)
  expect_matches(stderr "${err}" "\\[debug\\] planned tile SRAM peak_bytes=9216\n")

  run_orvoc(compile -q --log-level off)
  expect_equal("stderr at off" "${err}" "")
endfunction()

# ONNX models from the fixtures: import, compile and run, and what each
# refuses. FIXTURES is tests/fixtures/onnx.
function(case_models)
  set(model ${FIXTURES}/prenorm_manual/model.onnx)
  run_orvoc(import ${model} --dim sequence=8)
  expect_status(0)
  expect_equal("import" "${out}" "model:      ${model} (opset 17, pytorch 1.13.0)
inputs:
  input [2, 8, 32]
outputs:
  output [2, 8, 32]
operations: 56 (add 10, batch_matmul 2, broadcast 11, div 1, gelu 1, layer_norm 2, matmul 6, mul 2, reshape 16, \
softmax 1, transpose 4)
weights:    17 tensors, 34,180 B
fused:
  gelu (tanh) at /gelu/Mul
")

  run_orvoc(compile ${model} --dim sequence=8 --tiles 16 --json schedule.json)
  expect_status(0)
  expect_matches(summary "${out}" "^workload:     model model.onnx\ntarget:       16 tiles,"
    "\ngraph:        [0-9]+ tensors, 56 operations\n")
  file(READ ${WORK_DIR}/schedule.json json)
  expect_json("${json}" "model.onnx" options model)
  expect_json_length("${json}" 56 graph ops)

  # The outputs PyTorch computed, within the tolerance the importer tests use,
  # are checked there; here the file written is numpy's form of [2, 8, 32].
  run_orvoc(run ${model} --dim sequence=8 --input input=${FIXTURES}/prenorm_manual/input.npy --output out)
  expect_status(0)
  expect_matches(stdout "${out}" "^output \\[2, 8, 32\\]: sum [-0-9.e]+, min -[0-9.e]+, max [0-9.e]+\n$")
  file(SIZE ${WORK_DIR}/out/output.npy size)
  expect_equal("output.npy size" "${size}" "2176")

  # Usage errors (2), then models and inputs that do not fit (1).
  set(usage_cases
    "compile|${model}|--dim|sequence=8|--layers|2"
    "orvoc: the encoder options (--sequence, --hidden, --heads, --feed-forward, --layers) do not go with a model file"
    "compile|--dim|sequence=8" "orvoc: --dim: needs a model file"
    "import|${model}|--dim|sequence" "orvoc: --dim: expected NAME=N, got 'sequence'"
    "import|${model}|--dim|sequence=8|--dim|sequence=9" "orvoc: --dim: sequence is given twice"
    "import|${model}|--dim|sequence=0" "orvoc: --dim sequence: 0 is out of range (at least 1)"
    "run|${model}|--dim|sequence=8|--input|input" "orvoc: --input: expected NAME=FILE.npy, got 'input'")
  set(failure_cases
    "import|${FIXTURES}/bad/truncated.onnx"
    "orvoc: onnx: cannot parse model: 20504 bytes that are not an ONNX ModelProto"
    "import|${FIXTURES}/bad/unsupported.onnx"
    "orvoc: onnx: unsupported operators: Conv (first node /conv1/Conv), CumSum (first node /CumSum)"
    "run|${model}|--dim|sequence=8" "orvoc: no --input for input (float32 [2, 8, 32])"
    "run|${model}|--dim|sequence=4|--input|input=${FIXTURES}/prenorm_manual/input.npy"
    "orvoc: input input: expected float32 [2, 4, 32], found [2, 8, 32] in ${FIXTURES}/prenorm_manual/input.npy"
    "run|${model}|--dim|sequence=8|--input|input=${model}"
    "orvoc: input input: npy: not a .npy file (no \\x93NUMPY magic string)"
    "run|${model}|--dim|sequence=8|--input|input=${FIXTURES}/prenorm_manual/input.npy|--input|mask=m.npy"
    "orvoc: the model has no input named mask")
  foreach(status_and_list IN ITEMS "2;usage_cases" "1;failure_cases")
    list(GET status_and_list 0 expected_status)
    list(GET status_and_list 1 list_name)
    set(cases "${${list_name}}")
    list(LENGTH cases count)
    math(EXPR last "${count} - 1")
    foreach(index RANGE 0 ${last} 2)
      math(EXPR message_index "${index} + 1")
      list(GET cases ${index} arguments)
      list(GET cases ${message_index} message)
      string(REPLACE "|" ";" arguments "${arguments}")
      run_orvoc(${arguments})
      expect_status(${expected_status})
      expect_error_line("${message}")
    endforeach()
  endforeach()
endfunction()

if(NOT COMMAND case_${CASE})
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()
cmake_language(CALL case_${CASE})
