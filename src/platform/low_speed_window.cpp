// The low-speed window of every exchange (http_rules.h), alone in its file:
// only a build may change it. The tests build a second agent with a shorter
// window, so that they need not wait a minute (TARVOLIN_TEST_IDLE_SECONDS);
// that agent links its own copy of this file, compiled with its window, and
// the library's copy, which defines nothing else, is then never linked in.
#include "platform/http_rules.h"

#ifndef TARVOLIN_LOW_SPEED_WINDOW_SECONDS
#define TARVOLIN_LOW_SPEED_WINDOW_SECONDS 60
#endif

extern const long LOW_SPEED_WINDOW_SECONDS = TARVOLIN_LOW_SPEED_WINDOW_SECONDS;
