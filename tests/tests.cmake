# Test registrations beyond the plain unit run, one file per suite under
# tests/cmake/. Each may use: tarvolin-agent and tarvolin-unit-tests (targets),
# TARVOLIN_PYTHON (interpreter for the scripted services) and
# TARVOLIN_EMULATOR (empty natively; the wine runner for Windows builds).
# Debian's interpreter first: the local service parses uploads with Debian's
# python3-multipart, which another python3 on the PATH would not see.
find_program(TARVOLIN_PYTHON NAMES python3 HINTS /usr/bin REQUIRED)
if(CMAKE_CROSSCOMPILING)
  set(TARVOLIN_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(TARVOLIN_EMULATOR "")
endif()
file(GLOB test_suites CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/cmake/*.cmake)
foreach(suite IN LISTS test_suites)
  include(${suite})
endforeach()
