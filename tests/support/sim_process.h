// The simulator as a child process for tests: one velk-sim listening on 127.0.0.1 with a port of
// the system's choosing, stopped and reaped when it goes out of scope, or one run to its end for
// the command line. Every wait is bounded (kSimWaitMillis); nothing here hangs.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace simtest {

inline constexpr int kSimWaitMillis = 10000;

// Reads `fd` to its end (or to its first line feed when `oneLine`). False after kSimWaitMillis of
// silence.
inline bool readFd(int fd, std::string* into, bool oneLine = false) {
    into->clear();
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, kSimWaitMillis) == 1) {
        ssize_t n = read(fd, buffer, oneLine ? 1 : sizeof buffer);
        if (n <= 0 || (oneLine && buffer[0] == '\n')) return true;
        into->append(buffer, static_cast<size_t>(n));
    }
    return false;
}

// Starts velk-sim with `args`, its standard output on `outFd` and, when given, its standard error
// on `errFd`.
inline pid_t spawnSim(const std::vector<std::string>& args, int outFd, int errFd) {
    static const std::string path = KORPROXY_BIN_DIR "/velk-sim";
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0) dup2(errFd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        static std::atomic<int> counter{0};
        logPath_ = "/tmp/velk-sim-test-" + std::to_string(getpid()) + "-" +
                   std::to_string(counter++) + ".log";
        args.insert(args.begin(), {"--listen", "127.0.0.1:0", "--log", logPath_});
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = spawnSim(args, out[1], -1);
        close(out[1]);
        std::string line;  // "listening on 127.0.0.1:PORT"
        (void)readFd(out[0], &line, true);
        close(out[0]);
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) == 0) port_ = std::stoi(line.substr(prefix.size()));
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        unlink(logPath_.c_str());
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool running() const { return port_ != 0; }
    std::string portText() const { return std::to_string(port_); }
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

// Runs velk-sim with `args` to its end; returns its exit status (-1 when it had to be killed),
// with standard output in *out and standard error in *err (mixed into *out when null).
inline int runSim(const std::vector<std::string>& args, std::string* out,
                  std::string* err = nullptr) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return -1;
    pid_t pid = spawnSim(args, outPipe[1], err != nullptr ? errPipe[1] : outPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    std::string ignored;
    bool ended = readFd(outPipe[0], out);
    ended = readFd(errPipe[0], err != nullptr ? err : &ignored) && ended;
    close(outPipe[0]);
    close(errPipe[0]);
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace simtest
