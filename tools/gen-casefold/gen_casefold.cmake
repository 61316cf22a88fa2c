# Writes the six case-folding tables of the case-insensitive comparison from
# the Unicode data file CaseFolding.txt.
#
#   cmake -DCASE_FOLDING=/usr/share/unicode/CaseFolding.txt \
#         -DOUTPUT=src/repair/text/case_folding_tables.h \
#         -P tools/gen-casefold/gen_casefold.cmake
#
# With -DCHECK=<header> instead of -DOUTPUT it writes nothing and fails when
# that header differs from what it would write (the drift test).
#
# Full case folding: statuses C and F; the Turkic status T and the simple
# foldings S are left out. A code point without a folding maps to itself.
# Each range becomes an array of fixed-width entries padded with zero units;
# the width is the longest folding in the range. The script is plain CMake so
# that every build host (the Windows cross build included) can run it.
#
# The script refuses data the comparison cannot use: a folding outside the
# 16-bit range, a zero unit, more than three units, or a folding whose units
# would themselves fold again (the comparison relies on folding being stable).

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED CASE_FOLDING OR (NOT DEFINED OUTPUT AND NOT DEFINED CHECK))
  message(FATAL_ERROR "usage: cmake -DCASE_FOLDING=<CaseFolding.txt> "
                      "(-DOUTPUT=<header> | -DCHECK=<header>) -P gen_casefold.cmake")
endif()
if(NOT EXISTS "${CASE_FOLDING}")
  message(FATAL_ERROR "case folding data not found: ${CASE_FOLDING}")
endif()

# name:first:last, in ascending order. The comparison dispatches on them in
# this order.
set(ranges
  "Latin:0041:0232"
  "LatinExtendedAdditional:1E00:1E9B"
  "RomanNumerals:2160:216F"
  "CircledLatin:24B6:24CF"
  "Ligatures:FB00:FB06"
  "FullwidthLatin:FF21:FF3A")

# At least four upper-case hexadecimal digits of a number.
function(hex4 value out)
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 hex)
  string(TOUPPER "${hex}" hex)
  string(LENGTH "${hex}" n)
  while(n LESS 4)
    string(PREPEND hex "0")
    math(EXPR n "${n} + 1")
  endwhile()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

file(STRINGS "${CASE_FOLDING}" version_line LIMIT_COUNT 1)
string(REGEX REPLACE "^# *" "" data_version "${version_line}")

file(STRINGS "${CASE_FOLDING}" lines REGEX "^[0-9A-Fa-f]+; [CF];")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9A-Fa-f]+); ([CF]); ([0-9A-Fa-f ]+);")
    message(FATAL_ERROR "unreadable line in ${CASE_FOLDING}: ${line}")
  endif()
  math(EXPR cp "0x${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_3}" units)
  string(REPLACE " " ";" units "${units}")
  set(folding "")
  foreach(unit IN LISTS units)
    math(EXPR u "0x${unit}")
    list(APPEND folding "${u}")
  endforeach()
  set(fold_${cp} "${folding}")
endforeach()

# The folding of one code unit as a list of numbers (itself when it has none).
function(folding_of cp out)
  if(DEFINED fold_${cp})
    set(${out} "${fold_${cp}}" PARENT_SCOPE)
  else()
    set(${out} "${cp}" PARENT_SCOPE)
  endif()
endfunction()

# Whether a unit lies in one of the ranges.
function(in_ranges unit out)
  foreach(range IN LISTS ranges)
    string(REPLACE ":" ";" range "${range}")
    list(GET range 1 first_hex)
    list(GET range 2 last_hex)
    if(unit GREATER_EQUAL "0x${first_hex}" AND unit LESS_EQUAL "0x${last_hex}")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

set(body "")
set(total 0)
set(changed 0)
set(multi "")
foreach(range IN LISTS ranges)
  string(REPLACE ":" ";" range "${range}")
  list(GET range 0 name)
  list(GET range 1 first_hex)
  list(GET range 2 last_hex)
  math(EXPR first "0x${first_hex}")
  math(EXPR last "0x${last_hex}")
  math(EXPR count "${last} - ${first} + 1")

  set(width 1)
  foreach(cp RANGE ${first} ${last})
    folding_of(${cp} folding)
    list(LENGTH folding n)
    if(n GREATER width)
      set(width ${n})
    endif()
    if(n GREATER 3)
      hex4(${cp} cp_hex)
      message(FATAL_ERROR "U+${cp_hex} folds to more than three units")
    endif()
    foreach(u IN LISTS folding)
      if(u EQUAL 0 OR u GREATER 0xFFFF)
        hex4(${cp} cp_hex)
        message(FATAL_ERROR "U+${cp_hex}: folding unit ${u} is not a nonzero 16-bit unit")
      endif()
      # Outside the ranges every unit folds to itself.
      in_ranges(${u} inside)
      if(inside)
        folding_of(${u} again)
      else()
        set(again "${u}")
      endif()
      if(NOT again STREQUAL "${u}")
        hex4(${cp} cp_hex)
        message(FATAL_ERROR "U+${cp_hex}: folding is not stable")
      endif()
    endforeach()
  endforeach()

  string(APPEND body
    "// U+${first_hex} to U+${last_hex}: ${count} entries of ${width} unit(s).\n"
    "inline constexpr char16_t k${name}First = 0x${first_hex};\n"
    "inline constexpr char16_t k${name}Last = 0x${last_hex};\n"
    "inline constexpr char16_t k${name}[${count}][${width}] = {\n")
  foreach(cp RANGE ${first} ${last})
    folding_of(${cp} folding)
    list(LENGTH folding n)
    math(EXPR total "${total} + 1")
    if(NOT folding STREQUAL "${cp}")
      math(EXPR changed "${changed} + 1")
    endif()
    set(cells "")
    foreach(u IN LISTS folding)
      hex4(${u} u_hex)
      list(APPEND cells "0x${u_hex}")
    endforeach()
    while(n LESS width)
      list(APPEND cells "0x0000")
      math(EXPR n "${n} + 1")
    endwhile()
    list(JOIN cells ", " cells)
    hex4(${cp} cp_hex)
    list(LENGTH folding n)
    if(n GREATER 1)
      list(APPEND multi "U+${cp_hex}")
    endif()
    string(APPEND body "    {${cells}},  // U+${cp_hex}\n")
  endforeach()
  string(APPEND body "};\n\n")
endforeach()

list(LENGTH multi multi_count)
# Eight code points to a comment line.
set(multi_lines "")
set(line "")
set(on_line 0)
foreach(cp IN LISTS multi)
  string(APPEND line " ${cp}")
  math(EXPR on_line "${on_line} + 1")
  if(on_line EQUAL 8)
    string(APPEND multi_lines "//  ${line}\n")
    set(line "")
    set(on_line 0)
  endif()
endforeach()
if(NOT line STREQUAL "")
  string(APPEND multi_lines "//  ${line}\n")
endif()

set(text "// Generated by tools/gen-casefold/gen_casefold.cmake from ${data_version}.
// Do not edit: regenerate (see docs/case-folding.md); a test compares this
// file with a fresh run on the installed data.
//
// Full case folding (statuses C and F, not T) of six ranges of code units.
// Entry i of a table is the folding of (first + i), padded with zero units;
// a code unit without a folding maps to itself. ${total} entries, ${changed} of
// which differ from their code unit; ${multi_count} fold to more than one unit:
${multi_lines}#pragma once

// clang-format off
namespace vddb::text::folding {

inline constexpr unsigned kEntryCount = ${total};
inline constexpr unsigned kChangedEntryCount = ${changed};

${body}}  // namespace vddb::text::folding
// clang-format on
")

if(DEFINED CHECK)
  if(NOT EXISTS "${CHECK}")
    message(FATAL_ERROR "${CHECK} does not exist")
  endif()
  file(READ "${CHECK}" checked_in)
  if(NOT checked_in STREQUAL text)
    message(FATAL_ERROR "${CHECK} differs from the tables generated from ${CASE_FOLDING}; "
                        "regenerate it with -DOUTPUT=${CHECK} (see docs/case-folding.md)")
  endif()
  message(STATUS "${CHECK} matches ${data_version}")
else()
  file(WRITE "${OUTPUT}" "${text}")
endif()
