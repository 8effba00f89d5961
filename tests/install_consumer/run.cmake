# Installs the build tree into a scratch prefix, then configures, builds and
# runs a consumer project that finds it with find_package(CONFIG).
# COMPONENTS comes comma-separated (a test command splits at semicolons).
string(REPLACE "," ";" COMPONENTS "${COMPONENTS}")
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "install failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DORVO_COMPONENTS=${COMPONENTS}"
  RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "consumer configure failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "consumer build failed: ${status}")
endif()
# The core program, then one for each optional component the build installed.
set(programs consumer)
foreach(component IN LISTS COMPONENTS)
  list(APPEND programs consumer_${component})
endforeach()
foreach(program IN LISTS programs)
  execute_process(COMMAND ${WORK_DIR}/build/${program} RESULT_VARIABLE status)
  if(status)
    message(FATAL_ERROR "${program} run failed: ${status}")
  endif()
endforeach()
