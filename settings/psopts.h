// The default options of the proxy (server, port, trace file, CGI URL, whether every request needs
// a web login, audit log) and its access options (the servers it may connect to, whether the
// shared logon may be used) as kept in the settings store.
//
// Owns the layout of the "Defaults" key. Never opens the trace, never writes to stdout.
#pragma once

#include "common/limits.h"

// Texts of at most 64 characters with a terminator each, in this order, then the access options.
// An empty access option is one that is not stored.
struct OptionsRecord {
    char server[kOptionTextSize];
    char port[kOptionTextSize];
    char traceFile[kOptionTextSize];
    char cgiUrl[kOptionTextSize];
    // "1": every request needs a user the web server signed in; "0", or empty while the store holds
    // no such value (which is never written then): no.
    char requireLogin[kOptionTextSize];
    // "AllowedServers": host or host:port entries separated by ",". A stored list that cannot be
    // read whole is read as kUnreadableServerList, which allows no server but the default one.
    char allowedServers[kAllowedServersTextSize];
    // "SharedLogon": "1" or "0"; empty (not stored) counts as "1".
    char sharedLogon[2];
    char auditLog[kOptionTextSize];  // where the audit lines go (common/audit.h); empty: syslog
};

// What a stored server list that cannot be read stands as: a list without a single entry.
inline constexpr const char kUnreadableServerList[] = ",";

// True when the stored options ask for a web login on every request.
bool psLoginRequired(const OptionsRecord& opts);

// Fills the fields that can be read from the store. Always returns 0.
int psReadDefaultFile(OptionsRecord* opts);
// Whether the Defaults key can be read: 0, ERROR_FILE_NOT_FOUND (2) when nothing is stored, or the
// store's code for why it cannot be opened.
[[nodiscard]] long psDefaultsReadable();
// Stores all fields; the login rule only when it has a value, and each access option that is set
// (one that is empty is removed). Returns 0 when the last value (CgiUrl) was written, -1 when the
// key cannot be created or that write failed.
[[nodiscard]] int psWriteDefaultFile(const OptionsRecord* opts);
// Deletes the Defaults key; a nonzero `alsoParent` also deletes its parent key.
void psDeleteDefaultFile(int alsoParent);
