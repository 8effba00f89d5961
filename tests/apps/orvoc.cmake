# The tests of orvoc: the command-line cases, which run the built tool as a
# subprocess (one per section of tests/apps/orvoc_cli.cmake), the report in a
# headless browser (tests/apps/report_browser.sh), and orvoc_core linked into the
# unit-test binary for tests/apps/orvoc_core_test.cpp.
# Included from tests/CMakeLists.txt.
if(NOT TARGET orvoc)
  return()
endif()

if(TARGET orvo_compiler_tests)
  target_link_libraries(orvo_compiler_tests PRIVATE orvoc_core)
endif()

set(orvoc_cli_cases
  summary json streams pictures memory_diagnosis usage_errors file_errors reference selfcheck help_version log_level
  models)
foreach(case IN LISTS orvoc_cli_cases)
  add_test(NAME orvoc.${case}
    COMMAND ${CMAKE_COMMAND}
      -DORVOC=$<TARGET_FILE:orvoc>
      -DVERSION=${PROJECT_VERSION}
      -DCASE=${case}
      -DWORK_DIR=${PROJECT_BINARY_DIR}/orvoc_cli/${case}
      -DFIXTURES=${PROJECT_SOURCE_DIR}/tests/fixtures/onnx
      -P ${PROJECT_SOURCE_DIR}/tests/apps/orvoc_cli.cmake)
endforeach()

# The report in headless Chromium: a tile chosen in the address must show its
# map. Skipped where Chromium is not installed.
add_test(NAME orvoc.report_browser
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/apps/report_browser.sh $<TARGET_FILE:orvoc>
    ${PROJECT_BINARY_DIR}/orvoc_cli/report_browser)
set_tests_properties(orvoc.report_browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
