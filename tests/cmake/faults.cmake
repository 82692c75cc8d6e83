# For the stall and trickle cases: the agent built to give up once less than
# 1 KiB has moved in this many seconds instead of a minute. Test builds only;
# the shipped tarvolin-agent always allows a minute.
set(TARVOLIN_TEST_IDLE_SECONDS 5 CACHE STRING
    "Low-speed window of the test-only agent tarvolin-agent-short-idle, in seconds")
add_executable(tarvolin-agent-short-idle ${agent_sources}
               ${CMAKE_SOURCE_DIR}/src/platform/low_speed_window.cpp)
target_compile_definitions(tarvolin-agent-short-idle PRIVATE
  TARVOLIN_LOW_SPEED_WINDOW_SECONDS=${TARVOLIN_TEST_IDLE_SECONDS})
target_link_libraries(tarvolin-agent-short-idle PRIVATE tarvolin_core)
# The agent under hostile networks, disks and inputs: refused and broken
# connections, stalls, garbage and oversized replies, redirect loops, output
# that cannot be written, a full disk, inputs that change under the agent.
add_test(NAME faults
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_faults.py
          $<TARGET_FILE:tarvolin-agent> ${TARVOLIN_EMULATOR})
set_tests_properties(faults PROPERTIES
  ENVIRONMENT "TARVOLIN_SERVICE_HOST=${TARVOLIN_SERVICE_HOST};TARVOLIN_SHORT_IDLE_AGENT=$<TARGET_FILE:tarvolin-agent-short-idle>;TARVOLIN_SHORT_IDLE_SECONDS=${TARVOLIN_TEST_IDLE_SECONDS}"
  TIMEOUT 1800)
