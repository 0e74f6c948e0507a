// Lines for the administrator about what keeps the program from using its settings store or its
// trace file or its audit log: the store's folder or file refused to the user the web server runs
// the program as, a trace file or an audit file that cannot be opened.
//
// Owns the few lines noted during one run; each is written once, on standard error, when the
// program entry says so (a CGI program's standard error is the web server's error log). Never
// writes to standard output and never changes what a page or a command-line message says.
#pragma once

#include <cstdio>

// Notes one line, "korproxy: " and the formatted text (a control character in it becomes "?", so
// that it stays one line); the same line noted again is kept once, and lines beyond a small number
// are dropped.
void noteProblem(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the noted lines to `out` and forgets them.
void writeProblems(FILE* out);
