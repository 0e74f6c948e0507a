// Runs the built korproxy as the web server or a console would: a real process in a folder of its
// own with a store of its own, a controlled environment, a given standard input, and every byte it
// writes to standard output captured.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "front_testing.h"

namespace fronttest {

struct ProgramRun {
    int status = -1;  // the exit status (0-255), or -1 when the process did not exit normally
    std::string out;
};

// The whole of `path`'s folder: the program's templates and product file, copied from the tree.
inline void copyShippedPages(const TempDir& dir) {
    for (const char* name : {"pxyjump.html", "pxycfgform.html", "prodname.txt"}) {
        writeFile(dir.file(name), readFile(std::string(KORPROXY_SOURCE_DIR "/web/") + name));
    }
}

// Runs korproxy in `dir` with only `env` set (plus KORPROXY_REGISTRY inside `dir`) and `input` on
// standard input.
inline ProgramRun runKorproxy(const TempDir& dir, std::vector<std::string> env,
                              std::vector<std::string> args, const std::string& input = "") {
    env.push_back("KORPROXY_REGISTRY=" + dir.file("registry.db"));
    args.insert(args.begin(), KORPROXY_BIN_DIR "/korproxy");
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::string inputPath = dir.file(".stdin");
    writeFile(inputPath, input);
    ProgramRun run;
    int fds[2];
    if (pipe(fds) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        int in = open(inputPath.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, STDIN_FILENO) < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    char chunk[65536];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, n);
    close(fds[0]);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    return run;
}

// A CGI GET request with `query` as QUERY_STRING.
inline ProgramRun runGet(const TempDir& dir, const std::string& query,
                         std::vector<std::string> env = {}) {
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=" + query);
    return runKorproxy(dir, env, {});
}

// A CGI POST request with `body` on standard input and its length in CONTENT_LENGTH, unless
// `contentLength` names another.
inline ProgramRun runPost(const TempDir& dir, const std::string& body,
                          const std::string& contentLength = "") {
    std::vector<std::string> env = {"REQUEST_METHOD=POST"};
    env.push_back("CONTENT_LENGTH=" +
                  (contentLength.empty() ? std::to_string(body.size()) : contentLength));
    return runKorproxy(dir, env, {}, body);
}

// Stores settings or credentials through the program's own command line.
inline ProgramRun runCommand(const TempDir& dir, std::vector<std::string> args) {
    return runKorproxy(dir, {}, std::move(args));
}

}  // namespace fronttest
