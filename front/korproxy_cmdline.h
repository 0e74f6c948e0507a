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
#include <string>

// What a command line asks of the entry besides a replay: a connection check (-check, or
// -check=host:port for another server than the default one), with the shared logon pair or, with
// -webUser=NAME, that web user's.
struct ConsoleChoice {
    bool check = false;
    std::string checkServer;
    std::string webUser;
};

// Scans the arguments after the program name. `request` (`requestSize` bytes) is emptied first and
// receives the text of a -request= option; `*postFlag` is set to 1 by -post, else 0; `choice` (when
// given) receives a -check. Every change stored is named in the audit record (common/audit.h).
void processOptions(int argc, char** argv, char* request, size_t requestSize, int* postFlag,
                    ConsoleChoice* choice = nullptr);

// Writes the banner and the usage text to standard output.
void printUsage();
// The same onto any stream.
void printUsageTo(FILE* out);
