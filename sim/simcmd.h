// Commands after the session is secure: receiving one enciphered command and reading page requests.
//
// Owns the rule that tells where a command ends. Commands travel with no framing and no length, so
// a command is complete when its deciphered text is "BYE" or one line of printable text that begins
// with "HTML" and ends with a line feed. When it came in several pieces and its last DES block is
// partial, it is taken only once kCommandQuietMillis pass without more bytes (a prefix can
// decipher to such a line by chance). Bytes that stop arriving for kCommandQuietMillis are taken
// as a whole command too, so an unexpected text is still answered rather than waited on forever.
// Never answers anything itself.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sim/simcrypt.h"

// A command longer than this is refused; the proxy builds its commands in 5000 bytes.
inline constexpr size_t kMaxCommandBytes = 64 * 1024;
// Silence after some command bytes that marks the end of a command that did not look complete.
inline constexpr int kCommandQuietMillis = 500;

enum class CommandRead : int {
    kOk = 0,       // *text holds the deciphered command
    kClosed = 1,   // the client closed; *text holds whatever partial command had arrived
    kFailed = 2,   // socket error or idle time-out
    kTooLong = 3,  // more than kMaxCommandBytes arrived without a complete command
};

// Receives one command enciphered under `key` (CBC, fixed IV, tail rule) and deciphers it.
[[nodiscard]] CommandRead readCommand(int fd, const unsigned char key[kDesKeyBytes],
                                      std::string* text);

// True when a deciphered text looks like a whole command: "BYE", or "HTML..." without control
// characters but its final line feed.
[[nodiscard]] bool commandComplete(std::string_view plain);

// One page request, as the proxy's GET and POST command texts carry it.
struct PageRequest {
    bool post = false;
    std::string url;       // the path in the server's form (tokens percent-encoded)
    std::string payload;   // POST only: the form fields, still URL-encoded
    std::string proxyUrl;  // the proxy's CGI folder URL; links go to proxyUrl + "/korproxy"
};

// Reads "HTML url PROXYURL=cgi\n" or "HTML \"url\" POST=\"payload\" PROXYURL=cgi\n".
// Returns false when the text is not a page request.
[[nodiscard]] bool parsePageCommand(std::string_view text, PageRequest* out);
