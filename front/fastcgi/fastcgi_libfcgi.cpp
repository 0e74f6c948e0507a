// see korproxy_fastcgi.h: the POSIX side, on the FastCGI library's request API. The request's
// parameters become the process environment and its streams become stdin, stdout and stderr for
// the length of the request (the C library lets a program point them at streams of its own), so
// that the request code reads and writes exactly as it does in a CGI run.
#include <fcgiapp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "common/limits.h"
#include "front/korproxy.h"
#include "front/korproxy_fastcgi.h"

namespace {

volatile sig_atomic_t stopAsked = 0;
volatile sig_atomic_t serving = 0;

// SIGTERM: the request in hand is finished; an idle wait for the next one ends at once, since a
// listening socket that is shut down wakes its accept.
void onTerminate(int) {
    stopAsked = 1;
    FCGX_ShutdownPending();
    if (serving == 0) (void)shutdown(STDIN_FILENO, SHUT_RDWR);
}

void installSignals() {
    struct sigaction term {};
    term.sa_handler = onTerminate;
    term.sa_flags = SA_RESTART;  // a request's reads and writes carry on undisturbed
    sigemptyset(&term.sa_mask);
    (void)sigaction(SIGTERM, &term, nullptr);
    // A browser that went away closes the web server's side; the write fails, the process lives.
    (void)signal(SIGPIPE, SIG_IGN);
}

// The variables of a request that only the request may set: the process's own copies (a spawner
// may have passed some along) would stand in for ones a request leaves out.
bool isRequestVariable(const char* entry) {
    static constexpr const char* kNames[] = {
        "AUTH_TYPE=",   "CONTENT_LENGTH=",  "CONTENT_TYPE=",    "GATEWAY_INTERFACE=",
        "PATH_INFO=",   "PATH_TRANSLATED=", "QUERY_STRING=",    "REMOTE_ADDR=",
        "REMOTE_HOST=", "REMOTE_IDENT=",    "REMOTE_USER=",     "REQUEST_METHOD=",
        "REQUEST_URI=", "SCRIPT_NAME=",     "SCRIPT_FILENAME=", "SERVER_NAME=",
        "SERVER_PORT=", "SERVER_PROTOCOL=", "SERVER_SOFTWARE=", "HTTPS=",
        "HTTP_"};
    return std::any_of(std::begin(kNames), std::end(kNames), [entry](const char* name) {
        return strncmp(entry, name, strlen(name)) == 0;
    });
}

// The request's parameters first, then the rest of the process's environment; empty when there is
// no memory for the list.
std::vector<char*> requestEnvironment(char** params, char** processEnv) {
    std::vector<char*> env;
    try {
        for (char** p = params; p != nullptr && *p != nullptr; ++p) env.push_back(*p);
        for (char** p = processEnv; p != nullptr && *p != nullptr; ++p) {
            if (!isRequestVariable(*p)) env.push_back(*p);
        }
        env.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        env.clear();
    }
    return env;
}

ssize_t writeToRequest(void* cookie, const char* data, size_t size) {
    auto* stream = static_cast<FCGX_Stream*>(cookie);
    size_t done = 0;
    while (done < size) {
        int piece = static_cast<int>(std::min<size_t>(size - done, INT_MAX));
        int n = FCGX_PutStr(data + done, piece, stream);
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t readFromRequest(void* cookie, char* data, size_t size) {
    int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
    return FCGX_GetStr(data, piece, static_cast<FCGX_Stream*>(cookie));
}

// One accepted request, answered through the request code with its own environment and streams;
// what the program says for the error log goes to the request's error stream, which the web
// server logs.
int answer(FCGX_Request& request, char** processEnv) {
    FILE* out = fopencookie(request.out, "w", {nullptr, writeToRequest, nullptr, nullptr});
    FILE* err = fopencookie(request.err, "w", {nullptr, writeToRequest, nullptr, nullptr});
    FILE* in = fopencookie(request.in, "r", {readFromRequest, nullptr, nullptr, nullptr});
    std::vector<char*> env = requestEnvironment(request.envp, processEnv);
    if (out == nullptr || err == nullptr || in == nullptr || env.empty()) {
        for (FILE* stream : {out, err, in}) {
            if (stream != nullptr) fclose(stream);
        }
        FCGX_PutS("Status: 500\r\nContent-type: text/plain\r\n\r\nOut of memory\n", request.out);
        return -1;
    }
    FILE* savedOut = stdout;
    FILE* savedErr = stderr;
    FILE* savedIn = stdin;
    environ = env.data();
    stdout = out;
    stderr = err;
    stdin = in;
    int status = korproxyServeRequest();
    fclose(out);  // its last bytes go to the request before it ends
    fclose(err);
    fclose(in);
    stdout = savedOut;
    stderr = savedErr;
    stdin = savedIn;
    environ = processEnv;
    return status;
}

// On a kept connection the next request follows this one's body: what the request code left of
// the body is read and dropped, up to kMaxUnreadBody; with more left the connection ends with the
// request instead. (A connection that ends is the library's to drain as it closes.)
void drainKeptInput(FCGX_Request& request) {
    if (request.keepConnection == 0) return;
    char chunk[16384];
    for (size_t dropped = 0; dropped <= kMaxUnreadBody;) {
        size_t piece = std::min(sizeof chunk, kMaxUnreadBody + 1 - dropped);
        int n = FCGX_GetStr(chunk, static_cast<int>(piece), request.in);
        if (n <= 0) return;
        dropped += static_cast<size_t>(n);
    }
    request.keepConnection = 0;
}

}  // namespace

bool fastcgiListening() {
    int listening = 0;
    socklen_t size = sizeof listening;
    return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
           listening != 0;
}

int fastcgiServe() {
    if (FCGX_Init() != 0) return 1;
    installSignals();  // after the library's start-up, which puts handlers of its own in place
    FCGX_Request request;
    if (FCGX_InitRequest(&request, STDIN_FILENO, 0) != 0) return 1;
    char** processEnv = environ;
    while (stopAsked == 0 && FCGX_Accept_r(&request) == 0) {
        serving = 1;
        int status = answer(request, processEnv);
        drainKeptInput(request);
        FCGX_SetExitStatus(status, request.out);
        FCGX_Finish_r(&request);
        serving = 0;
    }
    FCGX_Free(&request, 1);
    korproxyEndServing();
    return 0;
}
