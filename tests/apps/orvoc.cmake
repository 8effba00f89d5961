# The tests of orvoc: the command-line cases, which run the built tool as a
# subprocess (tests/apps/test_orvoc_cli.py, with pytest), the report in a
# headless browser (tests/apps/report_browser.sh), and orvoc_core linked into the
# unit-test binary for tests/apps/orvoc_core_test.cpp.
# Included from tests/CMakeLists.txt.
if(NOT TARGET orvoc)
  return()
endif()

if(TARGET orvo_compiler_tests)
  target_link_libraries(orvo_compiler_tests PRIVATE orvoc_core)
endif()

# The command-line cases, in pytest: one CTest entry running
# tests/apps/test_orvoc_cli.py against the built orvoc, each test in a scratch
# directory under orvoc_cli/ in the build tree.
find_package(Python 3.9 COMPONENTS Interpreter)
if(Python_Interpreter_FOUND)
  add_test(NAME orvoc.cli
    COMMAND ${Python_EXECUTABLE} -m pytest ${PROJECT_SOURCE_DIR}/tests/apps/test_orvoc_cli.py -q -p no:cacheprovider
      --basetemp=${PROJECT_BINARY_DIR}/orvoc_cli
      --orvoc=$<TARGET_FILE:orvoc>
      --orvoc-version=${PROJECT_VERSION}
      --onnx-fixtures=${PROJECT_SOURCE_DIR}/tests/fixtures/onnx)
  set_tests_properties(orvoc.cli PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1 COST 200)
else()
  message(STATUS "orvo_compiler: Python not found, the orvoc command-line tests are skipped")
endif()

# The report in headless Chromium: a tile chosen in the address must show its
# map. Skipped where Chromium is not installed.
add_test(NAME orvoc.report_browser
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/apps/report_browser.sh $<TARGET_FILE:orvoc>
    ${PROJECT_BINARY_DIR}/orvoc_cli/report_browser)
set_tests_properties(orvoc.report_browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
