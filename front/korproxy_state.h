// The process-wide state of the program: the one options record and the trace stream's life.
//
// Owns `optsP` and the opening, setting aside and closing of the trace stream. The program entry
// opens the trace at start-up and closes it at the end of the run (or of each request in a
// process that serves many); FORCETRACE may open it within a request, and a failed page read sets
// it aside for the rest of the run. Never frees the options record and never writes a trace line
// of its own beyond the entry header and the options line.
#pragma once

#include "settings/psopts.h"

// The one options record of the process, filled from the store at start-up (in a process that
// serves many requests: afresh for each) and never freed.
extern OptionsRecord* optsP;

// Opens the trace file for appending unless `path` is null or empty or a trace is already open
// (or set aside), and writes the entry header (separator and time). A new file is readable by its
// owner alone. A file that cannot be opened or is refused (a link, not a regular file, another
// user's) leaves tracing off, with one line for the administrator naming the file and the reason.
void openTraceFile(const char* path);

// Writes the trace line that shows the four stored option texts; `source` and `line` are the
// caller's place (TRACE_AT).
void traceOptions(const char* source, int line, const OptionsRecord& opts);

// Ends the trace lines for the rest of the run: the stream is set aside, still open, until
// closeTraceFile.
void setTraceAside();

// Closes the trace stream, open or set aside (standard output is only let go of, never closed);
// tracing is off afterwards.
void closeTraceFile();

// Closes any trace stream and makes standard output the trace stream (a command-line replay).
void traceToConsole();
