// The special request arguments of a GET request: JUMP (the jump page), CONFIG (the setup form),
// SETUP (store what the setup form sent back), LOGON (a web user's own logon) and FORCETRACE
// (trace this request).
//
// Owns the recognition of those names, the decision whether a settings request (CONFIG, SETUP,
// LOGON, FORCETRACE) may be honoured, the setup form's storing step and the replacement of the
// stored credentials. Never writes a stored password or a PSWD value to the trace or to a page, and
// never stores a value that does not fit its field.
#pragma once

#include "front/korproxy_args.h"
#include "settings/settingskeys.h"

// The trace file that FORCETRACE opens when no trace is open yet.
inline constexpr const char kForcedTraceFile[] = "proxytrace.txt";

// Where a GET request came from: the web server, with the query string as the browser sent it, or
// a replay typed at the console, which is the administrator's own.
struct RequestOrigin {
    const char* rawText;  // the query string or the replayed text, undecoded; never null
    bool console;
};

// Walks the list from `head` (may be null). Returns 1 when a JUMP, SETUP, CONFIG or LOGON argument
// was answered and its page written, or when a settings request was refused with an error page; 0
// otherwise (a FORCETRACE argument may have opened the trace). From the web server, a settings
// request is honoured only for a user the web server has signed in (REMOTE_USER), and never when
// the browser says it was sent from another site.
[[nodiscard]] int doSpecialRequest(ArgNode* head, const RequestOrigin& origin);

// Takes the setup form's fields from `rawText` as the browser sent them (each value decoded once),
// compares them with what is stored, stores what differs, and writes the final page (the default
// server's start page, or the jump page). A value that does not fit its field or is refused (a
// zero byte, a CGI URL that is neither a path nor a web address), or a failed store, ends the
// response with an error page instead, and nothing further is written. Returns the final page's
// result, or -1 after such an error page.
int doSetupRequest(const char* rawText);

// LOGON: the web user's own logon pair, for the web user the web server signed in (REMOTE_USER).
// `action` (the LOGON value, any case) SET stores the ID and PSWD fields of `rawText` (decoded as
// the setup form's; an empty field keeps what is stored) and DELETE removes the pair, each then
// writing the setup form's final page; anything else shows the logon form. A missing or unusable
// web user name, a refused value or a failed store ends with an error page. Returns the final
// page's result, 0 for the form, or -1 after an error page.
int doLogonRequest(const char* action, const char* rawText);

// Replaces the stored administrator id and password as one change: either the new pair is stored,
// or the old one is left exactly as it was. Returns 0 when stored, else the non-zero result of the
// write (1 when the store itself failed).
// `keyPath` names the pair: the shared one by default, or a web user's.
[[nodiscard]] int psUpdatePasswordFile(const char* id, const char* password,
                                       const char* keyPath = kCredentialsKeyPath);
