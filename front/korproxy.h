// The program entry and its run modes.
//
// Owns `optsP` and the choice between CGI mode and command-line mode. Never returns before the
// response (page or error page) has been written in CGI mode.
#pragma once

#include "settings/psopts.h"

// The one options record of the process, filled from the store at start-up and never freed.
extern OptionsRecord* optsP;

// Runs start-up and the chosen mode; the result is the process exit status.
int korproxyMain(int argc, char** argv);

// Opens the trace file for appending unless `path` is null or empty or a trace is already open.
void openTraceFile(const char* path);
