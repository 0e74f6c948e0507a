// The program as the web server runs it: the pages and exit statuses of refused requests and run
// modes, a store or trace file it cannot use, RequireLogin, and the trace file's opening.
#include "front/korproxy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/trace.h"
#include "front/korproxy_state.h"
#include "front_testing.h"

namespace {

using namespace fronttest;

// Refused requests, each with its page and the status the program ends with: 0 for the run modes'
// pages and bodies that hold nothing, 255 where the request itself was refused. Only GET and POST
// exactly are request methods; in CGI mode the arguments are not looked at.
TEST(Entry, RefusedRequestsEndWithTheirErrorPageAndStatus) {
    const auto get = [](const std::string& query) {
        return std::vector<std::string>{"REQUEST_METHOD=GET", "QUERY_STRING=" + query};
    };
    const auto post = [](const std::string& length) {
        return std::vector<std::string>{"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + length};
    };
    const std::vector<std::string> pair = {"-proxyId=admin", "-proxyPassword=pw"};
    const std::string badDefaults =
        "Errors with the default values for server and port were detected.  Please correct the "
        "problem.";
    const std::string body = "SERVER=h:1&URL=/&a=1", size = "Invalid Size for a post request",
                      large = "Request body too large", method = "Unsupported request type: ",
                      blank = "A blank post was submitted to the web proxy.";
    const std::string noServer = "Internal Error: Post data did not contain any server name";
    const std::string noMethod =
        "Enviroment variable REQUEST_METHOD is not being set by this web server";
    struct Case {
        std::vector<std::string> stored, env;
        std::string body, message;
        int32_t code;
        int status;
        std::vector<std::string> args = {};
    };
    const Case cases[] = {
        {{}, {"REQUEST_METHOD=PUT"}, "", method + "PUT", 0, 0},
        {{}, {"REQUEST_METHOD=post"}, "", method + "post", 0, 0},
        {{}, {"REQUEST_METHOD="}, "", method, 0, 0},
        {{}, {"REQUEST_METHOD=PUT"}, "", method + "PUT", 0, 0, {"-tcps=h", "-request=URL=/"}},
        {{}, {"REQUEST_METHOD=A&B<'"}, "", method + "A&amp;B&lt;&#39;", 0, 0},
        {{}, {}, "", noMethod, 0, 0},
        {{"-tcps=h"}, get(""), "", badDefaults, 0, 255},
        {{"-tcps=h"}, get("URL=/x"), "", badDefaults, 0, 255},
        {pair, get("SERVER=h&URL=/"), "", "", -1, 255},
        {pair, get("SERVER&URL=/"), "", "", -1, 255},
        {{"-trace=null"}, get("SERVER=h:1500&URL=/"), "", "", 1, 255},
        // Refused before any connection: port 1 would give a refused connection's page.
        {pair, get("SERVER=127.0.0.1:1&URL=/%0AHTML%20/x"), "", kBrokenUrl, 0, 255},
        {pair, get("SERVER=127.0.0.1:1&URL=/x%0D"), "", kBrokenUrl, 0, 255},
        {pair, get("SERVER=127.0.0.1:1&URL=/x%00y"), "", kBrokenUrl, 0, 255},
        {{}, post("0"), body, size, 0, 255},
        {{}, post("-5"), body, size, 0, 255},
        {{}, post("abc"), body, size, 0, 255},
        {{}, {"REQUEST_METHOD=POST"}, "a&b&c", size, 0, 255},
        {{}, post("1048577"), body, large, 0, 255},
        {{}, post("99999999999999999999"), body, large, 0, 255},
        {{}, post("5"), "", "Blank POST, should contain some information", 0, 0},
        {{}, post("17"), "SERVER=h:1&URL=/x", blank, 0, 0},
        {{}, post("10"), "SERVER=h:1", blank, 0, 0},
        {{}, post("4"), "\r\n\r\n", blank, 0, 0},
        {{}, post("14"), "URL=/x&a=1&b=2", noServer, 0, 255},
        {{}, post("37"), "SERVER=127.0.0.1:1&URL=%2F%0AHTML&a=1", kBrokenUrl, 0, 255},
    };
    for (const Case& c : cases) {
        Site site(c.stored);
        ProgramRun run = runKorproxy(site.dir, c.env, c.args, c.body);
        const std::string what = (c.env.empty() ? "" : c.env.back()) + " " + c.body;
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.out, errorPage(c.message, c.code)) << what;
    }
}

// A store or trace file the program cannot use changes no page and no message; one line on
// standard error, the web server's error log, says which file and why.
TEST(Entry, AStoreOrTraceFileItCannotUseIsNamedOnStandardError) {
    // Links and pipes any writer of the log folder can put there, and a file of another user.
    using Lay = bool (*)(const std::string& trace);
    const Lay link = [](const std::string& trace) {
        writeFile(trace + ".target", "");
        return symlink((trace + ".target").c_str(), trace.c_str()) == 0;
    };
    const Lay pipe = [](const std::string& trace) { return mkfifo(trace.c_str(), 0600) == 0; };
    const Lay othersFile = [](const std::string& trace) {
        writeFile(trace, "");
        return chown(trace.c_str(), 65534, 65534) == 0;
    };
    const std::string store = " cannot be opened: Is a directory\n";
    const std::string trace = "korproxy: trace file trace.txt cannot be opened: ";
    struct Case {
        std::string stored, arg, errStart, errEnd;  // no `arg`: a GET request
        Lay lay;  // what the trace file name finds; null: the store is a folder
    };
    const Case cases[] = {
        {"", "", "korproxy: settings store ", store, nullptr},
        {"", "-tcps=h", "korproxy: settings store ", store, nullptr},
        {"-trace=gone/trace.txt", "",
         "korproxy: trace file gone/trace.txt cannot be opened: No such file or directory\n", "",
         [](const std::string&) { return true; }},
        {"-trace=trace.txt", "", trace + "it is a symbolic link\n", "", link},
        {"-trace=trace.txt", "", trace + "it is not a regular file\n", "", pipe},
        {"-trace=trace.txt", "", trace + "it belongs to another user\n", "", othersFile},
    };
    Site plain;
    const std::string jump = runGet(plain.dir, "").out;
    for (const Case& c : cases) {
        Site site(c.stored.empty() ? std::vector<std::string>{} : std::vector{c.stored});
        if (c.lay == nullptr) std::filesystem::create_directory(site.dir.file("registry.db"));
        if (c.lay != nullptr && !c.lay(site.dir.file("trace.txt"))) continue;  // not as root
        ProgramRun run = c.arg.empty() ? runGet(site.dir, "") : runCommand(site.dir, {c.arg});
        EXPECT_EQ(run.out,
                  c.arg.empty() ? jump : "An error occured while updating the default options.\n")
            << c.errStart;
        EXPECT_TRUE(run.err.starts_with(c.errStart) && run.err.ends_with(c.errEnd)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

// Whoever runs as the web server's user can change the stored trace file name and what lies in the
// log folder: root at the console takes that user's identity before it opens anything, and what
// it then creates is that user's. A folder that root owns keeps root.
TEST(Entry, ConsoleRunByRootActsAsTheSettingsFoldersOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "only root takes another identity";
    for (uid_t owner : {uid_t{65534}, uid_t{0}}) {
        TempDir dir;
        ASSERT_EQ(chown(dir.path().c_str(), owner, owner), 0);
        (void)runCommand(dir, {"-trace=trace.txt"});
        ProgramRun run = runCommand(dir, {"-tcpp=1"});
        EXPECT_EQ(run.out, "Default options have been updated.\n");
        struct stat st {};
        ASSERT_EQ(stat(dir.file("trace.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, owner);
        EXPECT_EQ(run.err, owner == 0 ? ""
                                      : "korproxy: running as nobody (user 65534, group 65534), "
                                        "the owner of the settings folder " +
                                            dir.path().string() + ".\n");
    }
}

// With RequireLogin stored, a GET or POST that reaches the program without a user the web server
// signed in gets one error page before its query or body is used; a replay at the console is the
// administrator's own, and a store without the option (or with "no") answers as before.
TEST(Entry, RequireLoginRefusesRequestsWithoutAWebLogin) {
    const std::string message =
        "This proxy needs a web login: configure the web server to ask for one.";
    const std::string get[] = {"REQUEST_METHOD=GET", "QUERY_STRING=JUMP=1"};
    const std::string post[] = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=20"};
    struct Case {
        std::vector<std::string> stored, env, args;
        bool refusal;
    };
    const Case cases[] = {
        {{"-requireLogin=yes"}, {get[0], get[1]}, {}, true},
        {{"-requireLogin=yes"}, {get[0], get[1], "REMOTE_USER="}, {}, true},
        {{"-requireLogin=yes"}, {post[0], post[1]}, {}, true},
        {{"-requireLogin=yes"}, {get[0], get[1], "REMOTE_USER=admin"}, {}, false},
        {{"-requireLogin=yes"}, {}, {"-request=JUMP=1"}, false},
        {{"-requireLogin=no"}, {get[0], get[1]}, {}, false},
        {{"-tcps="}, {get[0], get[1]}, {}, false},
    };
    for (const Case& c : cases) {
        Site site(c.stored);
        ProgramRun run = runKorproxy(site.dir, c.env, c.args, "SERVER=h:1&URL=/&a=1");
        std::string what = c.stored[0] + " " + (c.env.empty() ? c.args[0] : c.env.back());
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_EQ(run.out == errorPage(message, 0), c.refusal) << what << "\n" << run.out;
        EXPECT_EQ(run.out.find("<FORM METHOD=GET") != std::string::npos, !c.refusal) << what;
    }
}

TEST(TraceFile, FirstOpenStaysAndEachOpenAppendsAnEntryHeader) {
    TempDir dir;
    std::string path = dir.file("trace.txt");
    writeFile(path, "earlier run\n");
    openTraceFile("");
    openTraceFile(dir.file("no/such/folder").c_str());
    EXPECT_EQ(traceFp, nullptr);
    openTraceFile(path.c_str());
    openTraceFile(dir.file("second.txt").c_str());
    TRACE("line\n");
    closeTraceFile();
    EXPECT_EQ(traceFp, nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("second.txt")));
    std::string text = readFile(path);
    EXPECT_EQ(text.rfind("earlier run\n<---------------------------------------------------->\n"
                         "Trace file entry generated at: ",
                         0),
              0u)
        << text;
    // ctime's own newline and the line's leave an empty line after the header.
    EXPECT_TRUE(text.ends_with("\n\nline\n")) << text;

    // A trace holds deciphered pages: a new file is its owner's alone, whatever the umask.
    openTraceFile(dir.file("new.txt").c_str());
    closeTraceFile();
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(dir.file("new.txt")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
