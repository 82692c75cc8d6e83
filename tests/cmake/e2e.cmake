# The whole agent, run as a user runs it, against the scripted service.
add_test(NAME e2e
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_agent.py
          $<TARGET_FILE:tarvolin-agent> ${TARVOLIN_EMULATOR})
set_tests_properties(e2e PROPERTIES
  ENVIRONMENT "TARVOLIN_SERVICE_HOST=${TARVOLIN_SERVICE_HOST}"
  TIMEOUT 1800)
