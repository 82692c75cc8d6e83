# The transport against a scripted local service: requests on the wire, reply
# capture and every failing step, through a probe that sends one request.
add_executable(transport-probe ${CMAKE_CURRENT_LIST_DIR}/../tools/transport_probe.cpp)
target_link_libraries(transport-probe PRIVATE tarvolin_core)
if(WIN32)
  # The Agent-Version header reads the version resource of the running program.
  target_sources(transport-probe PRIVATE ${CMAKE_BINARY_DIR}/version.rc)
endif()
add_test(NAME transport
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_transport.py
          $<TARGET_FILE:transport-probe> ${TARVOLIN_EMULATOR})
set_tests_properties(transport PROPERTIES TIMEOUT 600)
