// The performance record's side-by-side runs: korproxy, its floor and desCbc alone, taken in turn
// round after round, so that a shared machine's changing speed falls on all three alike. (Runs of
// one command after another drift apart: this machine's speed moves by half from one minute to the
// next with what else runs on it.)
//
//   korproxy-sidebyside ROUNDS PAGE_BYTES -- PROXY [ARGS...] -- FLOOR [ARGS...]
//
// Each round runs PROXY once, then FLOOR once (both with this process's environment and standard
// output on /dev/null), then deciphers PAGE_BYTES bytes once with desCbc in this process. Five
// rounds before the counted ones warm the caches. Prints one line of medians, in milliseconds:
//   proxy_wall= proxy_cpu= floor_wall= floor_cpu= wall_ratio= cpu_ratio= des_cpu= beyond_cpu=
//   rest_cpu= beyond_ratio=
// where cpu is user + system time and, over the rounds, wall_ratio and cpu_ratio are the medians
// of korproxy's time over the floor's in the same round, beyond_cpu is the median of
// proxy_cpu - floor_cpu, rest_cpu the median of proxy_cpu - floor_cpu - des_cpu (what korproxy adds
// besides deciphering) and beyond_ratio the median of (proxy_cpu - floor_cpu) / des_cpu.
// Status 1 when a command fails or the arguments are wrong.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/des.h"

namespace {

constexpr int kWarmRounds = 5;
constexpr int kMaxRounds = 100000;
constexpr long kMaxPageBytes = 64L << 20;

struct RunTimes {
    double wallMs = 0;
    double cpuMs = 0;
};

double msOf(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}
double msOf(const timespec& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}
double clockMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return msOf(t);
}

// Runs argv with standard output on /dev/null; false when it could not run or did not exit 0.
bool runOnce(char* const* argv, RunTimes* times) {
    double start = clockMs(CLOCK_MONOTONIC);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(127);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    times->wallMs = clockMs(CLOCK_MONOTONIC) - start;
    times->cpuMs = msOf(usage.ru_utime) + msOf(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    std::vector<double> proxyWall, proxyCpu, floorWall, floorCpu, wallRatio, cpuRatio, desCpu,
        beyondCpu, restCpu, beyondRatio;
};

int usage() {
    std::fputs(
        "usage: korproxy-sidebyside ROUNDS PAGE_BYTES -- PROXY [ARGS...] -- FLOOR [ARGS...]\n",
        stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || std::strcmp(argv[3], "--") != 0) return usage();
    int rounds = std::atoi(argv[1]);
    long pageBytes = std::atol(argv[2]);
    if (rounds < 1 || rounds > kMaxRounds || pageBytes < 8 || pageBytes > kMaxPageBytes) {
        return usage();
    }
    // Split the rest at the second "--" into two null-terminated argument lists.
    std::vector<char*> proxy, floor;
    int i = 4;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) proxy.push_back(argv[i]);
    for (++i; i < argc; ++i) floor.push_back(argv[i]);
    if (proxy.empty() || floor.empty()) return usage();
    proxy.push_back(nullptr);
    floor.push_back(nullptr);

    uint32_t key[2] = {0x79573413, 0xF1DFBC9B};
    DesKeySchedule* schedule = nullptr;
    if (desAllocKey(key, &schedule) != 0) return 1;
    std::vector<unsigned char> page(static_cast<size_t>(pageBytes));
    for (size_t b = 0; b < page.size(); ++b) page[b] = static_cast<unsigned char>(b * 131 + 7);

    Series s;
    for (int round = 0; round < kWarmRounds + rounds; ++round) {
        RunTimes p, f;
        if (!runOnce(proxy.data(), &p) || !runOnce(floor.data(), &f)) {
            std::fprintf(stderr, "korproxy-sidebyside: a command failed in round %d\n", round);
            desFreeKey(schedule);
            return 1;
        }
        double start = clockMs(CLOCK_THREAD_CPUTIME_ID);
        desCbc(schedule, DES_DECIPHER, desFixedIv(), page.data(), static_cast<uint32_t>(pageBytes));
        double des = clockMs(CLOCK_THREAD_CPUTIME_ID) - start;
        if (round < kWarmRounds) continue;
        s.proxyWall.push_back(p.wallMs);
        s.proxyCpu.push_back(p.cpuMs);
        s.floorWall.push_back(f.wallMs);
        s.floorCpu.push_back(f.cpuMs);
        s.wallRatio.push_back(p.wallMs / f.wallMs);
        s.cpuRatio.push_back(p.cpuMs / f.cpuMs);
        s.desCpu.push_back(des);
        s.beyondCpu.push_back(p.cpuMs - f.cpuMs);
        s.restCpu.push_back(p.cpuMs - f.cpuMs - des);
        s.beyondRatio.push_back((p.cpuMs - f.cpuMs) / des);
    }
    desFreeKey(schedule);
    std::printf(
        "proxy_wall=%.2f proxy_cpu=%.2f floor_wall=%.2f floor_cpu=%.2f wall_ratio=%.2f "
        "cpu_ratio=%.2f des_cpu=%.2f beyond_cpu=%.2f rest_cpu=%.2f beyond_ratio=%.3f\n",
        median(s.proxyWall), median(s.proxyCpu), median(s.floorWall), median(s.floorCpu),
        median(s.wallRatio), median(s.cpuRatio), median(s.desCpu), median(s.beyondCpu),
        median(s.restCpu), median(s.beyondRatio));
    return 0;
}
