# OpenBLAS as the comparison point of the reference-kernel benchmark, linked
# into orvo_reference_bench only. Without it the benchmark still builds and
# measures the library's own paths, and says at configure time what is missing.
find_path(ORVO_OPENBLAS_INCLUDE_DIR NAMES openblas_config.h
  PATH_SUFFIXES openblas openblas-pthread openblas-openmp openblas-serial)
find_library(ORVO_OPENBLAS_LIBRARY NAMES openblas)

if(NOT TARGET orvo_reference_bench)
  return()
endif()
if(ORVO_OPENBLAS_INCLUDE_DIR AND ORVO_OPENBLAS_LIBRARY)
  target_include_directories(orvo_reference_bench SYSTEM PRIVATE ${ORVO_OPENBLAS_INCLUDE_DIR})
  target_link_libraries(orvo_reference_bench PRIVATE ${ORVO_OPENBLAS_LIBRARY})
  target_compile_definitions(orvo_reference_bench PRIVATE ORVO_BENCH_OPENBLAS=1)
else()
  message(WARNING "OpenBLAS not found (install libopenblas-dev): orvo_reference_bench runs without its comparison rows")
endif()
