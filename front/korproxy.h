// The program entry and its run modes.
//
// Owns `optsP`, the opening and closing of the trace file, the choice between CGI mode and
// command-line mode, and what a long-lived process keeps from one request to the next. Never
// returns before the response (page or error page) has been written in CGI mode.
#pragma once

#include "settings/psopts.h"

// The one options record of the process, filled from the store at start-up (in a process that
// serves many requests: afresh for each) and never freed.
extern OptionsRecord* optsP;

// Runs start-up and the chosen mode; the result is the process exit status.
int korproxyMain(int argc, char** argv);

// Answers one request in a process that serves many, one after another (FastCGI): first brings
// up to date what a CGI run reads at start-up (the store named by the environment, kept open;
// the product texts when their file changed; the options when the store changed), then answers
// from the environment and the standard streams as a CGI run does, trace opened and closed within
// the request. Returns the request's status.
int korproxyServeRequest();
// Lets go of what korproxyServeRequest keeps between requests; called when serving ends.
void korproxyEndServing();

// Opens the trace file for appending unless `path` is null or empty or a trace is already open,
// and writes the entry header (separator and time). A new file is readable by its owner alone. A
// file that cannot be opened or is refused (a link, not a regular file, another user's) leaves
// tracing off, with one line for the administrator naming the file and the reason.
void openTraceFile(const char* path);

// Writes the trace line that shows the four stored option texts; `source` and `line` are the
// caller's place (TRACE_AT).
void traceOptions(const char* source, int line, const OptionsRecord& opts);

// Closes the trace stream if one is open (standard output is only let go of, never closed); tracing
// is off afterwards.
void closeTraceFile();
