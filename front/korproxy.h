// The program entry and its run modes.
//
// Owns `optsP`, the opening and closing of the trace file, and the choice between CGI mode and
// command-line mode. Never returns before the response (page or error page) has been written in
// CGI mode.
#pragma once

#include "settings/psopts.h"

// The one options record of the process, filled from the store at start-up and never freed.
extern OptionsRecord* optsP;

// Runs start-up and the chosen mode; the result is the process exit status.
int korproxyMain(int argc, char** argv);

// Opens the trace file for appending unless `path` is null or empty or a trace is already open,
// and writes the entry header (separator and time). A new file is readable by its owner alone. A
// file that cannot be opened leaves tracing off without a word.
void openTraceFile(const char* path);

// Closes the trace stream if one is open (standard output is only let go of, never closed); tracing
// is off afterwards.
void closeTraceFile();
