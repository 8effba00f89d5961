# Writes a text file into a C++ header as one constexpr std::string_view, so
# that the library carries its style sheets and scripts without reading files:
#   cmake -DINPUT=report.css -DOUTPUT=report_css.hpp -DNAME=report_css -P embed_text.cmake
# The constant is a line break followed by the file's bytes unchanged, its
# final line break included: placed after an opening tag, the text starts on a
# line of its own.
foreach(argument INPUT OUTPUT NAME)
  if(NOT DEFINED ${argument})
    message(FATAL_ERROR "embed_text.cmake needs -D${argument}=...")
  endif()
endforeach()

file(READ "${INPUT}" text)
# The file goes into a raw string literal, which this sequence would end.
set(delimiter "orvo_embed")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds ')${delimiter}\"', which would end the embedded literal")
endif()

cmake_path(GET INPUT FILENAME source_name)
file(WRITE "${OUTPUT}" "// ${source_name}, embedded by cmake/embed_text.cmake: edit that file, not this one.
#pragma once

#include <string_view>

namespace orvo_compiler::detail {

inline constexpr std::string_view ${NAME} = R\"${delimiter}(
${text})${delimiter}\";

}  // namespace orvo_compiler::detail
")
