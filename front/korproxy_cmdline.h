// Command-line administration: the options that store or remove the settings and credentials, or
// name one request to replay.
//
// Owns the option table and the usage text. Writes its messages to standard output; never runs the
// replay itself (the entry does that), never writes a password to the trace, and stores nothing
// from a command line that holds a value too long for its field, or a server, port, CGI URL or
// trace file name with a control character in it.
#pragma once

#include <cstddef>
#include <cstdio>

// Scans the arguments after the program name. `request` (`requestSize` bytes) is emptied first and
// receives the text of a -request= option; `*postFlag` is set to 1 by -post, else 0.
void processOptions(int argc, char** argv, char* request, size_t requestSize, int* postFlag);

// Writes the banner and the usage text to standard output.
void printUsage();
// The same onto any stream.
void printUsageTo(FILE* out);
