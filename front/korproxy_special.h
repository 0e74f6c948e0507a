// The special request arguments of a GET request: JUMP (the jump page), CONFIG (the setup form),
// SETUP (store what the setup form sent back) and FORCETRACE (trace this request).
//
// Owns the recognition of those names, the setup form's storing step and the replacement of the
// stored credentials. Never writes a stored password or a PSWD value to the trace or to a page, and
// never stores a value that does not fit its field.
#pragma once

#include "front/korproxy_args.h"

// The trace file that FORCETRACE opens when no trace is open yet.
inline constexpr const char kForcedTraceFile[] = "proxytrace.txt";

// Walks the list from `head` (may be null). Returns 1 when a JUMP, SETUP or CONFIG argument was
// answered and its page written; 0 otherwise (a FORCETRACE argument may have opened the trace).
[[nodiscard]] int doSpecialRequest(ArgNode* head);

// Compares the setup form's fields in the list with what is stored, stores what differs, and writes
// the final page (the default server's start page, or the jump page). A value too long for its
// field, or a failed store, ends the response with an error page instead, and nothing further is
// written. Returns the final page's result, or -1 after such an error page.
int doSetupRequest(ArgNode* head);

// Replaces the stored administrator id and password as one change: either the new pair is stored,
// or the old one is left exactly as it was. Returns 0 when stored, else the non-zero result of the
// write (1 when the store itself failed).
[[nodiscard]] int psUpdatePasswordFile(const char* id, const char* password);
