// The entry points every fuzz target defines. Built with -fsanitize=fuzzer
// they are driven by libFuzzer; built with replay_main.cpp they run the
// stored corpus files once each, so that every compiler's ordinary test run
// replays the inputs that once broke something.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Ends the process with a message naming the broken invariant, in a way that
// libFuzzer records as a crash with its input.
[[noreturn]] void invariantBroken(const char* what);

#define FUZZ_CHECK(condition)                                    \
  do {                                                           \
    if (!(condition)) invariantBroken(__FILE__ ": " #condition); \
  } while (0)
