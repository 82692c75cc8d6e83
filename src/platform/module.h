// Facts about the running program and the machine it runs on.
#pragma once

#include <cstdint>
#include <string>

// Full path of the program's own executable file (at most 260 bytes on
// Windows); empty when the system cannot tell.
std::string moduleFilePath();
// The fixed file version of the file at `path`: 1 with both words set, or 0
// with the system's last error saying why.
int readFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant);
// The same for the program's own file.
int readModuleVersion(uint32_t* mostSignificant, uint32_t* leastSignificant);
// The language identifier of the system's default language (a Windows LANGID).
uint16_t systemDefaultLanguageId();
