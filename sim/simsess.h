// One client connection, played from the server's side: Identify, proxy session, authentication,
// then commands until "BYE" or the client leaves.
//
// Owns the dialogue and its log lines; the bytes leave through the answer writer (simanswer.h) and
// arrive through the framing (simwire.h). Takes ownership of the socket and always closes it.
// Never logs the password or key material.
#pragma once

#include <string_view>

#include "sim/simopts.h"
#include "sim/simsite.h"

// Commands one session may send before the simulator ends it; the proxy sends two.
inline constexpr int kMaxCommandsPerSession = 1000;

// The answer to one deciphered command other than "BYE": RC_SYNTAX without a page for a text that
// is not a page request, the --rc name without a page when one is forced, else the site's answer.
[[nodiscard]] SiteAnswer answerCommandText(std::string_view text, const SiteContext& site,
                                           const SimOptions& options);

// Serves the connection on `fd` to its end and closes it. `id` numbers it in the log.
void serveConnection(int fd, unsigned id, const SimOptions& options);
