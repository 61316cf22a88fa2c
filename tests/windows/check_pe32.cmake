# Checks that the shipped executables are 32-bit Windows console programs
# (cmake -P, on the build host). Defines: FILES (a ;-list of paths).
find_program(FILE_PROGRAM file REQUIRED)
foreach(path IN LISTS FILES)
  execute_process(COMMAND ${FILE_PROGRAM} -b ${path} OUTPUT_VARIABLE kind
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT kind MATCHES "^PE32 executable \\(console\\) Intel 80386")
    message(FATAL_ERROR "${path}: ${kind}")
  endif()
  message(STATUS "${path}: ${kind}")
endforeach()
