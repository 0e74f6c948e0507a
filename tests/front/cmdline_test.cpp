// Command-line administration as a console runs it: messages, what lands in the store, the refusal
// of values that do not fit, and the trace that never shows the password.
#include "front/korproxy_cmdline.h"

#include <gtest/gtest.h>

#include "front_testing.h"

namespace {

using fronttest::readStore;
using fronttest::runCommand;
using fronttest::TempDir;

TEST(CommandLine, Messages) {
    // The usage text's lines, the stored messages, the usage after a lone credential and an
    // -uninstall among other options are checked on the installed program (tests/e2e/cli.test.mjs).
    readProductNameFileAt("/nonexistent/prodname.txt");  // no product file: the default texts
    const std::string usage = fronttest::captured([](FILE* out) { printUsageTo(out); });
    EXPECT_TRUE(usage.starts_with("\nkorproxy Version 1.0\n")) << usage;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-Tcps=h", "-foo=1", "-foo"},
         "ERROR: Invalid option entered (-Tcps=h).\nERROR: Invalid option entered (-foo=1).\n"
         "ERROR: Invalid option entered (-foo), no value specified.\n" +
             usage},
        {{"-tcps"}, "ERROR: Invalid option entered (-tcps), no value specified.\n" + usage},
    };
    for (const auto& [args, out] : cases) {
        TempDir dir;
        fronttest::ProgramRun run = runCommand(dir, args);
        EXPECT_EQ(run.status, 0) << args[0];
        EXPECT_EQ(run.out, out) << args[0];
    }
}

TEST(CommandLine, StoresWhatItSaysAndNothingWhenAValueIsRefused) {
    TempDir dir;
    ASSERT_EQ(runCommand(dir, {"-tcps=velk01", "-tcpp=1500", "-proxyI=admin", "-proxyP=pw"}).out,
              "Default options have been updated.\nPassword file has been updated\n");
    // A later run overwrites only what it names; an empty trace file is stored as tracing off.
    ASSERT_EQ(runCommand(dir, {"-trace=", "-tcpp=1600"}).out,
              "Default options have been updated.\n");
    const std::string stored = readStore(dir).text();
    EXPECT_EQ(stored, "velk01|1600|null||0|admin|pw");

    // A value one character longer than its field, a control character in an option text, or a
    // yes|no option's other value refuses the whole line: nothing stored, an -uninstall on it
    // cancelled, nothing replayed.
    std::vector<std::pair<std::string, std::string>> refusals = {
        {"-tcps=h\nEVIL", "The value given with -tcps holds a control character"},
        {"-tcpp=1\r", "The value given with -tcpp holds a control character"},
        {"-cgiUrl=/c\x1b[2J", "The value given with -cgiUrl holds a control character"},
        {"-trace=t\x7f", "The value given with -trace holds a control character"},
        {"-requireLogin=maybe", "-requireLogin takes yes or no"}};
    for (const auto& [option, longest] : {std::pair<std::string, size_t>{"-tcps", 64},
                                          {"-tcpp", 64},
                                          {"-cgiUrl", 64},
                                          {"-trace", 64},
                                          {"-proxyId", 63},
                                          {"-proxyPassword", 63},
                                          {"-request", 4999}}) {
        refusals.emplace_back(option + "=" + std::string(longest + 1, 'y'),
                              "The value given with " + option + " is longer than " +
                                  std::to_string(longest) + " characters");
    }
    for (const auto& [value, says] : refusals) {
        fronttest::ProgramRun run =
            runCommand(dir, {"-tcps=other", "-proxyId=x", "-proxyPassword=y", value, "-uninstall"});
        EXPECT_EQ(run.out, "ERROR: " + says + "; nothing has been stored.\n");
        EXPECT_EQ(readStore(dir).text(), stored) << says;
    }
}

TEST(CommandLine, TraceNeverShowsThePassword) {
    TempDir dir;
    (void)runCommand(dir, {"-trace=" + dir.file("trace.txt")});
    (void)runCommand(dir, {"-proxyId=admin", "-proxyPasswordX=hunter2", "-proxyP=hunter3"});
    std::string trace = fronttest::readFile(dir.file("trace.txt"));
    EXPECT_NE(trace.find("Processing command option (-proxyPassword=*****) i = 2\n"
                         "Processing command option (-proxyPassword=*****) i = 3\n"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("hunter"), std::string::npos) << trace;
}

// A replay after stored options is announced by their message alone; a posted one goes to the
// POST handler with the console as its missing body.
TEST(CommandLine, ReplaysAPostedRequest) {
    TempDir dir;
    fronttest::ProgramRun run =
        runCommand(dir, {"-tcps=h", "-request=SERVER=h:1500&URL=/", "-post"});
    EXPECT_EQ(run.out.rfind("Default options have been updated.\nIn doPostRequest\n", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("Invalid Size for a post request"), std::string::npos);
}

}  // namespace
