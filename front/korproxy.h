// The program entry and its run modes.
//
// Owns start-up (the options record filled, the trace opened) and the end of each run (the trace
// closed), the choice between CGI mode and command-line mode, and what a long-lived process keeps
// from one request to the next. Never returns before the response (page or error page) has been
// written in CGI mode.
#pragma once

// Runs start-up and the chosen mode; the result is the process exit status.
int korproxyMain(int argc, char** argv);

// Answers one request in a process that serves many, one after another (FastCGI): first brings
// up to date what a CGI run reads at start-up (the store named by the environment, kept open;
// the product texts when their file changed; the options when the store changed), then answers
// from the environment and the standard streams as a CGI run does, trace opened and closed within
// the request. Returns the request's status.
int korproxyServeRequest();
// Lets go of what korproxyServeRequest keeps between requests; called when serving ends.
void korproxyEndServing();
