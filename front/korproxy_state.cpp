// see korproxy_state.h
#include "front/korproxy_state.h"

#include <cstdio>
#include <ctime>

#include "common/notice.h"
#include "common/platform.h"
#include "common/textcopy.h"
#include "common/trace.h"

OptionsRecord* optsP = nullptr;

namespace {

// The stream a failed page read set aside: open, but no line reaches it any more.
FILE* asideFp = nullptr;

}  // namespace

void traceOptions(const char* source, int line, const OptionsRecord& opts) {
    if (!traceOn()) return;
    TRACE("(%s, %d) optsP -> server (%s) port (%s) traceFile (%s) cgiUrl (%s)\n", source, line,
          traceText(opts.server).c_str(), traceText(opts.port).c_str(),
          traceText(opts.traceFile).c_str(), traceText(opts.cgiUrl).c_str());
}

void openTraceFile(const char* path) {
    time_t now = time(nullptr);
    if (path == nullptr || path[0] == '\0' || traceFp != nullptr || asideFp != nullptr) return;
    // The trace holds whole deciphered pages and commands: no other user may read it.
    const char* refusal = nullptr;
    FILE* file = osOpenPrivateAppend(path, &refusal);
    if (file == nullptr) {
        noteProblem("trace file %s cannot be opened: %s", escapeControls(path).c_str(), refusal);
        return;
    }
    traceFp = file;
    TRACE("<---------------------------------------------------->\n");
    const char* when = ctime(&now);
    TRACE("Trace file entry generated at: %s\n", when != nullptr ? when : "(unknown)\n");
}

void setTraceAside() {
    if (traceFp == nullptr) return;
    fflush(traceFp);
    asideFp = traceFp;
    traceFp = nullptr;
}

void closeTraceFile() {
    FILE* stream = traceFp != nullptr ? traceFp : asideFp;
    traceFp = nullptr;
    asideFp = nullptr;
    if (stream == nullptr) return;
    if (stream != stdout && stream != stderr) {
        fclose(stream);
    } else {
        fflush(stream);
    }
}

void traceToConsole() {
    closeTraceFile();
    traceFp = stdout;
}
