// The special request arguments of a GET request: JUMP (the jump page), CONFIG (the setup form),
// SETUP (store what the setup form sent back), LOGON (a web user's own logon) and FORCETRACE
// (trace this request).
//
// Owns the recognition of those names, the decision whether a settings request (CONFIG, SETUP,
// LOGON, FORCETRACE) may be honoured and the setup form's storing step. Never writes a stored
// password or a PSWD value to the trace or to a page, and never stores a value that does not fit
// its field.
#pragma once

#include "front/korproxy_args.h"

// The trace file that FORCETRACE opens when no trace is open yet.
inline constexpr const char kForcedTraceFile[] = "proxytrace.txt";

// Where a GET request came from: the web server, with the query string as the browser sent it, or
// a replay typed at the console, which is the administrator's own.
struct RequestOrigin {
    const char* rawText;  // the query string or the replayed text, undecoded; never null
    bool console;
};

// What a special request leaves to its caller.
enum class SpecialResult {
    kNone,       // no JUMP, CONFIG, SETUP or LOGON argument: the request goes on
    kAnswered,   // its page, or an error page, has been written
    kStartPage,  // settings were taken: the caller answers with the default server's start page
};

// Walks the list from `head` (may be null). kAnswered when a JUMP, SETUP, CONFIG or LOGON argument
// was answered and its page written, or when a settings request was refused with an error page;
// kStartPage when SETUP or LOGON took its values and a default server is stored; kNone otherwise
// (a FORCETRACE argument may have opened the trace). From the web server, a settings request is
// honoured only for a user the web server has signed in (REMOTE_USER), and never when the browser
// says it was sent from another site.
[[nodiscard]] SpecialResult doSpecialRequest(ArgNode* head, const RequestOrigin& origin);

// Takes the setup form's fields from `rawText` as the browser sent them (each value decoded once),
// compares them with what is stored and stores what differs. Then kStartPage when a default
// server and port are stored, else the jump page is written (kAnswered). A value that does not fit
// its field or is refused (a zero byte, a CGI URL that is neither a path nor a web address), or a
// failed store, ends the response with an error page instead (kAnswered).
[[nodiscard]] SpecialResult doSetupRequest(const char* rawText);

// LOGON: the web user's own logon pair, for the web user the web server signed in (REMOTE_USER).
// `action` (the LOGON value, any case) SET stores the ID and PSWD fields of `rawText` (decoded as
// the setup form's; an empty field keeps what is stored) and DELETE removes the pair, each then
// ending as the setup form does (kStartPage, or the jump page); anything else shows the logon
// form. A missing or unusable web user name, a refused value or a failed store ends with an error
// page. Every outcome but kStartPage has written its page.
[[nodiscard]] SpecialResult doLogonRequest(const char* action, const char* rawText);
