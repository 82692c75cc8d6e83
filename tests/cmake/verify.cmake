# The -verify checks on PE files signed at test time with osslsigncode, and
# tampered with: through a probe that runs the checks without a service.
add_executable(proof-probe ${CMAKE_CURRENT_LIST_DIR}/../tools/proof_probe.cpp)
target_link_libraries(proof-probe PRIVATE tarvolin_core)
add_test(NAME verify
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_verify.py
          $<TARGET_FILE:proof-probe> ${TARVOLIN_EMULATOR})
# Debian's shim, signed by Microsoft, as setup unpacks it: the known answer.
set_tests_properties(verify PROPERTIES TIMEOUT 900
  ENVIRONMENT "TARVOLIN_SHIM_ROOT=${CMAKE_SOURCE_DIR}/.deps/shim")
# The agent with -verify against the local service, honest and misbehaving.
add_test(NAME verify-agent
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_verify_agent.py
          $<TARGET_FILE:tarvolin-agent> ${TARVOLIN_EMULATOR})
set_tests_properties(verify-agent PROPERTIES TIMEOUT 900)
