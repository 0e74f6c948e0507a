// The performance record's memory figure: a run's private memory at its peak. Runs COMMAND with
// its standard output on a pipe and samples RssAnon in /proc/PID/status (the process's own pages:
// heap, stack, the page it holds; not the program file's pages, which every running copy shares)
// while it runs: every 200 µs while nothing arrives, and between reads of the pipe. The output is
// read and dropped 4 KiB at a time, so a program that writes a page it holds is sampled over and
// over while it holds it.
//
//   korproxy-peakmem COMMAND [ARGS...]
//
// The command runs with this process's environment and standard input. Prints the largest sample
// in KiB. Status 1 when the command fails, runs longer than a minute, or was never sampled.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kSampleNs = 200000;
constexpr double kMaxSeconds = 60;
constexpr size_t kReadBytes = 4096;

// RssAnon of `pid` in KiB; -1 once the process is gone (or a zombie, which has none).
long rssAnonKib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[8192];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return -1;
    text[n] = '\0';
    const char* field = std::strstr(text, "\nRssAnon:");
    return field != nullptr ? std::strtol(field + 9, nullptr, 10) : -1;
}

double seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

pid_t start(char** command, int* output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execvp(command[0], command);
        _exit(127);
    }
    close(fds[1]);
    *output = fds[0];
    return pid;
}

// Samples `pid` until its output ends; the peak, or -1 when the run took too long.
long samplePeak(pid_t pid, int output) {
    long peak = -1;
    char sink[kReadBytes];
    const double end = seconds() + kMaxSeconds;
    const timespec wait{0, kSampleNs};
    while (seconds() < end) {
        peak = std::max(peak, rssAnonKib(pid));
        pollfd ready{output, POLLIN, 0};
        if (ppoll(&ready, 1, &wait, nullptr) <= 0) continue;
        const ssize_t n = read(output, sink, sizeof sink);
        if (n == 0 || (n < 0 && errno != EINTR)) return peak;
    }
    kill(pid, SIGKILL);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: korproxy-peakmem COMMAND [ARGS...]\n");
        return 1;
    }
    int output = -1;
    const pid_t pid = start(argv + 1, &output);
    if (pid < 0) return 1;
    const long peak = samplePeak(pid, output);
    close(output);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "korproxy-peakmem: %s failed\n", argv[1]);
        return 1;
    }
    if (peak < 0) return 1;
    std::printf("%ld\n", peak);
    return 0;
}
