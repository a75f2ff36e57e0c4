# Installs the build into a scratch prefix and checks that every file a
# desktop needs is where freedesktop places look for it.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(expected
  bin/quorvel-ink
  share/applications/quorvel-ink.desktop
  share/icons/hicolor/scalable/apps/quorvel-ink.svg)
foreach(size 16 24 32 48 64 128 256 512)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/quorvel-ink.png)
endforeach()
foreach(path ${expected})
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
execute_process(COMMAND test -x ${PREFIX}/bin/quorvel-ink RESULT_VARIABLE notExecutable)
if(NOT notExecutable EQUAL 0)
  message(FATAL_ERROR "bin/quorvel-ink is not executable")
endif()
file(READ ${PREFIX}/share/applications/quorvel-ink.desktop entry)
if(NOT entry MATCHES "\nExec=quorvel-ink\n" OR NOT entry MATCHES "\nIcon=quorvel-ink\n")
  message(FATAL_ERROR "the menu entry does not start the installed program with its icon")
endif()
file(REMOVE_RECURSE ${PREFIX})
