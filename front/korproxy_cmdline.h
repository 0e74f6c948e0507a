// Command-line administration: the options that store or remove the settings and credentials, or
// name one request to replay.
//
// Owns the option table and the usage text. Writes its messages to standard output; never runs the
// replay itself (the entry does that).
#pragma once

#include <cstddef>

// Scans the arguments after the program name. `request` (`requestSize` bytes) is emptied first and
// receives the text of a -request= option; `*postFlag` is set to 1 by -post, else 0.
void processOptions(int argc, char** argv, char* request, size_t requestSize, int* postFlag);
