// see korproxy.h
#include "front/korproxy.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/limits.h"
#include "common/platform.h"
#include "common/trace.h"
#include "front/korproxy_cmdline.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_request.h"
#include "settings/regplatform.h"

static constexpr const char kTraceSource[] = "korproxy";

OptionsRecord* optsP = nullptr;

namespace {

// A stored trace file name that begins with these four letters switches tracing off.
constexpr const char kNoTracePrefix[] = "null";

void startTrace(const OptionsRecord& opts) {
    bool off = opts.traceFile[0] != '\0' &&
               strncmp(opts.traceFile, kNoTracePrefix, strlen(kNoTracePrefix)) == 0;
    if (!off) openTraceFile(opts.traceFile);
    TRACE("(%s, %d) optsP -> server (%s) port (%s) traceFile (%s) cgiUrl (%s)\n", TRACE_AT,
          opts.server, opts.port, opts.traceFile, opts.cgiUrl);
}

int runCgi(const char* method) {
    int status = 0;
    if (strcmp(method, "POST") == 0) {
        status = doPostRequest("");
    } else if (strcmp(method, "GET") == 0) {
        status = doGetRequest("");
    } else {
        // The method comes from the request line, so it is escaped before it joins the page.
        std::string message = "Unsupported request type: " + htmlEscape(method);
        printErrorPage(message.c_str(), 0);
    }
    closeTraceFile();
    return status;
}

// Stores or removes settings, or replays one request with its trace on the console; always 0.
int runCommandLine(int argc, char** argv) {
    char request[kReplayRequestSize] = {};
    int postFlag = 0;
    processOptions(argc, argv, request, sizeof request, &postFlag);
    if (request[0] != '\0') {
        closeTraceFile();
        traceFp = stdout;
        if (postFlag != 0) {
            (void)doPostRequest(request);
        } else {
            (void)doGetRequest(request);
        }
    }
    fflush(stdout);
    return 0;
}

}  // namespace

void openTraceFile(const char* path) {
    time_t now = time(nullptr);
    if (path == nullptr || path[0] == '\0' || traceFp != nullptr) return;
    FILE* file = osOpenPrivateAppend(path);
    if (file == nullptr) return;
    traceFp = file;
    TRACE("<---------------------------------------------------->\n");
    const char* when = ctime(&now);
    TRACE("Trace file entry generated at: %s\n", when != nullptr ? when : "(unknown)\n");
}

void closeTraceFile() {
    if (traceFp == nullptr) return;
    if (traceFp != stdout && traceFp != stderr) {
        fclose(traceFp);
    } else {
        fflush(traceFp);
    }
    traceFp = nullptr;
}

int korproxyMain(int argc, char** argv) {
    // The options now and the credentials later are read over one opening of the store.
    RegStoreHold store;
    osPrepareProcess();
    readProductNameFile();
    optsP = static_cast<OptionsRecord*>(calloc(1, sizeof(OptionsRecord)));
    if (optsP == nullptr) {
        printErrorPage("No Memory!", 0);
        return -1;
    }
    (void)psReadDefaultFile(optsP);
    startTrace(*optsP);

    const char* method = getenv("REQUEST_METHOD");
    if (method != nullptr) return runCgi(method);
    if (argc > 1) return runCommandLine(argc, argv);
    printErrorPage("Enviroment variable REQUEST_METHOD is not being set by this web server", 0);
    closeTraceFile();
    return 0;
}
