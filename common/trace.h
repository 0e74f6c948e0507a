// The process-wide trace: one optional plain-text stream that every subsystem writes lines to.
//
// Owns `traceFp` and the one function that writes a trace line. A line is formatted whole and then
// appended to the file in one piece (osAppendWhole), so requests running side by side as separate
// processes never interleave within a line. Never opens or closes the
// stream (the program entry does that) and never writes while `traceFp` is null.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/platform.h"

// Null while tracing is off; a file opened for appending, or standard output during a replay.
extern FILE* traceFp;

// Formats one trace line and writes it to `traceFp` in one piece; does nothing while it is null.
// Pending stdio output of the stream is flushed first, so the line keeps its place after whatever
// was written to the same stream through stdio (the page, during a console replay).
void traceLine(const char* format, ...) __attribute__((format(KORPROXY_PRINTF, 1, 2)));

// True while a trace stream is open; lets callers skip building expensive trace arguments.
inline bool traceOn() {
    return traceFp != nullptr;
}

// A value as a trace line shows it within its fixed text (a stored setting, a request argument,
// the server's response line): control characters as \xNN, so that no value can start a line of
// its own. Empty while tracing is off, when the line is not written anyway. A null text shows as
// "(null)". Dumps of a relayed page or command are written whole and never pass through here.
[[nodiscard]] std::string traceText(const char* value);
[[nodiscard]] std::string traceText(std::string_view value);

// Each source file defines `static constexpr const char kTraceSource[] = "smsess";` and writes
// TRACE("(%s, %d) text\n", TRACE_AT, ...); TRACE_AT supplies the bare source name and the line.
#define TRACE_AT kTraceSource, __LINE__
#define TRACE(...) traceLine(__VA_ARGS__)
