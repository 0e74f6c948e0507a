// see korproxy_fastcgi.h: the POSIX side, on the FastCGI library's request API. The first process
// forks the workers and waits; each worker accepts connections on the inherited socket itself and
// hands each one to the library, which reads the request from it. The request's parameters become
// the process environment and its streams become stdin, stdout and stderr for the length of the
// request (the C library lets a program point them at streams of its own), so that the request
// code reads and writes exactly as it does in a CGI run.
#include <fcgiapp.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/limits.h"
#include "front/korproxy.h"
#include "front/korproxy_fastcgi.h"

namespace {

// A worker's status when the listening socket itself failed: the pool ends rather than replace it.
constexpr int kSocketFailed = 3;

volatile sig_atomic_t stopAsked = 0;
// /dev/null, open in each worker, to take the listening socket's place when a stop is asked.
int stopDescriptor = -1;

// SIGTERM or SIGINT in a worker: the request in hand is finished, an idle wait for the next one
// ends at once. The listening socket is shared with the other workers and with any other process
// the web server started on it, so it is never shut down: the worker's own descriptor of it is
// replaced by /dev/null instead, and an accept in progress, restarted after this handler, finds
// no socket there and fails.
void onWorkerStop(int) {
    stopAsked = 1;
    if (stopDescriptor >= 0) (void)dup2(stopDescriptor, STDIN_FILENO);
}

void installWorkerSignals() {
    stopDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction stop {};
    stop.sa_handler = onWorkerStop;
    stop.sa_flags = SA_RESTART;  // a request's reads and writes carry on undisturbed
    sigemptyset(&stop.sa_mask);
    (void)sigaction(SIGTERM, &stop, nullptr);
    (void)sigaction(SIGINT, &stop, nullptr);
    // A browser that went away closes the web server's side; the write fails, the process lives.
    (void)signal(SIGPIPE, SIG_IGN);
}

// The next connection from the web server, or -1 (errno kept) once a stop is asked or the socket
// failed. A connection given up before it was accepted, or a shortage of descriptors or memory,
// only delays the next one.
int acceptConnection() {
    while (stopAsked == 0) {
        int fd = accept4(STDIN_FILENO, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                (void)poll(nullptr, 0, 100);
                continue;
            default:
                return -1;
        }
    }
    return -1;
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

// One worker: connection after connection, one request at a time. Each connection is accepted
// here rather than by the library, so that a stop never waits in the library's accept and a web
// server that stops sending (half a request's parameters, half a body) frees the worker after the
// read time-out. The library is handed the connection as one kept from an earlier request, and
// its own listening socket is none, so it never accepts by itself: a connection that fails before
// its request is read is closed by the library and the worker accepts the next one.
int serveAsWorker() {
    if (FCGX_Init() != 0) return 1;
    // After the library's start-up, which puts handlers of its own in place.
    installWorkerSignals();
    FCGX_Request request;
    if (FCGX_InitRequest(&request, -1, 0) != 0) return 1;
    char** processEnv = environ;
    int status = 0;
    while (stopAsked == 0) {
        if (request.ipcFd < 0) {  // otherwise the web server keeps the connection for another
            int fd = acceptConnection();
            if (fd < 0) {
                status = stopAsked != 0 ? 0 : kSocketFailed;
                break;
            }
            const timeval limit{kFastcgiReadTimeoutSeconds, 0};
            (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            request.ipcFd = fd;
            request.keepConnection = 1;
        }
        if (FCGX_Accept_r(&request) != 0) continue;
        int answered = answer(request, processEnv);
        drainKeptInput(request);
        FCGX_SetExitStatus(answered, request.out);
        FCGX_Finish_r(&request);
    }
    FCGX_Free(&request, 1);
    korproxyEndServing();
    return status;
}

using Clock = std::chrono::steady_clock;

struct Worker {
    pid_t pid;
    Clock::time_point started;
};

// The pool's first process: starts the workers and replaces one that ends, until a stop is asked
// (passed on to every worker) or a worker finds the socket failed; then waits for every worker.
// It serves nothing and holds nothing of a request, so that each worker starts from a clean copy.
class Pool {
  public:
    Pool(int size, const sigset_t& workerMask) : size_(size), workerMask_(workerMask) {}

    // Returns in the first process with its exit status, or in a fresh worker with the worker's.
    int run() {
        for (;;) {
            if (!stopping_ && Clock::now() >= restartAt_) {
                while (static_cast<int>(workers_.size()) < size_) {
                    pid_t pid = fork();
                    if (pid == 0) return becomeWorker();
                    if (pid < 0) {
                        restartAt_ = Clock::now() + kPause;
                        break;
                    }
                    workers_.push_back({pid, Clock::now()});
                }
            }
            if (stopping_ && workers_.empty()) return socketFailed_ ? 1 : 0;
            waitForSignal();
            reapWorkers();
        }
    }

  private:
    static constexpr auto kPause = std::chrono::milliseconds(kFastcgiRestartPauseMillis);

    int becomeWorker() {
        // Ends with the first process, however that ends, rather than serve on unwatched.
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent_) return 0;
        (void)sigprocmask(SIG_SETMASK, &workerMask_, nullptr);
        return serveAsWorker();
    }

    void waitForSignal() {
        sigset_t watched;
        sigemptyset(&watched);
        for (int sig : {SIGCHLD, SIGTERM, SIGINT}) sigaddset(&watched, sig);
        int sig;
        bool missing = !stopping_ && static_cast<int>(workers_.size()) < size_;
        if (missing) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(restartAt_ - Clock::now());
            if (left.count() <= 0) return;
            timespec wait{static_cast<time_t>(left.count() / 1000000000),
                          static_cast<long>(left.count() % 1000000000)};
            sig = sigtimedwait(&watched, nullptr, &wait);
        } else {
            sig = sigwaitinfo(&watched, nullptr);
        }
        if ((sig == SIGTERM || sig == SIGINT) && !stopping_) stopAll();
    }

    void stopAll() {
        stopping_ = true;
        for (const Worker& w : workers_) (void)kill(w.pid, SIGTERM);
    }

    void reapWorkers() {
        int wstatus = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &wstatus, WNOHANG)) > 0) {
            auto found = std::find_if(workers_.begin(), workers_.end(),
                                      [pid](const Worker& w) { return w.pid == pid; });
            if (found == workers_.end()) continue;
            if (Clock::now() - found->started < kPause) restartAt_ = Clock::now() + kPause;
            workers_.erase(found);
            if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == kSocketFailed && !stopping_) {
                socketFailed_ = true;
                stopAll();
            }
        }
    }

    const int size_;
    const sigset_t workerMask_;
    const pid_t parent_ = getpid();
    std::vector<Worker> workers_;
    Clock::time_point restartAt_{};
    bool stopping_ = false;
    bool socketFailed_ = false;
};

}  // namespace

bool fastcgiListening() {
    int listening = 0;
    socklen_t size = sizeof listening;
    return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
           listening != 0;
}

int fastcgiServe() {
    const char* asked = getenv("KORPROXY_WORKERS");
    int size = fastcgiWorkerCount(asked);
    if (size == 0) {
        fprintf(stderr, "korproxy: KORPROXY_WORKERS=%s is not a number of workers; %d serve\n",
                asked, kDefaultFastcgiWorkers);
        size = kDefaultFastcgiWorkers;
    }
    // The first process takes its signals in turn, between waits; each worker gets them as they
    // come, with the mask the process was started with.
    sigset_t handled, workerMask;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT}) sigaddset(&handled, sig);
    if (sigprocmask(SIG_BLOCK, &handled, &workerMask) != 0) return 1;
    return Pool(size, workerMask).run();
}
