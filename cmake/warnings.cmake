# Warning flags for the project's own targets, linked PRIVATE so that
# consumers of the installed library never inherit them.
add_library(orvo_warnings INTERFACE)
target_compile_options(orvo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  # Designated initialisers that leave fields at their defaults are intended.
  -Wno-missing-field-initializers
  $<$<BOOL:${ORVO_WERROR}>:-Werror>)
