// see notice.h
#include "common/notice.h"

#include <cstdarg>
#include <cstring>

namespace {

// A run meets at most a store and a trace problem; a few more leave room for both to differ.
constexpr int kMaxNotes = 4;
constexpr size_t kNoteSize = 512;

char notes[kMaxNotes][kNoteSize];
int noteCount = 0;

}  // namespace

void noteProblem(const char* format, ...) {
    char line[kNoteSize];
    int prefix = snprintf(line, sizeof line, "korproxy: ");
    va_list args;
    va_start(args, format);
    vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    va_end(args);
    // One line each: a control character in a file name or a reason would start another.
    for (char* c = line; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < ' ' || *c == '\x7f') *c = '?';
    }
    for (int i = 0; i < noteCount; ++i) {
        if (strcmp(notes[i], line) == 0) return;
    }
    if (noteCount == kMaxNotes) return;
    memcpy(notes[noteCount++], line, sizeof line);
}

void writeProblems(FILE* out) {
    for (int i = 0; i < noteCount; ++i) fprintf(out, "%s\n", notes[i]);
    fflush(out);
    noteCount = 0;
}
