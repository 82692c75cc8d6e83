// The process environment.
#pragma once

#include <string>

// The value of the environment variable `name` in the system's ANSI code
// page; empty when it is not set.
std::string environmentVariable(const char* name);
// Removes `name` from the environment that programs the agent starts
// inherit.
void clearEnvironmentVariable(const char* name);
