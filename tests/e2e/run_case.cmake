# Runs one end-to-end case (cmake -P). Defines on the command line:
#   VDDB, VDDB_REPAIR  the two executables
#   CASE_DIR           the case directory (see README.md for its files)
#   WORK_DIR           scratch directory, emptied first; left behind for a look
#
# Loads input.json into a store file with `vddb load`, previews the repair
# with `vddb check` (its report compared with expected-report.txt, its exit
# status 0 when the summary counts no problem and 4 otherwise, and the store
# file left byte for byte), runs vddb-repair on it
# with VARKEL_DDB_PATH and VARKEL_REGISTRY_FILE set, and compares its standard
# output byte for byte, its exit status, and `vddb dump` of the store with the
# expected files. Then repairs the repaired store a second time: that run
# must leave the dump exactly as the first one left it.

foreach(variable VDDB VDDB_REPAIR CASE_DIR WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_case.cmake: -D${variable}=... is missing")
  endif()
endforeach()

foreach(required input.json expected-output.txt expected-exit-code expected-dump.json
                 expected-report.txt)
  if(NOT EXISTS ${CASE_DIR}/${required})
    message(FATAL_ERROR "${CASE_DIR}: ${required} is missing")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(store ${WORK_DIR}/store.sqlite)

# Without a registry file of its own a case gets an installed Strenda, so the
# output has no version warning.
if(EXISTS ${CASE_DIR}/registry.reg)
  set(registry ${CASE_DIR}/registry.reg)
else()
  set(registry ${WORK_DIR}/registry.reg)
  file(WRITE ${registry}
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\n"
    "\"versionMajor\"=\"3\"\n"
    "\"versionMinor\"=\"1\"\n"
    "\"versionUpdate\"=\"0\"\n")
endif()

set(failures 0)

# Compares two files byte for byte; on a difference shows a unified diff
# when `diff` is at hand.
function(expect_same_file expected actual what)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${expected} ${actual}
                  RESULT_VARIABLE different)
  if(different)
    set(details "")
    find_program(DIFF_PROGRAM diff)
    if(DIFF_PROGRAM)
      execute_process(COMMAND ${DIFF_PROGRAM} -u ${expected} ${actual} OUTPUT_VARIABLE details)
    endif()
    # The diff goes out unformatted; error messages get re-indented.
    message(NOTICE "${details}")
    message(SEND_ERROR "${what}: ${actual} differs from ${expected}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
  endif()
endfunction()

# The first existing file of the list.
function(first_existing out)
  foreach(candidate IN LISTS ARGN)
    if(EXISTS ${candidate})
      set(${out} ${candidate} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

execute_process(COMMAND ${VDDB} load ${CASE_DIR}/input.json ${store}
                RESULT_VARIABLE loaded ERROR_VARIABLE load_error)
if(NOT loaded EQUAL 0)
  message(FATAL_ERROR "vddb load ${CASE_DIR}/input.json failed (${loaded}): ${load_error}")
endif()

file(SHA256 ${store} before_check)
execute_process(COMMAND ${VDDB} check ${store}
                OUTPUT_FILE ${WORK_DIR}/report.txt ERROR_VARIABLE check_error
                RESULT_VARIABLE check_code)
file(SHA256 ${store} after_check)
if(NOT before_check STREQUAL after_check)
  message(SEND_ERROR "vddb check changed the store file")
  math(EXPR failures "${failures} + 1")
endif()
expect_same_file(${CASE_DIR}/expected-report.txt ${WORK_DIR}/report.txt "vddb check: report")
file(STRINGS ${CASE_DIR}/expected-report.txt clean REGEX "^Summary: 0 problems$")
if(clean)
  set(expected_check_code 0)
else()
  set(expected_check_code 4)
endif()
if(NOT "${check_code}" STREQUAL "${expected_check_code}")
  message(SEND_ERROR "vddb check: exit status ${check_code}, expected ${expected_check_code}: ${check_error}")
  math(EXPR failures "${failures} + 1")
endif()

set(ENV{VARKEL_DDB_PATH} ${store})
set(ENV{VARKEL_REGISTRY_FILE} ${registry})

foreach(run 1 2)
  if(run EQUAL 1)
    set(suffix "")
  else()
    set(suffix "-2")
  endif()
  first_existing(expected_output ${CASE_DIR}/expected-output${suffix}.txt
                 ${CASE_DIR}/expected-output.txt)
  first_existing(expected_code_file ${CASE_DIR}/expected-exit-code${suffix}
                 ${CASE_DIR}/expected-exit-code)

  execute_process(COMMAND ${VDDB_REPAIR}
                  OUTPUT_FILE ${WORK_DIR}/output-${run}.txt
                  ERROR_FILE ${WORK_DIR}/error-${run}.txt
                  RESULT_VARIABLE code)
  expect_same_file(${expected_output} ${WORK_DIR}/output-${run}.txt "run ${run}: standard output")

  file(READ ${expected_code_file} expected_code)
  string(STRIP "${expected_code}" expected_code)
  if(NOT "${code}" STREQUAL "${expected_code}")
    message(SEND_ERROR "run ${run}: exit status ${code}, expected ${expected_code}")
    math(EXPR failures "${failures} + 1")
  endif()

  execute_process(COMMAND ${VDDB} dump ${store}
                  OUTPUT_FILE ${WORK_DIR}/dump-${run}.json
                  RESULT_VARIABLE dumped ERROR_VARIABLE dump_error)
  if(NOT dumped EQUAL 0)
    message(FATAL_ERROR "run ${run}: vddb dump failed (${dumped}): ${dump_error}")
  endif()
  # After the second run this says that it changed nothing further.
  expect_same_file(${CASE_DIR}/expected-dump.json ${WORK_DIR}/dump-${run}.json
                   "run ${run}: store after the repair")
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed; the files are in ${WORK_DIR}")
endif()
