// The answer to one browser request: GET and POST.
//
// Owns the road of one request from its argument list to the relayed page or an error page. Never
// modifies the request text it is given.
#pragma once

// Answers a GET request. `request` is empty in CGI mode (the query string comes from the
// environment), or the text of a command-line replay. Returns 0, -1, or the page relay's result.
[[nodiscard]] int doGetRequest(const char* request);

// Answers a POST request; the body comes from standard input with the length in CONTENT_LENGTH,
// and a non-empty `request` replaces the URL of the command. Returns 0, -1, or the relay's result.
[[nodiscard]] int doPostRequest(const char* request);
