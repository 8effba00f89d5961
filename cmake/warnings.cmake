# Warning flags for the project's own targets, linked PRIVATE so that
# consumers of the installed library never inherit them.
add_library(orvo_warnings INTERFACE)
target_compile_options(orvo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  # Designated initialisers that leave fields at their defaults are intended.
  -Wno-missing-field-initializers
  # GCC 12 reports std::string copies at -O3 as overlapping memcpy (a known
  # false positive of its -Wrestrict); later releases do not.
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>
  $<$<BOOL:${ORVO_WERROR}>:-Werror>)
