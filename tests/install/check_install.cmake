# Installs the build BUILD into a fresh PREFIX and checks that everything a
# user needs arrived: both programs, both manual pages with the version
# filled in, and the completion; and that the page and the completion name
# every command vddb has.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
include(GNUInstallDirs)
foreach(file ${CMAKE_INSTALL_BINDIR}/vddb ${CMAKE_INSTALL_BINDIR}/vddb-repair
             ${CMAKE_INSTALL_MANDIR}/man1/vddb.1 ${CMAKE_INSTALL_MANDIR}/man1/vddb-repair.1
             ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/vddb)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(READ ${PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/vddb.1 page)
if(page MATCHES "@PROJECT_VERSION@" OR NOT page MATCHES "vddb ${VERSION}")
  message(FATAL_ERROR "vddb.1 does not carry the version ${VERSION}")
endif()
file(READ ${PREFIX}/${CMAKE_INSTALL_DATADIR}/bash-completion/completions/vddb completion)
execute_process(COMMAND ${PREFIX}/${CMAKE_INSTALL_BINDIR}/vddb --help OUTPUT_VARIABLE help)
string(REGEX MATCHALL "\n  [a-z]+ " commands "${help}")
list(LENGTH commands count)
if(count LESS 6)
  message(FATAL_ERROR "vddb --help lists ${count} commands:\n${help}")
endif()
foreach(command ${commands})
  string(STRIP "${command}" command)
  if(NOT page MATCHES "\\.B vddb ${command}" OR NOT completion MATCHES "\n    ${command}\\)")
    message(FATAL_ERROR "the manual page or the completion lacks the command ${command}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
