// How the process ends.
#pragma once

#include <cstdint>

// The exit status the system is given for the agent's 32-bit exit code.
// Windows passes it unchanged. POSIX keeps its low 8 bits, except that a
// non-zero code whose low 8 bits are all zero becomes 255, never success.
int processExitStatus(int32_t exitCode);
