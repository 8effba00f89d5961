# Runs a self-check runner with one failing check and requires a failure exit
# status, the failure's message, and the other two checks run and passed.
execute_process(COMMAND ${RUNNER} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(status EQUAL 0)
  message(FATAL_ERROR "runner exited 0 although a check failed:\n${out}")
endif()
foreach(expected "checksum=107\\.46" "\\[  PASSED  \\] 2 tests" "\\[  FAILED  \\] 1 test"
                 "FAILED  \\] tests\\.encoder_reference_is_finite_and_repeatable")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "runner output lacks '${expected}':\n${out}")
  endif()
endforeach()
