// The default options of the proxy (server, port, trace file, CGI URL, whether every request needs
// a web login) as kept in the settings store.
//
// Owns the layout of the "Defaults" key. Never opens the trace, never writes to stdout.
#pragma once

#include "common/limits.h"

// Texts of at most 64 characters with a terminator each, in this order.
struct OptionsRecord {
    char server[kOptionTextSize];
    char port[kOptionTextSize];
    char traceFile[kOptionTextSize];
    char cgiUrl[kOptionTextSize];
    // "1": every request needs a user the web server signed in; "0", or empty while the store holds
    // no such value (which is never written then): no.
    char requireLogin[kOptionTextSize];
};

// True when the stored options ask for a web login on every request.
bool psLoginRequired(const OptionsRecord& opts);

// Fills the fields that can be read from the store. Always returns 0.
int psReadDefaultFile(OptionsRecord* opts);
// Stores all fields; the login rule only when it has a value. Returns 0 when the last value
// (CgiUrl) was written, -1 when the key cannot be created or that write failed.
[[nodiscard]] int psWriteDefaultFile(const OptionsRecord* opts);
// Deletes the Defaults key; a nonzero `alsoParent` also deletes its parent key.
void psDeleteDefaultFile(int alsoParent);
