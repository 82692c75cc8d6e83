// Pieces of the exchange that FormRequest::send carries out (transport.cpp)
// and that can be checked on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The agent text every request carries in its User-Agent header.
constexpr const char* AGENT_NAME = "xalutarvolin";

// The multipart boundary for a generator seeded with `seed`: 27 hyphens and
// 14 upper-case hexadecimal digits from three draws of the classic linear
// congruential generator, the last draw first.
std::string makeBoundary(uint32_t seed);

// Writes the program's own file version as "%d, %d, %d, %d" into `buffer`
// (260 bytes) and returns 1; returns 0 and leaves the buffer untouched when
// the version cannot be read.
int formatModuleVersion(char* buffer);
