// The FastCGI run mode: one long-lived process answers request after request on the listening
// socket that the web server (or its spawner) hands it as standard input.
//
// Owns the accept loop, each request's environment and standard streams, the end of a request's
// body that the request left unread on a kept connection, and the signal dispositions while the
// process serves. Never decides a request's answer: each one is answered
// by korproxyServeRequest exactly as a CGI run answers it. Where the program is built without the
// FastCGI library, standard input is never taken for a listening socket.
#pragma once

// True when standard input is a listening socket: the program was started as a FastCGI
// application, not run as a CGI program or from a console.
[[nodiscard]] bool fastcgiListening();

// Serves requests one at a time until SIGTERM (the request in hand is finished first) or until
// the listening socket fails. Returns the process exit status.
int fastcgiServe();
