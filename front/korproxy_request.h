// The answer to one browser request: GET and POST, the session each opens to the server, and the
// one command text each sends.
//
// Owns the road of one request from its argument list to the relayed page or an error page, and the
// session for its length. Never modifies the request text it is given, and builds command texts of
// any length (no fixed command buffer).
#pragma once

#include <string>

#include "session/smsess.h"

// Answers a GET request. `request` is empty in CGI mode (the query string comes from the
// environment), or the text of a command-line replay. Returns 0, -1, or the page relay's result.
[[nodiscard]] int doGetRequest(const char* request);

// Answers a POST request; the body comes from standard input with the length in CONTENT_LENGTH,
// and a non-empty `request` replaces the URL of the command. Returns 0, -1, or the relay's result.
// A body longer than kMaxPostBody is refused before any of it is read.
[[nodiscard]] int doPostRequest(const char* request);

// Reads the logon pair of the request's web user (REMOTE_USER) or the shared one, and opens an
// authenticated session on `session` to the server named by `address` (host:port, optionally after
// a scheme and "//"; decoded and cut in place), naming the server, the administrator id and the
// logon in the request's audit record. Returns 0 when the session is ready, the credential store's
// code when it cannot be read, -1 for a missing or port-less address, kOpenRefused when the access
// rules refuse the web user's logon or the server (nothing sent, the page's message in the
// descriptor's lastError), else the session open's result code.
[[nodiscard]] int openConnection(SessionDesc* session, char* address);
inline constexpr int kOpenRefused = -4;

// The error page of a failed openConnection: its message with code 0 for a refusal, else the code.
void printOpenFailure(const SessionDesc* session, int rc);

// Splits a server address in place: whatever precedes a "//" is dropped, the host is the text
// before the first ":" and the port all of the text after it. False (traced) without a ":".
[[nodiscard]] bool splitServerAddress(char* address, char** host, char** port);

// Sends "BYE" and closes the session. Returns smCloseSession's result.
int closeConnection(SessionDesc* session);

// "HTML %s PROXYURL=%s\n" and "HTML \"%s\" POST=\"%s\" PROXYURL=%s\n", whatever their length;
// empty when there is no memory for the text.
[[nodiscard]] std::string buildGetCommand(const char* url, const char* cgiUrl);
[[nodiscard]] std::string buildPostCommand(const char* url, const char* payload,
                                           const char* cgiUrl);
