// see trace.h
#include "common/trace.h"

#include <cstdarg>
#include <string>

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
    std::string heapLine;
    const char* line = stackLine;
    if (need >= kStackLine) {
        heapLine.resize(static_cast<size_t>(need) + 1);
        vsnprintf(heapLine.data(), heapLine.size(), format, again);
        line = heapLine.data();
    }
    va_end(again);
    fflush(traceFp);
    osAppendWhole(traceFp, line, static_cast<size_t>(need));
}

std::string traceText(std::string_view value) {
    return traceOn() ? escapeControls(value) : std::string();
}

std::string traceText(const char* value) {
    return traceText(std::string_view(value != nullptr ? value : "(null)"));
}
