// One client connection, played from the server's side: Identify, proxy session, authentication,
// then commands until "BYE" or the client leaves.
//
// Owns the dialogue and its log lines; the bytes leave through the answer writer (simanswer.h) and
// arrive through the framing (simwire.h). Takes ownership of the socket and always closes it.
// Never logs the password or key material.
#pragma once

#include "sim/simopts.h"

// Commands one session may send before the simulator ends it; the proxy sends two.
inline constexpr int kMaxCommandsPerSession = 1000;

// Serves the connection on `fd` to its end and closes it. `id` numbers it in the log.
void serveConnection(int fd, unsigned id, const SimOptions& options);
