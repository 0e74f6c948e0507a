// The program as the web server runs it: a real process with a controlled environment and
// working directory.
#include "front/korproxy.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/trace.h"
#include "front/korproxy_errpage.h"
#include "front_testing.h"

namespace {

struct ProgramRun {
    int status = -1;  // the exit status, or -1 when the process did not exit normally
    std::string out;
};

// Runs korproxy in `dir` with only `env` (and a store inside `dir`) set and an empty stdin.
ProgramRun runProgram(const fronttest::TempDir& dir, std::vector<std::string> env,
                      std::vector<std::string> args) {
    env.push_back("KORPROXY_REGISTRY=" + dir.file("registry.db"));
    args.insert(args.begin(), KORPROXY_BIN_DIR "/korproxy");
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    ProgramRun run;
    int fds[2];
    if (pipe(fds) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (freopen("/dev/null", "r", stdin) == nullptr || chdir(dir.path().c_str()) != 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, n);
    close(fds[0]);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    return run;
}

std::string defaultPage(const std::string& report) {
    return "Content-type: text/html\n\r\n<HEAD><TITLE>Error!</TITLE></HEAD><BODY BGCOLOR=white>"
           "<table><tr><td width=800 bgcolor=#6699CC><FONT FACE=ARIAL SIZE=+3 COLOR=white>"
           "korproxy</font></td></tr></table><P><BR><h2>Error!</h2>" +
           report + "<table>\n<tr>\n</tr>\n</table>\n<br>korproxy Version 1.0\n<br><i>" +
           kLegalNotice + "</i>\n";
}

// Only GET and POST exactly are request methods; in CGI mode the arguments are not looked at.
TEST(Entry, ErrorPagesOfTheRunModesEndWithStatusZero) {
    struct Case {
        std::vector<std::string> env, args;
        std::string report;
    };
    const Case cases[] = {
        {{"REQUEST_METHOD=PUT"}, {}, "Unsupported request type: PUT"},
        {{"REQUEST_METHOD=post"}, {}, "Unsupported request type: post"},
        {{"REQUEST_METHOD=Get"}, {}, "Unsupported request type: Get"},
        {{"REQUEST_METHOD="}, {}, "Unsupported request type: "},
        {{"REQUEST_METHOD=PUT"}, {"-tcps=h", "-request=URL=/"}, "Unsupported request type: PUT"},
        {{"REQUEST_METHOD=A&B<'"}, {}, "Unsupported request type: A&amp;B&lt;&#39;"},
        {{}, {}, "Enviroment variable REQUEST_METHOD is not being set by this web server"},
    };
    for (const Case& c : cases) {
        fronttest::TempDir dir;
        ProgramRun run = runProgram(dir, c.env, c.args);
        EXPECT_EQ(run.status, 0) << c.report;
        EXPECT_EQ(run.out, defaultPage(c.report));
    }
}

TEST(Entry, ShippedProductFileNamesThePage) {
    fronttest::TempDir dir;
    fronttest::writeFile(dir.file("prodname.txt"),
                         fronttest::readFile(KORPROXY_SOURCE_DIR "/web/prodname.txt"));
    ProgramRun run = runProgram(dir, {"REQUEST_METHOD=DELETE"}, {});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("COLOR=white>VELK Web Administration</font>"), std::string::npos);
    EXPECT_NE(run.out.find("<br>VELK Web Administration Version 1.0.0\n"), std::string::npos);
}

TEST(Entry, CommandLineModeEndsWithStatusZero) {
    fronttest::TempDir dir;
    EXPECT_EQ(runProgram(dir, {}, {"-tcps=h"}).status, 0);
}

TEST(TraceFile, FirstOpenStaysAndEachOpenAppendsAnEntryHeader) {
    fronttest::TempDir dir;
    std::string path = dir.file("trace.txt");
    fronttest::writeFile(path, "earlier run\n");
    openTraceFile("");
    openTraceFile(dir.file("no/such/folder").c_str());
    EXPECT_EQ(traceFp, nullptr);
    openTraceFile(path.c_str());
    openTraceFile(dir.file("second.txt").c_str());
    TRACE("line\n");
    closeTraceFile();
    EXPECT_EQ(traceFp, nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("second.txt")));
    std::string text = fronttest::readFile(path);
    EXPECT_EQ(text.rfind("earlier run\n<---------------------------------------------------->\n"
                         "Trace file entry generated at: ",
                         0),
              0u)
        << text;
    // ctime's own newline and the line's leave an empty line after the header.
    EXPECT_EQ(text.substr(text.size() - 7), "\n\nline\n") << text;
}

}  // namespace
