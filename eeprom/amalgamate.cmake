# Writes one C++ source from several: each part in order, without its local
# includes, its include guard and the stretches its author fenced off for the
# single-source build.
#
#   cmake -DOUT=<file> -DROOT=<source dir> -DPARTS=<a|b|c> -P amalgamate.cmake
cmake_minimum_required(VERSION 3.16)

set(begin_mark "// -- single-source build: leave out begin --")
set(end_mark "// -- single-source build: leave out end --")

string(REPLACE "|" ";" parts "${PARTS}")
set(result "// Generated at build time from the 1-Wire library and the search demo's\n")
string(APPEND result "// main; edit those sources, not this file.\n")

foreach(part IN LISTS parts)
  file(READ "${part}" text)
  file(RELATIVE_PATH name "${ROOT}" "${part}")

  # Cut every fenced stretch, markers included, up to the end of the end line.
  while(TRUE)
    string(FIND "${text}" "${begin_mark}" b)
    if(b EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${text}" ${b} -1 tail)
    string(FIND "${tail}" "${end_mark}" e)
    if(e EQUAL -1)
      message(FATAL_ERROR "${name}: '${begin_mark}' without '${end_mark}'")
    endif()
    string(LENGTH "${end_mark}" mark_len)
    math(EXPR after "${e} + ${mark_len}")
    string(SUBSTRING "${tail}" ${after} -1 rest)
    string(FIND "${rest}" "\n" eol)
    if(eol EQUAL -1)
      set(rest "")
    else()
      math(EXPR eol "${eol} + 1")
      string(SUBSTRING "${rest}" ${eol} -1 rest)
    endif()
    string(SUBSTRING "${text}" 0 ${b} head)
    set(text "${head}${rest}")
  endwhile()
  string(FIND "${text}" "${end_mark}" stray)
  if(NOT stray EQUAL -1)
    message(FATAL_ERROR "${name}: '${end_mark}' without '${begin_mark}'")
  endif()

  string(REGEX REPLACE "(^|\n)[ \t]*#[ \t]*include[ \t]*\"[^\"\n]*\"[^\n]*" "\\1" text "${text}")
  string(REGEX REPLACE "(^|\n)[ \t]*#[ \t]*pragma[ \t]+once[^\n]*" "\\1" text "${text}")

  string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
  string(APPEND result "\n// ---- ${name} ----\n\n${text}")
endforeach()

# Only touch the output when it changes, so an unrelated edit rebuilds nothing.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL result)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${result}")
