// The proxy's own pages: the jump page, the setup form and a web user's logon form, HTML files in
// the working folder whose marker lines are replaced by generated HTML.
//
// Owns the markers and the HTML written for them. Every value it inserts is HTML-escaped, and the
// password field of both forms is always written empty: a stored password never leaves the proxy.
// The logon form shows a web user only their own name and id, never the proxy's settings. Never
// changes the settings it shows.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr const char kJumpPage[] = "pxyjump.html";
inline constexpr const char kSetupFormPage[] = "pxycfgform.html";
inline constexpr const char kLogonFormPage[] = "pxylogonform.html";
// A template line: 511 characters are kept, the rest of a longer line is dropped.
inline constexpr size_t kTemplateLineSize = 512;
// The form action when neither the stored CGI URL nor SCRIPT_NAME names the program.
inline constexpr const char kDefaultFormAction[] = "korproxy";

// What the markers are filled with. Null counts as empty.
struct TemplateValues {
    const char* formAction;
    const char* id;
    const char* cgiUrl;
    const char* server;
    const char* port;
    const char* allowedServers = nullptr;
    const char* webUser = nullptr;  // the logon form's web user
    bool logonForm = false;         // the field markers are the logon form's: ID, PSWD, WEBUSER
};

// Copies the template on `in` to `out` line by line, replacing marker lines; the field markers are
// replaced only when `setupForm` is true (those of the logon form with `values.logonForm`). Writes
// no CGI header.
void renderTemplate(FILE* in, FILE* out, bool setupForm, const TemplateValues& values);

// Writes the template `name` from the working folder as a whole CGI response, filled with the
// stored settings and id, or the error page when the file cannot be opened.
void showFile(const char* name);

// Writes the logon form for the web user `webUser` (a valid name) as a whole CGI response, with
// the id of their own stored pair, if any.
void showLogonForm(const char* webUser);
