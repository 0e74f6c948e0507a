// The default options of the proxy (server, port, trace file, CGI URL, audit log) and its access
// options (the servers it may connect to, whether the shared logon may be used) as kept in the
// settings store.
//
// Owns the layout of the "Defaults" key. Never opens the trace, never writes to stdout.
#pragma once

#include "common/limits.h"

// Four texts of at most 64 characters with a terminator each, in this order, then the access
// options. An empty access option is one that is not stored.
struct OptionsRecord {
    char server[kOptionTextSize];
    char port[kOptionTextSize];
    char traceFile[kOptionTextSize];
    char cgiUrl[kOptionTextSize];
    // "AllowedServers": host or host:port entries separated by ",". A stored list that cannot be
    // read whole is read as kUnreadableServerList, which allows no server but the default one.
    char allowedServers[kAllowedServersTextSize];
    // "SharedLogon": "1" or "0"; empty (not stored) counts as "1".
    char sharedLogon[2];
    char auditLog[kOptionTextSize];  // where the audit lines go (common/audit.h); empty: syslog
};

// What a stored server list that cannot be read stands as: a list without a single entry.
inline constexpr const char kUnreadableServerList[] = ",";

// Fills the fields that can be read from the store. Always returns 0.
int psReadDefaultFile(OptionsRecord* opts);
// Whether the Defaults key can be read: 0, ERROR_FILE_NOT_FOUND (2) when nothing is stored, or the
// store's code for why it cannot be opened.
[[nodiscard]] long psDefaultsReadable();
// Stores all four fields, and each access option that is set (one that is empty is removed).
// Returns 0 when the last value (CgiUrl) was written, -1 when the key cannot be created or that
// write failed.
[[nodiscard]] int psWriteDefaultFile(const OptionsRecord* opts);
// Deletes the Defaults key; a nonzero `alsoParent` also deletes its parent key.
void psDeleteDefaultFile(int alsoParent);
