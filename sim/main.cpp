// velk-sim: a storage-management server for the proxy to talk to, a connection to a thread.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/trace.h"
#include "sim/simopts.h"
#include "sim/simsess.h"

static constexpr const char kTraceSource[] = "velk-sim";

namespace {

// Connections served at once; further clients wait in the listen backlog until one ends.
constexpr int kMaxConnections = 64;
constexpr int kListenBacklog = 128;
// Pause after an accept that failed for want of descriptors, so the loop does not spin.
constexpr std::chrono::milliseconds kBackoff{100};

std::atomic<unsigned> lastId{0};

[[nodiscard]] bool resolveHost(const std::string& host, in_addr* out) {
    if (inet_pton(AF_INET, host.c_str(), out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Opens the listening socket. Returns it, or -1 with the reason on standard error.
int listenOn(const SimOptions& options, sockaddr_in* bound) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (!resolveHost(options.host, &address.sin_addr)) {
        fprintf(stderr, "velk-sim: cannot resolve %s\n", options.host.c_str());
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        fprintf(stderr, "velk-sim: cannot listen on %s:%u: %s\n", options.host.c_str(),
                options.port, strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    socklen_t size = sizeof *bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(bound), &size) != 0) *bound = address;
    return fd;
}

// One of the server's threads: takes the next connection from the listening socket and serves
// it, for ever. The threads wait in accept side by side, so a connection is taken by a thread that
// is already running: a thread started for each connection held up its first answer (about a
// tenth of a millisecond, which a client's timing then counted as its own).
[[noreturn]] void acceptAndServe(int listener, const SimOptions* options) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        int fd = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &size);
        if (fd < 0) {
            int error = errno;
            if (error != EINTR) TRACE("(%s, %d) accept failed: %s\n", TRACE_AT, strerror(error));
            if (error == EMFILE || error == ENFILE) std::this_thread::sleep_for(kBackoff);
            continue;
        }
        unsigned id = ++lastId;
        // Every answer leaves as soon as it is written: the page right behind its response line
        // would otherwise wait for the client's delayed acknowledgement of that line.
        int noDelay = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        char host[INET_ADDRSTRLEN] = "?";
        (void)inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
        TRACE("(%s, %d) #%u connection from %s:%u\n", TRACE_AT, id, host, ntohs(peer.sin_port));
        serveConnection(fd, id, *options);
    }
}

// Serves with kMaxConnections threads; further clients wait in the listen backlog until one ends.
[[noreturn]] void serve(int listener, const SimOptions& options) {
    for (int i = 1; i < kMaxConnections; ++i) {
        try {
            std::thread(acceptAndServe, listener, &options).detach();
        } catch (const std::system_error& e) {
            TRACE("(%s, %d) serving with %d threads: %s\n", TRACE_AT, i, e.what());
            break;
        }
    }
    acceptAndServe(listener, &options);
}

// Prints the page a command gets, as a session would encipher it, without listening.
int printPage(const SimOptions& options) {
    in_addr address{};
    char host[INET_ADDRSTRLEN] = "?";
    if (!resolveHost(options.host, &address) ||
        inet_ntop(AF_INET, &address, host, sizeof host) == nullptr) {
        fprintf(stderr, "velk-sim: cannot resolve %s\n", options.host.c_str());
        return 2;
    }
    SiteContext site{std::string(host) + ":" + std::to_string(options.port), options.adminId,
                     options.ebcdic};
    SiteAnswer answer = answerCommandText(options.printPage, site, options);
    fprintf(stderr, "%s %zu\n", answer.rc.c_str(), answer.page.size());
    if (fwrite(answer.page.data(), 1, answer.page.size(), stdout) != answer.page.size() ||
        fflush(stdout) != 0) {
        return 2;
    }
    return answer.rc == "RC_OK" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    static SimOptions options;
    std::string message;
    switch (simParseOptions(argc, argv, &options, &message)) {
        case SimParse::kHelp:
            fputs(simHelpText(), stdout);
            return 0;
        case SimParse::kError:
            fprintf(stderr, "velk-sim: %s (see velk-sim --help)\n", message.c_str());
            return 2;
        case SimParse::kRun:
            break;
    }
    if (!options.printPage.empty()) return printPage(options);
    traceFp = stderr;
    if (!options.logFile.empty()) {
        traceFp = fopen(options.logFile.c_str(), "a");
        if (traceFp == nullptr) {
            fprintf(stderr, "velk-sim: cannot open %s: %s\n", options.logFile.c_str(),
                    strerror(errno));
            return 1;
        }
    }
    sockaddr_in bound{};
    int listener = listenOn(options, &bound);
    if (listener < 0) return 1;
    char host[INET_ADDRSTRLEN] = "?";
    (void)inet_ntop(AF_INET, &bound.sin_addr, host, sizeof host);
    printf("listening on %s:%u\n", host, ntohs(bound.sin_port));
    fflush(stdout);
    TRACE("(%s, %d) listening on %s:%u as administrator %s\n", TRACE_AT, host,
          ntohs(bound.sin_port), options.adminId.c_str());
    serve(listener, options);
}
