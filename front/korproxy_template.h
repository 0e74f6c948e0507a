// The proxy's own pages: the jump page and the setup form, HTML files in the working folder whose
// marker lines are replaced by generated HTML.
//
// Owns the markers and the HTML written for them. Every value it inserts is HTML-escaped, and the
// setup form's password field is always written empty: the stored password never leaves the
// proxy. Never changes the settings it shows.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr const char kJumpPage[] = "pxyjump.html";
inline constexpr const char kSetupFormPage[] = "pxycfgform.html";
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
};

// Copies the template on `in` to `out` line by line, replacing marker lines; the field markers are
// replaced only when `setupForm` is true. Writes no CGI header.
void renderTemplate(FILE* in, FILE* out, bool setupForm, const TemplateValues& values);

// Writes the template `name` from the working folder as a whole CGI response, filled with the
// stored settings and id, or the error page when the file cannot be opened.
void showFile(const char* name);
