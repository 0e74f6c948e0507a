// The program as the web server runs it: the run modes' pages and exit statuses, and the trace
// file's opening.
#include "front/korproxy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/trace.h"
#include "front/korproxy_state.h"
#include "front_testing.h"

namespace {

// Only GET and POST exactly are request methods; in CGI mode the arguments are not looked at.
TEST(Entry, ErrorPagesOfTheRunModesEndWithStatusZero) {
    struct Case {
        std::vector<std::string> env, args;
        std::string report;
    };
    const Case cases[] = {
        {{"REQUEST_METHOD=PUT"}, {}, "Unsupported request type: PUT"},
        {{"REQUEST_METHOD=post"}, {}, "Unsupported request type: post"},
        {{"REQUEST_METHOD="}, {}, "Unsupported request type: "},
        {{"REQUEST_METHOD=PUT"}, {"-tcps=h", "-request=URL=/"}, "Unsupported request type: PUT"},
        {{"REQUEST_METHOD=A&B<'"}, {}, "Unsupported request type: A&amp;B&lt;&#39;"},
        {{}, {}, "Enviroment variable REQUEST_METHOD is not being set by this web server"},
    };
    readProductNameFileAt("/nonexistent/prodname.txt");  // no product file: the default texts
    for (const Case& c : cases) {
        fronttest::TempDir dir;
        fronttest::ProgramRun run = fronttest::runKorproxy(dir, c.env, c.args);
        EXPECT_EQ(run.status, 0) << c.report;
        EXPECT_EQ(run.out, fronttest::errorPage(c.report, 0)) << c.report;
    }
}

// A store or trace file the program cannot use changes no page and no message; one line on
// standard error, the web server's error log, says which file and why.
TEST(Entry, AStoreOrTraceFileItCannotUseIsNamedOnStandardError) {
    // Links and pipes any writer of the log folder can put there, and a file of another user.
    using Lay = bool (*)(const std::string& trace);
    const Lay link = [](const std::string& trace) {
        fronttest::writeFile(trace + ".target", "");
        return symlink((trace + ".target").c_str(), trace.c_str()) == 0;
    };
    const Lay pipe = [](const std::string& trace) { return mkfifo(trace.c_str(), 0600) == 0; };
    const Lay othersFile = [](const std::string& trace) {
        fronttest::writeFile(trace, "");
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
    fronttest::Site plain;
    const std::string jump = fronttest::runGet(plain.dir, "").out;
    for (const Case& c : cases) {
        fronttest::Site site(c.stored.empty() ? std::vector<std::string>{} : std::vector{c.stored});
        if (c.lay == nullptr) std::filesystem::create_directory(site.dir.file("registry.db"));
        if (c.lay != nullptr && !c.lay(site.dir.file("trace.txt"))) continue;  // not as root
        fronttest::ProgramRun run = c.arg.empty() ? fronttest::runGet(site.dir, "")
                                                  : fronttest::runCommand(site.dir, {c.arg});
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
        fronttest::TempDir dir;
        ASSERT_EQ(chown(dir.path().c_str(), owner, owner), 0);
        (void)fronttest::runCommand(dir, {"-trace=trace.txt"});
        fronttest::ProgramRun run = fronttest::runCommand(dir, {"-tcpp=1"});
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
        fronttest::Site site(c.stored);
        fronttest::ProgramRun run =
            fronttest::runKorproxy(site.dir, c.env, c.args, "SERVER=h:1&URL=/&a=1");
        std::string what = c.stored[0] + " " + (c.env.empty() ? c.args[0] : c.env.back());
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_EQ(run.out == fronttest::errorPage(message, 0), c.refusal) << what << "\n"
                                                                          << run.out;
        EXPECT_EQ(run.out.find("<FORM METHOD=GET") != std::string::npos, !c.refusal) << what;
    }
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
    EXPECT_TRUE(text.ends_with("\n\nline\n")) << text;

    // A trace holds deciphered pages: a new file is its owner's alone, whatever the umask.
    openTraceFile(dir.file("new.txt").c_str());
    closeTraceFile();
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(dir.file("new.txt")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
