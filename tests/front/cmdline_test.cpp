// Command-line administration as a console runs it: messages, what lands in the store, the refusal
// of values that do not fit, and the trace that never shows the password.
#include "front/korproxy_cmdline.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>

#include "front_testing.h"

namespace {

using fronttest::readStore;
using fronttest::runCommand;
using fronttest::TempDir;

std::string usageText() {
    readProductNameFileAt("/nonexistent/prodname.txt");
    return fronttest::captured([](FILE* out) { printUsageTo(out); });
}

TEST(CommandLine, Messages) {
    // The usage text's lines, the stored messages and an -uninstall before other options are
    // checked on the installed program (tests/e2e/cli.test.mjs), the stored messages again below.
    const std::string usage = usageText();
    EXPECT_TRUE(usage.starts_with("\nkorproxy Version 1.0\n")) << usage;
    EXPECT_NE(usage.find("\n\nUsage for korproxy: \n"), std::string::npos);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-proxyId=admin"}, usage},
        {{"-Tcps=h", "-foo=1", "-foo"},
         "ERROR: Invalid option entered (-Tcps=h).\nERROR: Invalid option entered (-foo=1).\n"
         "ERROR: Invalid option entered (-foo), no value specified.\n" +
             usage},
        {{"-tcps=h", "-uninstall"}, ""},
        {{"-tcps"}, "ERROR: Invalid option entered (-tcps), no value specified.\n" + usage},
        {{"-tcps=" + std::string(65, 'h')},
         "ERROR: The value given with -tcps is longer than 64 characters; nothing has been "
         "stored.\n"},
        {{"-tcpp=1", "-proxyId=a", "-proxyPassword=" + std::string(64, 'p')},
         "ERROR: The value given with -proxyPassword is longer than 63 characters; nothing has "
         "been stored.\n"},
        {{"-tcps=h", "-requireLogin=maybe"},
         "ERROR: -requireLogin takes yes or no; nothing has been stored.\n"},
        {{"-request=" + std::string(5000, 'r')},
         "ERROR: The value given with -request is longer than 4999 characters; nothing has been "
         "stored.\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        fronttest::ProgramRun run = runCommand(dir, c.args);
        EXPECT_EQ(run.status, 0) << c.args[0];
        EXPECT_EQ(run.out, c.out) << c.args[0];
    }
}

TEST(CommandLine, StoresWhatItSaysAndNothingWhenAValueIsRefused) {
    TempDir dir;
    ASSERT_EQ(runCommand(dir, {"-tcps=velk01", "-tcpp=1500", "-proxyI=admin", "-proxyP=pw"}).out,
              "Default options have been updated.\nPassword file has been updated\n");
    // A later run overwrites only what it names; an empty trace file is stored as tracing off.
    ASSERT_EQ(runCommand(dir, {"-trace=", "-tcpp=1600"}).out,
              "Default options have been updated.\n");
    fronttest::Stored stored = readStore(dir);
    EXPECT_EQ(stored.text(), "velk01|1600|null||0|admin|pw");

    // A value longer than its field, or an option text holding a control character, stores
    // nothing of the whole line, cancels an -uninstall on it and replays nothing.
    std::vector<std::string> refused = {"-tcps=h\nEVIL", "-tcpp=1\r", "-cgiUrl=/c\x1b[2J",
                                        "-trace=t\x7f"};
    for (const char* option :
         {"-tcps=", "-tcpp=", "-cgiUrl=", "-trace=", "-proxyId=", "-proxyPassword=", "-request="}) {
        refused.push_back(option + std::string(option[1] == 'r' ? 5000 : 300, 'y'));
    }
    for (const std::string& value : refused) {
        SCOPED_TRACE(value.substr(0, 20));
        fronttest::ProgramRun run =
            runCommand(dir, {"-tcps=other", "-proxyId=x", "-proxyPassword=y", value, "-uninstall"});
        EXPECT_EQ(run.out.rfind("ERROR: The value given with -", 0), 0u) << run.out;
        EXPECT_EQ(run.out.find("Processing request"), std::string::npos);
        EXPECT_EQ(readStore(dir).text(), stored.text());
    }

    (void)runCommand(dir, {"-uninstall"});
    EXPECT_EQ(readStore(dir).text(), "||||1||");
}

TEST(CommandLine, TraceNeverShowsThePassword) {
    TempDir dir;
    (void)runCommand(dir, {"-trace=" + dir.file("trace.txt")});
    (void)runCommand(dir, {"-proxyId=admin", "-proxyPasswordX=hunter2", "-proxyP=hunter3"});
    std::string trace = fronttest::readFile(dir.file("trace.txt"));
    EXPECT_NE(trace.find("Processing command option (-proxyId=admin) i = 1\n"), std::string::npos);
    EXPECT_NE(trace.find("Processing command option (-proxyPassword=*****) i = 2\n"
                         "Processing command option (-proxyPassword=*****) i = 3\n"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("hunter"), std::string::npos) << trace;
}

// The replay runs after the scan, its trace on the console between the messages and the page.
TEST(CommandLine, ReplaysARequestWithItsTraceOnTheConsole) {
    TempDir dir;
    fronttest::ProgramRun run = runCommand(dir, {"-request=SERVER=h:1500&URL=/"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Processing request (SERVER=h:1500&URL=/)\n(korproxy, ", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find(") Unable to read password file rc = 1"), std::string::npos);
    EXPECT_NE(run.out.find("Access to the server denied\n"), std::string::npos) << run.out;

    run = runCommand(dir, {"-tcps=h", "-request=SERVER=h:1500&URL=/", "-post"});
    EXPECT_EQ(run.out.rfind("Default options have been updated.\nIn doPostRequest\n", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("Invalid Size for a post request"), std::string::npos);
}

}  // namespace
