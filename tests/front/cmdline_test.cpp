// Command-line administration as a console runs it: messages, what lands in the store, the refusal
// of values that do not fit, and the trace that never shows the password.
#include "front/korproxy_cmdline.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "front/korproxy_prodname.h"
#include "program_run.h"
#include "settings/psopts.h"
#include "settings/pssec.h"

namespace {

using fronttest::runCommand;
using fronttest::TempDir;

struct Stored {
    OptionsRecord opts{};
    std::string id, password;
    int credentialsRc = -99;
};

// Reads the store that the program runs in `dir` wrote.
Stored storedIn(const TempDir& dir) {
    setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
    Stored stored;
    (void)psReadDefaultFile(&stored.opts);
    char id[kCredentialSize] = {}, password[kCredentialSize] = {};
    stored.credentialsRc = psReadPasswordFile(id, password);
    stored.id = id;
    stored.password = password;
    unsetenv("KORPROXY_REGISTRY");
    return stored;
}

std::string usageText() {
    readProductNameFileAt("/nonexistent/prodname.txt");
    return fronttest::captured([](FILE* out) { printUsageTo(out); });
}

TEST(CommandLine, Messages) {
    const std::string usage = usageText();
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-proxyId=admin", "-proxyPassword=secret"}, "Password file has been updated\n"},
        {{"-proxyId=admin"}, usage},
        {{"-tcps=h", "-tcpp=1500", "-cgiUrl=/cgi-bin/velkproxy", "-trace=t.txt"},
         "Default options have been updated.\n"},
        {{"-Tcps=h", "-foo=1", "-foo"},
         "ERROR: Invalid option entered (-Tcps=h).\nERROR: Invalid option entered (-foo=1).\n"
         "ERROR: Invalid option entered (-foo), no value specified.\n" +
             usage},
        {{"-uninstall", "-tcps=h"}, ""},
        {{"-tcps=h", "-uninstall"}, ""},
        {{"-tcps"}, "ERROR: Invalid option entered (-tcps), no value specified.\n" + usage},
        {{"-tcps=" + std::string(65, 'h')},
         "ERROR: The value given with -tcps is longer than 64 characters; nothing has been "
         "stored.\n"},
        {{"-tcpp=1", "-proxyId=a", "-proxyPassword=" + std::string(64, 'p')},
         "ERROR: The value given with -proxyPassword is longer than 63 characters; nothing has "
         "been stored.\n"},
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

TEST(CommandLine, UsageNamesEveryOption) {
    std::string usage = usageText();
    EXPECT_EQ(usage.rfind("\nkorproxy Version 1.0\n", 0), 0u) << usage;
    for (const char* line :
         {"Usage for korproxy: \n", "   -proxyPassword=<password>\n\tAdministrator password",
          "   [-tcpp=<ip port>]\n\tSet the default Server TCP/IP port \n\n",
          "   \tSERVER=<http://velk.example.com:1500>&URL=<url> where <> denotes input\n"
          "\tinformation\n",
          "   -uninstall\n\tUninstall the web proxy.\n\n"}) {
        EXPECT_NE(usage.find(line), std::string::npos) << line;
    }
}

TEST(CommandLine, StoresWhatItSaysAndNothingWhenAValueIsRefused) {
    TempDir dir;
    ASSERT_EQ(runCommand(dir, {"-tcps=velk01", "-tcpp=1500", "-proxyI=admin", "-proxyP=pw"}).out,
              "Default options have been updated.\nPassword file has been updated\n");
    // A later run overwrites only what it names; an empty trace file is stored as tracing off.
    ASSERT_EQ(runCommand(dir, {"-trace=", "-tcpp=1600"}).out,
              "Default options have been updated.\n");
    Stored stored = storedIn(dir);
    EXPECT_STREQ(stored.opts.server, "velk01");
    EXPECT_STREQ(stored.opts.port, "1600");
    EXPECT_STREQ(stored.opts.traceFile, "null");
    EXPECT_EQ(stored.credentialsRc, 0);
    EXPECT_EQ(stored.id, "admin");
    EXPECT_EQ(stored.password, "pw");

    (void)runCommand(dir, {"-tcps=other", "-proxyId=x", "-proxyPassword=" + std::string(70, 'p')});
    (void)runCommand(dir, {"-cgiUrl=" + std::string(65, '/'), "-uninstall"});
    stored = storedIn(dir);
    EXPECT_STREQ(stored.opts.server, "velk01");
    EXPECT_EQ(stored.id, "admin");

    (void)runCommand(dir, {"-uninstall"});
    stored = storedIn(dir);
    EXPECT_STREQ(stored.opts.server, "");
    EXPECT_EQ(stored.credentialsRc, 1);
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
    EXPECT_NE(run.out.find(") In doGetRequest\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(") Unable to read password file rc = 1"), std::string::npos);
    EXPECT_NE(run.out.find("Access to the server denied\n"), std::string::npos) << run.out;

    run = runCommand(dir, {"-tcps=h", "-request=SERVER=h:1500&URL=/", "-post"});
    EXPECT_EQ(run.out.rfind("Default options have been updated.\nIn doPostRequest\n", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("Invalid Size for a post request"), std::string::npos);
}

}  // namespace
