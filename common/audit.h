// The audit log: one line for everything done through the proxy (a page, a form sent on, a refusal,
// a change of settings, a connection check), always on, written where the system keeps its logs.
//
// Owns the record of the request in hand, the form of its line (key=value pairs in a fixed order,
// quoted and cut) and the choice of where the line goes: the system log (syslog, the event log), a
// file of its own, or nowhere. Never holds a password, a password key, a page's content or a POST
// body's values: callers hand it names, addresses, ids, URLs and words only. Never writes to
// standard output or to the trace; a destination it cannot use is noted for the administrator
// (common/notice.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/platform.h"

enum class AuditEvent { kNone, kPage, kPost, kRefused, kSetup, kLogon, kConsole, kCheck };

// The fields of one line. An empty text is a field that does not apply and is left out; `user` is
// always written ("-" when the web server signed nobody in).
struct AuditRecord {
    AuditEvent event = AuditEvent::kNone;
    std::string user;    // REMOTE_USER
    std::string addr;    // REMOTE_ADDR
    std::string server;  // host:port as contacted
    std::string admin;   // the administrator id used
    std::string logon;   // "own" or "shared"
    std::string url;     // the page requested; for a POST the URL field only
    std::string fields;  // names of the settings changed, comma-separated
    std::string reason;  // why a request was refused
    std::string result;  // a server return-code name or a result word
    int64_t bytes = -1;  // page bytes relayed; -1: none were
    int64_t ms = -1;     // duration; -1: not measured
};

// Each value is cut at this many bytes before it is escaped.
inline constexpr size_t kAuditValueMax = 256;

// One value as the line writes it: bare, or in double quotes (with \" and \\) when it holds a
// blank, a quote or a backslash; control characters as \xNN; cut at kAuditValueMax bytes.
[[nodiscard]] std::string auditValue(std::string_view value);
// The whole line, without a line end.
[[nodiscard]] std::string auditLine(const AuditRecord& record);

// How serious a line is: refusals are notices, failures warnings, everything else information.
[[nodiscard]] OsLogLevel auditLevelOf(const AuditRecord& record);

// Where the stored AuditLog value sends lines: empty is the system's log, as are "syslog" and
// "eventlog" (on each system its own: syslog on Linux, the Application event log on Windows);
// "off" sends them nowhere; an absolute path names a file appended to. Anything else is Invalid.
enum class AuditSink { kSystem, kOff, kFile, kInvalid };
[[nodiscard]] AuditSink auditSinkOf(const char* destination);

// The record of the request in hand. auditBegin clears it, sets the event, the user and address
// from the web server's environment, and starts its clock.
void auditBegin(AuditEvent event);
[[nodiscard]] AuditRecord& auditCurrent();
// Marks the request in hand as refused for `reason` (the first refusal stays).
void auditRefuse(const char* reason);
// Records the request's result unless one was recorded already (the first word is the one that
// says what went wrong) or the request was refused.
void auditResult(std::string_view word);
// Adds a changed setting's name to `fields`.
void auditField(const char* name);
// Writes the line of the request in hand to `destination` (an AuditLog value), with its duration
// and "ok" as the result of a request that recorded none, and clears it. Nothing is written for
// a request that never began (or whose event was cleared).
void auditEnd(const char* destination);
