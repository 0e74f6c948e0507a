// Helpers of the front-end tests: a temporary folder, whole files, the text a writer puts on a
// stream, the pages the program must write, and the built korproxy run as the web server or a
// console would (a real process in a folder of its own with a store of its own).
//
// With KORPROXY_TEST_FASTCGI set, every run as the web server's goes instead as a FastCGI request
// to one long-lived korproxy per program folder, so that state one request leaves behind shows in
// the next; the process must end cleanly when its folder goes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "front/korproxy_template.h"
#include "settings/psopts.h"
#include "settings/pssec.h"

namespace fronttest {

inline constexpr char kFastcgiClient[] = "/usr/bin/cgi-fcgi";

// A program, its arguments and its whole environment, laid out for execve before a fork.
struct ExecLine {
    std::vector<std::string> args, env;
    std::vector<char*> argv, envp;
    ExecLine(std::vector<std::string> a, std::vector<std::string> e)
        : args(std::move(a)), env(std::move(e)) {
        for (auto& x : args) argv.push_back(x.data());
        for (auto& x : env) envp.push_back(x.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
    ExecLine(const ExecLine&) = delete;  // argv and envp point into this object's own texts
    // In the child: becomes the program, or returns 127.
    int exec() {
        execve(argv[0], argv.data(), envp.data());
        return 127;
    }
};

struct FastcgiServer {
    pid_t pid = -1;
    std::string socket;
};

// The long-lived processes of this test program, by program folder.
inline std::map<std::string, FastcgiServer>& fastcgiServers() {
    static std::map<std::string, FastcgiServer> servers;
    return servers;
}

// A fresh listening socket at `path`, or -1.
inline int listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Starts korproxy in `dir` as a FastCGI application on the listening socket `fd` (the caller's
// stays open): the socket as its standard input, only `env` in its environment (one worker unless
// `env` says otherwise), standard error shared with the test, and its address space limited to
// `addressSpace` bytes when that is not 0.
inline pid_t startFastcgiOn(int fd, const std::string& dir, std::vector<std::string> env,
                            rlim_t addressSpace = 0) {
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& e) { return e.starts_with("KORPROXY_WORKERS="); })) {
        env.push_back("KORPROXY_WORKERS=1");
    }
    ExecLine program({KORPROXY_BIN_DIR "/korproxy"}, std::move(env));
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, STDIN_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (chdir(dir.c_str()) != 0) _exit(126);
        const rlimit limit{addressSpace, addressSpace};
        if (addressSpace != 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        _exit(program.exec());
    }
    return pid;
}

// Starts korproxy in `dir` on a fresh listening socket beside the folder.
inline FastcgiServer startFastcgi(const std::string& dir, std::vector<std::string> env,
                                  rlim_t addressSpace = 0) {
    FastcgiServer server;
    server.socket = dir + ".sock";
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

// Waits for `pid` to end, at most ten seconds before it is killed. Returns its exit status, or -1
// when it did not exit by itself.
inline int awaitEnd(pid_t pid) {
    int wstatus = 0;
    for (int waited = 0; waited < 10000; waited += 10) {
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        }
        poll(nullptr, 0, 10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Asks the process to stop (SIGTERM) and waits for it (awaitEnd).
inline int stopFastcgi(const FastcgiServer& server) {
    unlink(server.socket.c_str());
    if (server.pid <= 0) return -1;
    kill(server.pid, SIGTERM);
    return awaitEnd(server.pid);
}

// Stops the long-lived process of `dir`, if there is one, and expects a clean end.
inline void endFastcgiFor(const std::string& dir) {
    auto found = fastcgiServers().find(dir);
    if (found == fastcgiServers().end()) return;
    EXPECT_EQ(stopFastcgi(found->second), 0) << "the long-lived korproxy of " << dir;
    fastcgiServers().erase(found);
}

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    std::filesystem::path path_ = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "korproxy-XXXXXX").string();
        return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    ~TempDir() {
        endFastcgiFor(path_.string());
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything `write` puts on the stream it is given.
inline std::string captured(const std::function<void(FILE*)>& write) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    if (out == nullptr) return "<no memstream>";
    write(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

// The error page printErrorPage writes with `opts` as the stored options.
inline std::string errorPage(const std::string& message, int32_t code, OptionsRecord opts = {}) {
    OptionsRecord* saved = optsP;
    optsP = &opts;
    std::string page = captured([&](FILE* out) { printErrorPageTo(out, message.c_str(), code); });
    optsP = saved;
    return page;
}

// The template text rendered as the program renders its pages.
inline std::string rendered(std::string text, bool setupForm, const TemplateValues& values) {
    return captured([&](FILE* out) {
        FILE* in = text.empty() ? fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
        if (in == nullptr) return;
        renderTemplate(in, out, setupForm, values);
        fclose(in);
    });
}

struct ProgramRun {
    int status = -1;  // the exit status (0-255), or -1 when the process did not exit normally
    std::string out;
    std::string err;  // what it wrote to standard error
};

// Runs `child` in a forked process with `input` on its standard input; returns what it wrote to
// standard output and standard error and its result as the exit status.
inline ProgramRun runChild(const std::string& input, const std::function<int()>& child) {
    ProgramRun run;
    FILE* in = tmpfile();
    FILE* err = tmpfile();
    int fds[2];
    if (in == nullptr || err == nullptr || pipe(fds) != 0) return run;
    fwrite(input.data(), 1, input.size(), in);
    fflush(in);
    rewind(in);
    fflush(stdout);  // or the child writes the test's own pending output again
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(in), STDIN_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        _exit(child() & 0xFF);
    }
    fclose(in);
    close(fds[1]);
    char chunk[65536];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, n);
    close(fds[0]);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    rewind(err);
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, err)) > 0;) run.err.append(chunk, n);
    fclose(err);
    return run;
}

// One FastCGI request with `env` as its parameters and `input` as its body, through the Debian
// client, to `server`; its result is the client's: the request's output and status.
inline ProgramRun runFastcgiRequest(const FastcgiServer& server, std::vector<std::string> env,
                                    const std::string& input = "") {
    ExecLine client({kFastcgiClient, "-bind", "-connect", server.socket}, std::move(env));
    return runChild(input, [&] { return client.exec(); });
}

inline bool viaFastcgi() {
    static const bool on = getenv("KORPROXY_TEST_FASTCGI") != nullptr;
    return on;
}

// Runs korproxy in `dir` with only `env` set (plus KORPROXY_REGISTRY inside `dir`).
inline ProgramRun runKorproxy(const TempDir& dir, std::vector<std::string> env,
                              std::vector<std::string> args, const std::string& input = "") {
    env.push_back("KORPROXY_REGISTRY=" + dir.file("registry.db"));
    bool webRun = args.empty() || std::any_of(env.begin(), env.end(), [](const std::string& e) {
                      return e.starts_with("REQUEST_METHOD=");
                  });
    if (viaFastcgi() && webRun) {
        auto [at, added] = fastcgiServers().try_emplace(dir.path().string());
        if (added) at->second = startFastcgi(at->first, {env.back()});
        return runFastcgiRequest(at->second, env, input);
    }
    args.insert(args.begin(), KORPROXY_BIN_DIR "/korproxy");
    ExecLine program(std::move(args), std::move(env));
    return runChild(input, [&] {
        if (chdir(dir.path().c_str()) != 0) return 126;
        return program.exec();
    });
}

inline ProgramRun runGet(const TempDir& dir, const std::string& query,
                         std::vector<std::string> env = {}) {
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=" + query);
    return runKorproxy(dir, env, {});
}

// `body` on standard input, its length in CONTENT_LENGTH unless `contentLength` names another.
inline ProgramRun runPost(const TempDir& dir, const std::string& body,
                          const std::string& contentLength = "") {
    std::string length = contentLength.empty() ? std::to_string(body.size()) : contentLength;
    return runKorproxy(dir, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + length}, {}, body);
}

inline ProgramRun runCommand(const TempDir& dir, std::vector<std::string> args) {
    return runKorproxy(dir, {}, std::move(args));
}

// The program's folder with its shipped pages, the product texts read by the test process as the
// program reads them, and `commandLine` (when given) stored through the program.
struct Site {
    TempDir dir;
    explicit Site(const std::vector<std::string>& commandLine = {}) {
        for (const char* name :
             {"pxyjump.html", "pxycfgform.html", "pxylogonform.html", "prodname.txt"}) {
            writeFile(dir.file(name), readFile(std::string(KORPROXY_SOURCE_DIR "/web/") + name));
        }
        readProductNameFileAt(dir.file("prodname.txt").c_str());
        if (!commandLine.empty()) (void)runCommand(dir, commandLine);
    }
};

// What the program runs in `dir` stored, as one text to compare.
struct Stored {
    OptionsRecord opts{};
    std::string id, password;
    int credentials = -99;
    std::string text() const {
        return std::string(opts.server) + "|" + opts.port + "|" + opts.traceFile + "|" +
               opts.cgiUrl + "|" + std::to_string(credentials) + "|" + id + "|" + password;
    }
};

inline Stored readStore(const TempDir& dir) {
    setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
    Stored stored;
    (void)psReadDefaultFile(&stored.opts);
    char id[kCredentialSize] = {}, password[kCredentialSize] = {};
    stored.credentials = psReadPasswordFile(id, password);
    stored.id = id;
    stored.password = password;
    unsetenv("KORPROXY_REGISTRY");
    return stored;
}

// One CGI answer: one header block at the start and, for an error page, one report and the page
// complete to its legal notice.
inline void expectOneCgiAnswer(const ProgramRun& run, const std::string& what) {
    const std::string& out = run.out;
    EXPECT_GE(run.status, 0) << what << ": did not exit normally";
    ASSERT_EQ(out.rfind("Content-type: text/html\n", 0), 0u) << what << "\n" << out;
    EXPECT_EQ(out.find("Content-type: text/html\n", 1), std::string::npos) << what;
    if (out.rfind("Content-type: text/html\n\r\n", 0) != 0) return;  // a page, not an error
    size_t report = out.find("<h2>Error!</h2>");
    EXPECT_NE(report, std::string::npos) << what;
    EXPECT_EQ(out.find("<h2>Error!</h2>", report + 1), std::string::npos) << what;
    const std::string foot = std::string("<br><i>") + kLegalNotice + "</i>\n";
    EXPECT_TRUE(out.ends_with(foot)) << what << "\n" << out;
}

}  // namespace fronttest
