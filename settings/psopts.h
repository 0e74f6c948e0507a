// The default options of the proxy (server, port, trace file, CGI URL, audit log) as kept in the
// settings store.
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
    char auditLog[kOptionTextSize];  // where the audit lines go (common/audit.h); empty: syslog
};

// Fills the fields that can be read from the store. Always returns 0.
int psReadDefaultFile(OptionsRecord* opts);
// Whether the Defaults key can be read: 0, ERROR_FILE_NOT_FOUND (2) when nothing is stored, or the
// store's code for why it cannot be opened.
[[nodiscard]] long psDefaultsReadable();
// Stores all fields. Returns 0 when the last value (CgiUrl) was written, -1 when the key
// cannot be created or that write failed.
[[nodiscard]] int psWriteDefaultFile(const OptionsRecord* opts);
// Deletes the Defaults key; a nonzero `alsoParent` also deletes its parent key.
void psDeleteDefaultFile(int alsoParent);
