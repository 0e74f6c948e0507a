// The built programs as child processes of a test: korproxy run once to its end (as the web server
// or a console runs it) or kept as a FastCGI application, velk-sim listening on 127.0.0.1 with a
// port of the system's choosing or run once for its command line. Every wait is bounded: a child
// silent for kSilenceMillis is killed, one that does not end kEndMillis after it was asked to is
// killed, and nothing here hangs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fastcgi_client.h"

extern char** environ;

namespace proctest {

inline constexpr int kSilenceMillis = 60000;
inline constexpr int kEndMillis = 10000;
inline constexpr char kKorproxy[] = KORPROXY_BIN_DIR "/korproxy";
inline constexpr char kSimulator[] = KORPROXY_BIN_DIR "/velk-sim";

// Pointers to `texts`, ended by a null one, as execve takes them; laid out before a fork.
inline std::vector<char*> cStrings(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// In a child: becomes the program argv[0] with `envp` (the test's own environment when it is
// empty), or returns 127.
inline int execProgram(std::vector<char*>& argv, std::vector<char*>& envp) {
    execve(argv[0], argv.data(), envp.size() > 1 ? envp.data() : environ);
    return 127;
}

struct ProgramRun {
    int status = -1;  // the exit status (0-255), or -1 when the process did not exit normally
    std::string out;
    std::string err;  // what it wrote to standard error
};

// Forks a child with `in`, `out` and `err` as its standard streams (-1 keeps the test's); the
// child ends with what `child` returns. Descriptors the test opens with O_CLOEXEC stay out of it.
inline pid_t forkChild(int in, int out, int err, const std::function<int()>& child) {
    fflush(stdout);  // or the child writes the test's own pending output again
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        const int streams[] = {in, out, err};  // for descriptors 0, 1 and 2
        for (int fd = 0; fd < 3; ++fd) {
            if (streams[fd] >= 0) dup2(streams[fd], fd);
        }
        _exit(child() & 0xFF);
    }
    return pid;
}

// Waits for `pid` to end, at most kEndMillis before it is killed. Returns its exit status, or -1
// when it did not exit by itself.
inline int awaitEnd(pid_t pid) {
    int wstatus = 0;
    for (int waited = 0; pid > 0 && waited < kEndMillis; waited += 10) {
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        }
        poll(nullptr, 0, 10);
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

// Reads `fd` to its end (or its first line feed when `oneLine`). False after kSilenceMillis of
// silence.
inline bool readAll(int fd, std::string* into, bool oneLine = false) {
    char chunk[65536];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, kSilenceMillis) == 1) {
        ssize_t n = read(fd, chunk, oneLine ? 1 : sizeof chunk);
        if (n <= 0 || (oneLine && chunk[0] == '\n')) return true;
        into->append(chunk, static_cast<size_t>(n));
    }
    return false;
}

// Runs `child` in a forked process with `input` on its standard input; returns what it wrote to
// standard output and standard error and its result as the exit status.
inline ProgramRun runChild(const std::string& input, const std::function<int()>& child) {
    ProgramRun run;
    FILE* in = tmpfile();
    FILE* err = tmpfile();
    int out[2];
    if (in == nullptr || err == nullptr || pipe2(out, O_CLOEXEC) != 0) return run;
    fwrite(input.data(), 1, input.size(), in);
    fflush(in);
    rewind(in);
    pid_t pid = forkChild(fileno(in), out[1], fileno(err), child);
    fclose(in);
    close(out[1]);
    if (!readAll(out[0], &run.out)) kill(pid, SIGKILL);
    close(out[0]);
    run.status = awaitEnd(pid);
    rewind(err);
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, err)) > 0;) run.err.append(chunk, n);
    fclose(err);
    return run;
}

// Runs the program args[0] in `dir` (the test's own when empty) to its end.
inline ProgramRun runProgram(std::vector<std::string> args, std::vector<std::string> env = {},
                             const std::string& input = "", const std::string& dir = "") {
    std::vector<char*> argv = cStrings(args), envp = cStrings(env);
    return runChild(input, [&] {
        if (!dir.empty() && chdir(dir.c_str()) != 0) return 126;
        return execProgram(argv, envp);
    });
}

// One velk-sim listening on 127.0.0.1, stopped and reaped when it goes out of scope.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        static std::atomic<int> counter{0};
        logPath_ = "/tmp/velk-sim-test-" + std::to_string(getpid()) + "-" +
                   std::to_string(counter++) + ".log";
        args.insert(args.begin(), {kSimulator, "--listen", "127.0.0.1:0", "--log", logPath_});
        std::vector<std::string> noEnv;
        std::vector<char*> argv = cStrings(args), envp = cStrings(noEnv);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = forkChild(-1, out[1], -1, [&] { return execProgram(argv, envp); });
        close(out[1]);
        std::string line;  // "listening on 127.0.0.1:PORT"
        (void)readAll(out[0], &line, true);
        close(out[0]);
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.starts_with(prefix)) port_ = std::stoi(line.substr(prefix.size()));
    }
    ~SimProcess() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        (void)awaitEnd(pid_);
        unlink(logPath_.c_str());
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool running() const { return port_ != 0; }
    std::string portText() const { return std::to_string(port_); }
    std::string address() const { return "127.0.0.1:" + portText(); }
    std::string log() const {
        std::ostringstream text;
        text << std::ifstream(logPath_).rdbuf();
        return text.str();
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string logPath_;
};

struct FastcgiServer {
    pid_t pid = -1;
    std::string socket;
};

// A fresh listening socket at `path`, or -1.
inline int listenAt(const std::string& path) {
    sockaddr_un address{};
    int fd =
        fcgitest::unixAddress(path, &address) ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                    listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Starts korproxy in `dir` as a FastCGI application on the listening socket `fd` (the caller's
// stays open): the socket as its standard input, only `env` in its environment, standard error
// shared with the test, and its address space limited to `addressSpace` bytes when that is not 0.
inline pid_t startFastcgiOn(int fd, const std::string& dir, std::vector<std::string> env,
                            rlim_t addressSpace = 0) {
    std::vector<std::string> args{kKorproxy};
    std::vector<char*> argv = cStrings(args), envp = cStrings(env);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = forkChild(fd, null, -1, [&] {
        const rlimit limit{addressSpace, addressSpace};
        if (chdir(dir.c_str()) != 0) return 126;
        if (addressSpace != 0 && setrlimit(RLIMIT_AS, &limit) != 0) return 126;
        return execProgram(argv, envp);
    });
    close(null);
    return pid;
}

// Starts korproxy in `dir` on a fresh listening socket beside the folder.
inline FastcgiServer startFastcgi(const std::string& dir, std::vector<std::string> env,
                                  rlim_t addressSpace = 0) {
    FastcgiServer server{-1, dir + ".sock"};
    int fd = listenAt(server.socket);
    if (fd < 0) return server;
    server.pid = startFastcgiOn(fd, dir, std::move(env), addressSpace);
    close(fd);
    return server;
}

// The workers of the pool whose first process is `pid`, once there are `expected` of them (at most
// five seconds later).
inline std::vector<pid_t> fastcgiWorkers(pid_t pid, size_t expected) {
    const std::string list =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    std::vector<pid_t> workers;
    for (int waited = 0; waited < 5000; waited += 10) {
        workers.clear();
        std::ifstream children(list);
        for (pid_t child; children >> child;) workers.push_back(child);
        if (workers.size() == expected) break;
        poll(nullptr, 0, 10);
    }
    return workers;
}

// Asks the process to stop (SIGTERM) and waits for it (awaitEnd).
inline int stopFastcgi(const FastcgiServer& server) {
    unlink(server.socket.c_str());
    if (server.pid <= 0) return -1;
    kill(server.pid, SIGTERM);
    return awaitEnd(server.pid);
}

// One FastCGI request with `env` as its parameters and `input` as its body, on a connection of
// its own to `server`: the request's output and status.
inline ProgramRun runFastcgiRequest(const FastcgiServer& server,
                                    const std::vector<std::string>& env,
                                    const std::string& input = "") {
    fcgitest::Answer answer = fcgitest::Connection(server.socket).request(env, input);
    return {answer.ended ? static_cast<int>(answer.status & 0xFF) : -1, answer.out, answer.err};
}

}  // namespace proctest
