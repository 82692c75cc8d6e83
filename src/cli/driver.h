// One whole job, from start-up to exit code.
#pragma once

#include <cstdint>

int32_t runAgent();
