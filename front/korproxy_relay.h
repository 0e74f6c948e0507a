// The page relay: sends a request's one command over a ready session, receives the page that the
// server answers with, blanks the server's own header lines in it, and writes the CGI response.
//
// Owns the page block for the length of one relay: one block of the announced size, received,
// cleaned in place and written in one piece. Never shifts or copies the page, and never lets an
// error page follow once it has written the response header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "session/smsess.h"

struct FreePageBlock {
    void operator()(char* block) const { free(block); }
};
using PageBlock = std::unique_ptr<char, FreePageBlock>;

// The block a page of `amount` bytes is received into: one zero byte more than the page, so the
// page is always a terminated text. Empty when the page is beyond kMaxPageBytes or there is no
// memory for it. A large block is mapped by the C library and its pages become resident only as
// the page's bytes reach them: a server that announces a large page and sends little costs little.
[[nodiscard]] PageBlock newPageBlock(uint32_t amount);

// The server header markers, in the order they are looked for; case-sensitive, found anywhere.
inline constexpr const char* kServerHeaderMarkers[] = {"Content-type", "HTTP/1.0 200",
                                                       "Server: VELK_HTTP"};

// Blanks every occurrence of the markers in the first `count` bytes of `page`, up to the first zero
// byte: from the marker's first character up to, not including, the next line feed (or the end),
// every character becomes a space. Length and line count stay. Returns the number of occurrences
// blanked; each is traced with its marker's line.
size_t removeServerHeaders(char* page, size_t count);

// Sends `command` over `session`, relays the page or writes an error page. Returns 0 in every case:
// each failure has written its own error page, and after the response header nothing may follow.
// A page that cannot be read sets the trace aside: no trace line follows for the rest of the run.
[[nodiscard]] int relayPage(SessionDesc* session, const char* command);
