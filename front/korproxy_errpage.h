// The error page: the one way a failure reaches the browser, and the HTML escaping of texts that
// came in with a request.
//
// Owns the page layout, the sentences of the session result codes (and their one-word forms for
// the audit log) and the legal notice line. Reads `optsP` and the product texts; never changes
// them, never traces, and never writes anything but the page and the request's audit result.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// The one-line legal notice at the foot of the proxy's own pages.
inline constexpr const char kLegalNotice[] =
    "korproxy is licensed software of the korproxy project. All rights reserved.";

// Writes a complete CGI response (header and HTML) reporting a failure to standard output. With
// code 0 `message` is the report, written as it is (a caller that puts request data into it
// escapes that data with htmlEscape first); with a non-zero code the code's sentence is the
// report, and `message` is used only by code 2, HTML-escaped. A null message counts as empty.
void printErrorPage(const char* message, int32_t code);

// printErrorPage onto any stream. Records the request's audit result (the code's word, or "error"
// for a message of the caller's own) unless one is recorded already.
void printErrorPageTo(FILE* out, const char* message, int32_t code);

// A result code's sentence as one word: "password-expired" for 5 and 9, "internal-error" for a code
// without a sentence of its own, and so on.
[[nodiscard]] const char* sessionResultWord(int32_t code);

// The text with & < > " ' replaced by their character references, safe inside HTML text and
// inside a double-quoted attribute value.
[[nodiscard]] std::string htmlEscape(std::string_view text);
// Writes htmlEscape(text) to `out` without allocating: pages are written after the allocations of
// their request, and an error page may be written when memory has run out.
void writeHtmlEscaped(FILE* out, std::string_view text);
