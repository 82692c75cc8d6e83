// Time between attempts: a clock that never goes back, and a wait on it.
#pragma once

#include <cstdint>

// Milliseconds since some fixed moment (the system's start); never goes back.
uint64_t steadyMilliseconds();
// Holds the one thread for `milliseconds`.
void pauseMilliseconds(uint64_t milliseconds);
