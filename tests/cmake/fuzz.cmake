# Fuzz targets. Natively, each target is also built with a small driver that
# replays its stored corpus (tests/fuzz/corpus/<target>/) once, so every test
# run feeds the inputs that once broke something through the code again.
# With TARVOLIN_FUZZ=ON and clang (the `fuzz` preset), each target is built
# as a libFuzzer program fuzz-<target> for scripts/run-fuzzers.sh.

set(fuzz_dir ${CMAKE_SOURCE_DIR}/tests/fuzz)
set(fuzz_targets reply reply_head command_line url multipart_length cert_table zip_result)
# The reply target parses on a thread of its own with a small stack.
find_package(Threads REQUIRED)

if(NOT CMAKE_CROSSCOMPILING)
  foreach(target IN LISTS fuzz_targets)
    add_executable(fuzz-replay-${target} ${fuzz_dir}/${target}_fuzzer.cpp
                   ${fuzz_dir}/fuzz_support.cpp ${fuzz_dir}/replay_main.cpp)
    target_link_libraries(fuzz-replay-${target} PRIVATE tarvolin_core Threads::Threads)
    add_test(NAME fuzz-replay-${target}
             COMMAND fuzz-replay-${target} ${fuzz_dir}/corpus/${target})
    set_tests_properties(fuzz-replay-${target} PROPERTIES LABELS fuzz-replay TIMEOUT 120)
  endforeach()
  # No trail byte of a double-byte character may make an argument an option.
  add_test(NAME fuzz-replay-command_line-sjis
           COMMAND fuzz-replay-command_line ${fuzz_dir}/corpus/command_line)
  set_tests_properties(fuzz-replay-command_line-sjis PROPERTIES
    LABELS fuzz-replay TIMEOUT 120 ENVIRONMENT "LC_ALL=ja_JP.SJIS")
endif()

if(TARVOLIN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARVOLIN_FUZZ needs clang (libFuzzer); use the fuzz preset")
  endif()
  # The code under test, TinyXML included, is instrumented for coverage and
  # checked by the sanitizers; only the fuzz programs bring libFuzzer's main.
  # A new depth of the stack counts as new ground, so that inputs that make
  # the parser descend further are kept and grown.
  set(fuzz_instrumentation -fsanitize=address,undefined,fuzzer-no-link
      -fsanitize-coverage=stack-depth -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(tarvolin_core PRIVATE ${fuzz_instrumentation})
  target_compile_options(tinyxml PRIVATE ${fuzz_instrumentation})
  target_link_options(tarvolin_core INTERFACE -fsanitize=address,undefined)
  foreach(target IN LISTS fuzz_targets)
    add_executable(fuzz-${target} ${fuzz_dir}/${target}_fuzzer.cpp ${fuzz_dir}/fuzz_support.cpp)
    target_compile_options(fuzz-${target} PRIVATE ${fuzz_instrumentation})
    target_link_libraries(fuzz-${target} PRIVATE tarvolin_core Threads::Threads)
    target_link_options(fuzz-${target} PRIVATE -fsanitize=address,undefined,fuzzer)
  endforeach()
endif()
