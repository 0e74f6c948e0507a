// see trace.h
#include "common/trace.h"

#include <cstdarg>
#include <cstdlib>

#include "common/textcopy.h"

FILE* traceFp = nullptr;

namespace {

// Most lines fit here; longer ones (a dumped page, a long query) take a heap buffer instead.
constexpr int kStackLine = 1024;

}  // namespace

void traceLine(const char* format, ...) {
    if (traceFp == nullptr) return;
    char stackLine[kStackLine];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int need = vsnprintf(stackLine, sizeof stackLine, format, args);
    va_end(args);
    if (need < 0) {
        va_end(again);
        return;
    }
    // Without memory for the whole line, its first part goes to the trace.
    char* heapLine = nullptr;
    const char* line = stackLine;
    if (need >= kStackLine) heapLine = static_cast<char*>(malloc(static_cast<size_t>(need) + 1));
    if (heapLine != nullptr) {
        vsnprintf(heapLine, static_cast<size_t>(need) + 1, format, again);
        line = heapLine;
    } else if (need >= kStackLine) {
        need = kStackLine - 1;
    }
    va_end(again);
    fflush(traceFp);
    osAppendWhole(traceFp, line, static_cast<size_t>(need));
    free(heapLine);
}

std::string traceText(std::string_view value) {
    return traceOn() ? escapeControls(value) : std::string();
}

std::string traceText(const char* value) {
    return traceText(std::string_view(value != nullptr ? value : "(null)"));
}
