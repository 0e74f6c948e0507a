// The simulator's administration site: the pages a page request can ask for.
//
// Owns the catalogue of storage objects, the routes and the pages. Every page starts with the
// server's own header lines (kPageHeader) and addresses its links and forms to the proxy's CGI
// program with SERVER and URL arguments, so that they come back through the proxy. Paths arrive in
// the server's form: slash-separated tokens, each percent-encoded, so an object name keeps its dots
// and slashes inside one token. Never touches a socket.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sim/simcmd.h"

// The header lines every page begins with, and the empty line that ends them.
inline constexpr char kPageHeader[] =
    "HTTP/1.0 200 OK\n"
    "Server: VELK_HTTP\n"
    "Content-type: text/html\n"
    "\n";
// The largest page /size/N gives; the proxy refuses pages above 256 MiB.
inline constexpr size_t kMaxSizedPage = 64 * 1024 * 1024;

// What a page is built with besides the request.
struct SiteContext {
    std::string serverAddress;  // host:port as the client reached the simulator (SERVER=)
    std::string adminId;        // who is signed on
    bool ebcdic = false;        // the character set the simulator announced
};

// A return-code name and, for RC_OK, the whole page with its header lines.
struct SiteAnswer {
    std::string rc;
    std::string page;
};

// Answers one page request.
[[nodiscard]] SiteAnswer sitePage(const PageRequest& request, const SiteContext& context);

// Decodes %XX sequences (and, when `plusIsSpace`, "+" as a blank); a bad sequence stays as it is.
[[nodiscard]] std::string percentDecode(std::string_view text, bool plusIsSpace);
// Percent-encodes everything but letters, digits and "-._~"; "/" too unless `keepSlash`.
[[nodiscard]] std::string percentEncode(std::string_view text, bool keepSlash);
// Escapes the five HTML-special characters.
[[nodiscard]] std::string htmlEscape(std::string_view text);
