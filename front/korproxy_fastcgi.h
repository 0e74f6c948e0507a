// The FastCGI run mode: the process that the web server (or its spawner) starts on a listening
// socket, handed to it as standard input, keeps a pool of workers that answer request after
// request on that socket, each one request at a time.
//
// Owns the pool (how many workers, their start, replacement and end), the accept loop, each
// request's environment and standard streams, the end of a request's body that the request left
// unread on a kept connection, and the signal dispositions while the process serves. Never
// decides a request's answer: each one is answered by korproxyServeRequest exactly as a CGI run
// answers it. Never shuts down or closes the listening socket for the other processes that share
// it. Where the program is built without the FastCGI library, standard input is never taken for
// a listening socket.
#pragma once

// True when standard input is a listening socket: the program was started as a FastCGI
// application, not run as a CGI program or from a console.
[[nodiscard]] bool fastcgiListening();

// Keeps the workers serving until SIGTERM or SIGINT (each one finishes the request in hand, an
// idle one ends at once) or until the listening socket fails. Returns the process exit status, in
// the pool's first process and in each worker.
int fastcgiServe();

// How many workers serve, from KORPROXY_WORKERS's value `text` (null when it is not set): a whole
// number from 1 up, cut to kMaxFastcgiWorkers; kDefaultFastcgiWorkers when it is not set or empty.
// Returns 0 for any other text.
[[nodiscard]] int fastcgiWorkerCount(const char* text);
