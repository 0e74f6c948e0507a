// see korproxy.h
#include "front/korproxy.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "common/audit.h"
#include "common/limits.h"
#include "common/notice.h"
#include "common/platform.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy_check.h"
#include "front/korproxy_cmdline.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_request.h"
#include "front/korproxy_state.h"
#include "settings/regplatform.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

constexpr const char kNeedsWebLogin[] =
    "This proxy needs a web login: configure the web server to ask for one.";

// A stored trace file name that begins with these four letters switches tracing off.
constexpr const char kNoTracePrefix[] = "null";

void startTrace(const OptionsRecord& opts) {
    bool off = opts.traceFile[0] != '\0' &&
               strncmp(opts.traceFile, kNoTracePrefix, strlen(kNoTracePrefix)) == 0;
    if (!off) openTraceFile(opts.traceFile);
    traceOptions(TRACE_AT, opts);
}

// Where the audit line of the run goes: the stored AuditLog value.
const char* auditDestination() {
    return optsP != nullptr ? optsP->auditLog : "";
}

// With RequireLogin stored, a request the web server let through without its login is refused
// before its query or body is looked at: the proxy would log on to the storage server with the
// stored administrator id for whoever reached the web server.
bool refusedWithoutLogin() {
    if (optsP == nullptr || !psLoginRequired(*optsP)) return false;
    const char* user = getenv("REMOTE_USER");
    if (user != nullptr && user[0] != '\0') return false;
    TRACE("(%s, %d) Request refused: RequireLogin is set and the web server signed no user in\n",
          TRACE_AT);
    auditRefuse("login");
    printErrorPage(kNeedsWebLogin, 0);
    return true;
}

// The request's answer by its method; the result is the request's status.
int answerMethod(const char* method) {
    bool post = strcmp(method, "POST") == 0;
    bool get = strcmp(method, "GET") == 0;
    auditBegin(post ? AuditEvent::kPost : AuditEvent::kPage);
    if (post) return refusedWithoutLogin() ? 0 : doPostRequest("");
    if (get) return refusedWithoutLogin() ? 0 : doGetRequest("");
    auditRefuse("bad-request");
    // The method comes from the request line, so it is escaped before it joins the page.
    std::string message = "Unsupported request type: " + htmlEscape(method);
    printErrorPage(message.c_str(), 0);
    return 0;
}

int runCgi(const char* method) {
    int status = answerMethod(method);
    closeTraceFile();
    auditEnd(auditDestination());
    return status;
}

// After start-up, in a web server's run: the request's answer, by its method.
int answerRequest() {
    const char* method = getenv("REQUEST_METHOD");
    if (method != nullptr) return runCgi(method);
    printErrorPage("Enviroment variable REQUEST_METHOD is not being set by this web server", 0);
    closeTraceFile();
    return 0;
}

// Stores or removes settings, replays one request with its trace on the console (status 0), or
// checks a connection (the check's status).
int runCommandLine(int argc, char** argv) {
    char request[kReplayRequestSize] = {};
    int postFlag = 0;
    ConsoleChoice choice;
    int status = 0;
    auditBegin(AuditEvent::kConsole);
    processOptions(argc, argv, request, sizeof request, &postFlag, &choice);
    if (choice.check) {
        status = runConnectionCheck(choice.checkServer, choice.webUser);
    } else if (request[0] != '\0') {
        traceToConsole();
        if (postFlag != 0) {
            (void)doPostRequest(request);
        } else {
            (void)doGetRequest(request);
        }
    } else if (auditCurrent().fields.empty()) {
        auditCurrent().event = AuditEvent::kNone;  // nothing was changed or asked for
    }
    fflush(stdout);
    auditEnd(auditDestination());
    return status;
}

// What a process that serves many requests keeps from one to the next. Each piece is what a
// fresh run would read, read again only when its source has changed since.
struct Kept {
    std::optional<RegStoreHold> store;
    std::optional<OsFileStamp> product;  // a missing file has a stamp too
    RegStoreStamp optionsStamp;          // all zero until read, and then read again
    OptionsRecord options{};
};
Kept kept;

// Holds the store the environment names now, with its prepared statements, across requests.
void refreshStore() {
    if (regHeldStoreMoved()) kept.store.reset();
    if (kept.store && kept.store->held()) return;
    // Holds nothing while there is no store yet: the next request tries again.
    kept.store.emplace();
}

void refreshProductTexts() {
    OsFileStamp now = osFileStamp(kProductNameFile);
    if (kept.product == now) return;
    readProductNameFile();
    kept.product = now;
}

// The options as stored now; what this request changes in memory stays with this request.
void refreshOptions() {
    // Taken before the read: a change that lands meanwhile is read again by the next request.
    RegStoreStamp now = regStoreStamp();
    if (now == RegStoreStamp{} || now != kept.optionsStamp) {
        kept.options = OptionsRecord{};
        (void)psReadDefaultFile(&kept.options);
        kept.optionsStamp = now;
    }
    *optsP = kept.options;
}

// Allocates the options record once; false, with the error page written, when it cannot be.
bool haveOptionsRecord() {
    if (optsP == nullptr) optsP = static_cast<OptionsRecord*>(calloc(1, sizeof(OptionsRecord)));
    if (optsP != nullptr) return true;
    printErrorPage("No Memory!", 0);
    return false;
}

// Runs `answer`; when the C++ library finds no memory for it (or fails it in any other way), the
// request ends with its error page. Nothing of a page has been written by then: every writer of a
// page allocates nothing.
template <typename Answer>
int withinMemory(Answer answer) {
    try {
        return answer();
    } catch (const std::exception&) {
        closeTraceFile();
        printErrorPage("Out of Memory!", 0);
        return -1;
    }
}

// A console run by root acts as the owner of the settings folder, the user the web server runs the
// program as: whoever runs as that user can change the stored trace file name and what lies in the
// log folder, and root must not open, create or append to files that user points at. False when
// the identity could not be taken, said on standard error: then nothing may run.
bool actAsStoreOwner() {
    const std::string folder = regStoreFolder();
    const OsIdentityChange change = osTakeFolderOwner(folder.c_str());
    const char* name = change.userName.empty() ? "(no name)" : change.userName.c_str();
    if (change.failed) {
        fprintf(stderr,
                "korproxy: cannot take the identity of %s (user %lu), the owner of the settings "
                "folder %s: %s; nothing has been done.\n",
                name, change.user, folder.c_str(), strerror(change.error));
        return false;
    }
    if (change.changed) {
        fprintf(stderr,
                "korproxy: running as %s (user %lu, group %lu), the owner of the settings folder "
                "%s.\n",
                name, change.user, change.group, folder.c_str());
    }
    return true;
}

int runOnce(int argc, char** argv) {
    const bool console = getenv("REQUEST_METHOD") == nullptr;
    if (console && !actAsStoreOwner()) return 1;
    // The options now and the credentials later are read over one opening of the store.
    RegStoreHold store;
    readProductNameFile();
    if (!haveOptionsRecord()) return -1;
    (void)psReadDefaultFile(optsP);
    startTrace(*optsP);

    if (console && argc > 1) return withinMemory([&] { return runCommandLine(argc, argv); });
    return withinMemory(answerRequest);
}

}  // namespace

int korproxyServeRequest() {
    refreshStore();
    refreshProductTexts();
    if (!haveOptionsRecord()) return -1;
    refreshOptions();
    startTrace(*optsP);
    int status = withinMemory(answerRequest);
    writeProblems(stderr);
    return status;
}

void korproxyEndServing() {
    closeTraceFile();
    kept.store.reset();
    kept.product.reset();
    kept.optionsStamp = {};
}

int korproxyMain(int argc, char** argv) {
    int status = runOnce(argc, argv);
    // What kept the program from its store or its trace goes to the web server's error log (or
    // the console), after every page and message of the run.
    writeProblems(stderr);
    return status;
}
