// The character set that stands for the ANSI code page on POSIX.
#pragma once

// The locale's character set, except that plain ASCII (the C or POSIX locale,
// where many containers and CI runners leave a process) counts as UTF-8, as
// current toolchains take it: ASCII is a part of UTF-8, and names beyond it
// are far more likely UTF-8 than anything else.
const char* ansiCodeSet();
