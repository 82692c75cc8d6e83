# The local signing service, on the wire and through the real agent: natively
# on Linux, under wine for the Windows builds. The agent reaches the service
# through its proxy setting, or over HTTPS through TARVOLIN_SERVICE_URL, so no
# fixed port is needed.
if(CMAKE_CROSSCOMPILING)
  set(local_service_test local-service-wine)
else()
  set(local_service_test local-service)
endif()
add_test(NAME ${local_service_test}
  COMMAND ${TARVOLIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/test_local_service.py
          $<TARGET_FILE:tarvolin-agent> ${TARVOLIN_EMULATOR})
set_tests_properties(${local_service_test} PROPERTIES TIMEOUT 600)
