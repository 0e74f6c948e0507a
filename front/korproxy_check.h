// The connection check of the command line (-check, -check=host:port): every step from the settings
// store to the start page, one line each on standard output, saying ok or what failed in plain
// words and what to do about it, and an exit status that names the step that failed.
//
// Owns the steps, their wording and their statuses. Uses the same reads and the same session as a
// request does; never writes a page, and never shows a password or a page's content.
#pragma once

#include <string>

// The exit status of a check: which step failed.
enum CheckStatus : int {
    kCheckPassed = 0,
    kCheckStore = 2,         // the settings store read
    kCheckCredentials = 3,   // the credentials read
    kCheckNotAllowed = 4,    // the server allowed
    kCheckNameLookup = 5,    // the name resolved
    kCheckConnection = 6,    // the TCP connection made
    kCheckIdentify = 7,      // the server identified
    kCheckProxySession = 8,  // the proxy session accepted
    kCheckAuthenticate = 9,  // the authentication accepted
    kCheckPage = 10,         // the start page received
};

// Checks the connection to `server` (host:port, optionally after a scheme and "//"), or to the
// stored default server when it is empty, with the shared logon pair, or with the pair a request
// of the web user `webUser` would log on with when it is not empty. Writes one line per step
// reached and fills the request's audit record (event check). Returns a CheckStatus.
[[nodiscard]] int runConnectionCheck(const std::string& server, const std::string& webUser = "");
