// The program as the web server runs it: the run modes' pages and exit statuses, and the trace
// file's opening.
#include "front/korproxy.h"

#include <gtest/gtest.h>

#include "common/trace.h"
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
