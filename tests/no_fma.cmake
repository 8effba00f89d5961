# Guards the bit-exact reference path against fused multiply-add: compiles
# each source that holds its float arithmetic to optimised x86-64-v3 assembly
# with the library's own flags and fails when any FMA instruction appears.
#
# Included from tests/CMakeLists.txt it registers one test per source, so that
# CTest runs them side by side; run with `cmake -P` (as each test does) it
# checks the source given as SOURCE.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    return()
  endif()
  string(TOUPPER "${CMAKE_BUILD_TYPE}" no_fma_config)
  separate_arguments(no_fma_flags UNIX_COMMAND
    "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${no_fma_config}} ${CMAKE_CXX23_STANDARD_COMPILE_OPTION}")
  # Sanitizer instrumentation has no bearing on contraction and makes the
  # optimised compile several times slower.
  list(FILTER no_fma_flags EXCLUDE REGEX "^-fsanitize")
  set(no_fma_work_dir ${CMAKE_CURRENT_BINARY_DIR}/no_fma)
  # Every kernel source (each instruction-set path has its own), the
  # exact maths they call, and the evaluators and weights built on them.
  set(no_fma_kernel_sources ${orvo_kernels_sources})
  list(FILTER no_fma_kernel_sources INCLUDE REGEX "^src/kernels/kernels[^/]*\\.cpp$")
  list(TRANSFORM no_fma_kernel_sources PREPEND ${PROJECT_SOURCE_DIR}/)
  list(APPEND no_fma_kernel_sources ${PROJECT_SOURCE_DIR}/src/kernels/exact_math.cpp
    ${PROJECT_SOURCE_DIR}/src/workload/encoder_reference.cpp ${PROJECT_SOURCE_DIR}/src/workload/encoder_weights.cpp
    ${PROJECT_SOURCE_DIR}/src/evaluate/evaluate.cpp)
  file(GENERATE OUTPUT ${no_fma_work_dir}/settings.cmake CONTENT
"set(compiler [==[${CMAKE_CXX_COMPILER}]==])
set(flags [==[${no_fma_flags};$<TARGET_PROPERTY:orvo_compiler,COMPILE_OPTIONS>]==])
set(include_dirs [==[$<TARGET_PROPERTY:orvo_compiler,INCLUDE_DIRECTORIES>;$<TARGET_PROPERTY:fmt::fmt,INTERFACE_INCLUDE_DIRECTORIES>]==])
set(definitions [==[$<TARGET_PROPERTY:orvo_compiler,COMPILE_DEFINITIONS>;$<TARGET_PROPERTY:fmt::fmt,INTERFACE_COMPILE_DEFINITIONS>]==])
set(implicit_include_dirs [==[${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}]==])
set(work_dir [==[${no_fma_work_dir}]==])
")
  foreach(source IN LISTS no_fma_kernel_sources)
    get_filename_component(name ${source} NAME_WE)
    add_test(NAME reference_path.no_fma.${name}
      COMMAND ${CMAKE_COMMAND} -DSETTINGS=${no_fma_work_dir}/settings.cmake -DSOURCE=${source}
              -P ${CMAKE_CURRENT_LIST_FILE})
  endforeach()
  return()
endif()

cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})

set(command_flags ${flags})
list(REMOVE_DUPLICATES include_dirs)
foreach(dir IN LISTS include_dirs)
  # The compiler's own directories stay where it searches them by default.
  if(dir AND NOT dir IN_LIST implicit_include_dirs)
    list(APPEND command_flags -I${dir})
  endif()
endforeach()
list(REMOVE_DUPLICATES definitions)
foreach(definition IN LISTS definitions)
  if(definition)
    list(APPEND command_flags -D${definition})
  endif()
endforeach()
# Contraction happens in the optimiser, so the check always optimises; the
# target level offers FMA, so only -ffp-contract=off keeps it out.
list(APPEND command_flags -O2 -march=x86-64-v3)

set(fma_pattern "vfn?m(add|sub)[0-9a-z]*")

# Compiles `source` to `assembly`, stopping the check when the compiler fails.
function(compile_to_assembly source assembly)
  execute_process(COMMAND ${compiler} ${command_flags} ${ARGN} -S -o ${assembly} ${source}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "compiling ${source} to assembly failed (${status}):\n${output}")
  endif()
endfunction()

get_filename_component(name ${SOURCE} NAME_WE)
set(work_dir ${work_dir}/${name})
file(MAKE_DIRECTORY ${work_dir})

# Control: the same flags with contraction allowed must produce an FMA, or the
# search below would prove nothing.
set(control ${work_dir}/control.cpp)
file(WRITE ${control} "float multiply_add(float a, float b, float c) { return a * b + c; }\n")
compile_to_assembly(${control} ${work_dir}/control.s -ffp-contract=fast)
file(READ ${work_dir}/control.s control_assembly)
if(NOT control_assembly MATCHES "${fma_pattern}")
  message(FATAL_ERROR "control multiply-add compiled without an FMA instruction; the check is not effective")
endif()

set(assembly ${work_dir}/${name}.s)
compile_to_assembly(${SOURCE} ${assembly})
file(STRINGS ${assembly} fma_lines REGEX "^[ \t]+${fma_pattern}")
if(fma_lines)
  list(JOIN fma_lines "\n" listing)
  message(FATAL_ERROR "${SOURCE} contains fused multiply-add instructions:\n${listing}")
endif()
message(STATUS "${name}: no fused multiply-add")
