# The agent under hostile networks, disks and inputs: refused and broken
# connections, stalls, garbage and oversized replies, redirect loops, output
# that cannot be written, a full disk, inputs that change under the agent.
add_test(NAME faults
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_faults.py
          $<TARGET_FILE:tarvolin-agent> ${TARVOLIN_EMULATOR})
set_tests_properties(faults PROPERTIES
  ENVIRONMENT "TARVOLIN_SERVICE_HOST=${TARVOLIN_SERVICE_HOST}"
  TIMEOUT 1800)
