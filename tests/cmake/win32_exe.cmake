# The shipped Windows program: a 32-bit console .exe that needs no extra DLL.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME win32-exe-format
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-win32-exe.sh $<TARGET_FILE:tarvolin-agent>)
  # Runs natively, not under wine.
  set_tests_properties(win32-exe-format PROPERTIES LABELS "no-emulator")
endif()
