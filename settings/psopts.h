// The default options of the proxy (server, port, trace file, CGI URL) as kept in the settings
// store.
//
// Owns the layout of the "Defaults" key. Never opens the trace, never writes to stdout.
#pragma once

#include "common/limits.h"

// Four texts of at most 64 characters with a terminator each, in this order.
struct OptionsRecord {
    char server[kOptionTextSize];
    char port[kOptionTextSize];
    char traceFile[kOptionTextSize];
    char cgiUrl[kOptionTextSize];
};

// Fills the fields that can be read from the store. Always returns 0.
int psReadDefaultFile(OptionsRecord* opts);
// Stores all four fields. Returns 0 when the last value (CgiUrl) was written, -1 when the key
// cannot be created or that write failed.
[[nodiscard]] int psWriteDefaultFile(const OptionsRecord* opts);
// Deletes the Defaults key; a nonzero `alsoParent` also deletes its parent key.
void psDeleteDefaultFile(int alsoParent);
