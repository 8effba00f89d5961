# MPFR (with GMP), the correctly rounded oracle of the exact-maths tests and of
# tools/verify_math. Only test and verification programs link it, never the
# library. orvo_link_mpfr(target) adds the include path and the libraries.
find_path(ORVO_MPFR_INCLUDE_DIR mpfr.h REQUIRED)
find_library(ORVO_MPFR_LIBRARY mpfr REQUIRED)
find_library(ORVO_GMP_LIBRARY gmp REQUIRED)

function(orvo_link_mpfr target)
  target_include_directories(${target} SYSTEM PRIVATE ${ORVO_MPFR_INCLUDE_DIR})
  target_link_libraries(${target} PRIVATE ${ORVO_MPFR_LIBRARY} ${ORVO_GMP_LIBRARY})
endfunction()
