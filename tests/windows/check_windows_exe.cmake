# Checks that shipped executables are Windows console programs of the
# expected kind and carry their own runtime: every DLL they import is part of
# Windows itself (cmake -P, on the build host).
# Defines:
#   FILES    a ;-list of paths
#   KIND     a regular expression that `file -b` must match at its start
#   OBJDUMP  the target's objdump, which lists the imported DLLs
cmake_minimum_required(VERSION 3.25)
find_program(FILE_PROGRAM file REQUIRED)
# DLLs that every Windows installation has. Anything else (libstdc++-6.dll,
# libgcc_s_*.dll, libwinpthread-1.dll, a SQLite DLL) would have to be shipped
# beside the program, and the build links all of that in statically.
set(system_dlls advapi32.dll bcrypt.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll
    shell32.dll user32.dll ws2_32.dll)
foreach(path IN LISTS FILES)
  execute_process(COMMAND ${FILE_PROGRAM} -b ${path} OUTPUT_VARIABLE kind
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT kind MATCHES "^${KIND}")
    message(FATAL_ERROR "${path}: ${kind} (expected ${KIND})")
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${path} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${path}: ${OBJDUMP} -p failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
  if(NOT imports)
    message(FATAL_ERROR "${path}: no imported DLL found in the headers")
  endif()
  set(names)
  foreach(entry IN LISTS imports)
    string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST system_dlls)
      message(FATAL_ERROR "${path} imports ${dll}, which is not part of Windows")
    endif()
    list(APPEND names ${dll})
  endforeach()
  list(JOIN names ", " names)
  message(STATUS "${path}: ${kind}; imports ${names}")
endforeach()
