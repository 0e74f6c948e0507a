// A velk-sim process on a free loopback port and a proxy folder with its credentials stored, for
// whole-program tests against the simulator.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "front/korproxy_prodname.h"
#include "program_run.h"

namespace fronttest {

// One velk-sim process for a test, on a free port, stopped at the end.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> options) {
        std::vector<std::string> args = {
            KORPROXY_BIN_DIR "/velk-sim", "--listen", "127.0.0.1:0", "--admin-id", "admin",
            "--admin-password",           "secret",   "--log",       "/dev/null"};
        args.insert(args.end(), options.begin(), options.end());
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        pollfd ready{fds[0], POLLIN, 0};
        char c = 0;
        // The first line names the port; a simulator that says nothing in 10 s is given up.
        while (line.find('\n') == std::string::npos && poll(&ready, 1, 10000) == 1 &&
               read(fds[0], &c, 1) == 1) {
            line += c;
        }
        close(fds[0]);
        size_t colon = line.rfind(':');
        if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
            address_ = "127.0.0.1:" + line.substr(colon + 1, line.size() - colon - 2);
        }
    }
    ~Simulator() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& address() const { return address_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

struct Proxy {
    TempDir dir;
    explicit Proxy(const std::string& password = "secret") {
        copyShippedPages(dir);
        readProductNameFileAt(dir.file("prodname.txt").c_str());
        (void)runCommand(
            dir, {"-proxyId=admin", "-proxyPassword=" + password, "-cgiUrl=/cgi-bin/velkproxy"});
    }
};

}  // namespace fronttest
