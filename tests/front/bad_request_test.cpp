// Hostile requests on every input of the program: huge query strings, thousands of pieces, stray
// "%", zero bytes, values too long for their fields in the query, the POST body, the setup form and
// the command line. Each ends in one well-formed CGI answer, and what was stored before is still
// there, whole, afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/korproxy_errpage.h"
#include "program_run.h"
#include "settings/psopts.h"
#include "settings/pssec.h"

namespace {

using fronttest::ProgramRun;
using fronttest::TempDir;

// No server listens on port 1 of the loopback address: a request that gets as far as connecting
// fails at once.
constexpr char kNowhere[] = "127.0.0.1:1";

struct Stored {
    OptionsRecord opts{};
    char id[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    int credentials = -1;
};

Stored readStore(const TempDir& dir) {
    setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
    Stored s;
    (void)psReadDefaultFile(&s.opts);
    s.credentials = psReadPasswordFile(s.id, s.password);
    unsetenv("KORPROXY_REGISTRY");
    return s;
}

void expectSameStore(const Stored& a, const Stored& b, const std::string& what) {
    EXPECT_STREQ(a.opts.server, b.opts.server) << what;
    EXPECT_STREQ(a.opts.port, b.opts.port) << what;
    EXPECT_STREQ(a.opts.traceFile, b.opts.traceFile) << what;
    EXPECT_STREQ(a.opts.cgiUrl, b.opts.cgiUrl) << what;
    EXPECT_EQ(a.credentials, b.credentials) << what;
    EXPECT_STREQ(a.id, b.id) << what;
    EXPECT_STREQ(a.password, b.password) << what;
}

// A folder with the shipped pages and a complete, known store.
struct Installed {
    TempDir dir;
    Installed() {
        fronttest::copyShippedPages(dir);
        (void)fronttest::runCommand(
            dir, {"-proxyId=admin", "-proxyPassword=secret", "-cgiUrl=/cgi-bin/velkproxy",
                  "-tcps=127.0.0.1", "-tcpp=1", "-trace=null"});
    }
};

// One CGI answer: its header block once at the start, and an error page whole when it is one.
void expectOneCgiAnswer(const ProgramRun& run, const std::string& what) {
    const std::string& out = run.out;
    ASSERT_EQ(out.rfind("Content-type: text/html\n", 0), 0u) << what << "\n" << out.substr(0, 300);
    EXPECT_EQ(out.find("Content-type: text/html\n", 1), std::string::npos) << what;
    if (out.find("<h2>Error!</h2>") != std::string::npos) {
        const std::string foot = std::string("<br><i>") + kLegalNotice + "</i>\n";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), foot.size())), foot) << what;
    }
    EXPECT_GE(run.status, 0) << what << ": did not exit normally";
}

std::string pieces(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text.append("p").append(std::to_string(i)).append("=v&");
    }
    return text;
}

TEST(BadRequest, HostileQueryStringsGetOneCleanAnswer) {
    const std::string server = std::string("SERVER=") + kNowhere;
    const std::pair<const char*, std::string> queries[] = {
        {"100 KB URL", server + "&URL=/" + std::string(100 * 1024, 'a')},
        {"100 KB of escapes", server + "&URL=" +
                                  [] {
                                      std::string s;
                                      for (int i = 0; i < 100 * 1024 / 3; ++i) s += "%41";
                                      return s;
                                  }()},
        {"100 KB server", "SERVER=" + std::string(100 * 1024, 'h') + ":1&URL=/"},
        {"5000 pieces", pieces(5000) + server + "&URL=/"},
        // One environment string holds at most 128 KiB, so the refused counts come in short pieces.
        {"12000 pieces",
         [] {
             std::string s;
             for (int i = 0; i < 12000; ++i) s += "a&";
             return s;
         }() +
             server},
        {"20000 empty pieces", std::string(20000, '&')},
        {"stray percents", "SERVER=%&URL=%2&%=%%&%"},
        {"escape to a zero byte", "SERVER=h%00:1&URL=/%zz"},
        {"escape at the end", server + "&URL=/x%4"},
        {"port beyond 16 bits", "SERVER=127.0.0.1:99999999999999999999&URL=/"},
        {"no port", "SERVER=127.0.0.1&URL=/"},
        {"100 KB special request", "CONFIG&JUMP=" + std::string(100 * 1024, 'j')},
        {"FORCETRACE with a long value", "FORCETRACE=" + std::string(10000, 't') + "&JUMP"},
    };
    Installed installed;
    const Stored before = readStore(installed.dir);
    for (const auto& [what, query] : queries) {
        ProgramRun run = fronttest::runGet(installed.dir, query);
        expectOneCgiAnswer(run, what);
        expectSameStore(before, readStore(installed.dir), what);
    }
}

TEST(BadRequest, HostilePostBodiesGetOneCleanAnswer) {
    const std::string server = std::string("SERVER=") + kNowhere;
    struct Post {
        const char* what;
        std::string body;
        std::string contentLength;  // empty: the body's own length
    };
    const Post posts[] = {
        {"zero bytes in the body", server + std::string("\0\0&URL=/\0x", 10), ""},
        {"100 KB URL", server + "&URL=%2F" + std::string(100 * 1024, 'u'), ""},
        {"5000 pieces", pieces(5000) + server + "&URL=/", ""},
        {"20000 pieces", pieces(20000) + server + "&URL=/", ""},
        {"body shorter than announced", server + "&URL=/", "100000"},
        {"length beyond the bound", server + "&URL=/", "1073741824"},
        {"negative length", server + "&URL=/", "-5"},
        {"length that is not a number", server + "&URL=/", "12abc"},
        {"stray percents", "SERVER=%&URL=%", ""},
    };
    Installed installed;
    const Stored before = readStore(installed.dir);
    for (const Post& post : posts) {
        ProgramRun run = fronttest::runPost(installed.dir, post.body, post.contentLength);
        expectOneCgiAnswer(run, post.what);
        expectSameStore(before, readStore(installed.dir), post.what);
    }
}

TEST(BadRequest, OverLongSetupFieldsStoreNothing) {
    const std::string longText(300, 'x');
    const std::string fields[] = {"ID", "PSWD", "CGIURL", "DADDRESS", "DPORT"};
    Installed installed;
    const Stored before = readStore(installed.dir);
    for (const std::string& field : fields) {
        // The long value goes first, so that it is the one the form handling meets.
        std::string query = field;
        query.append("=").append(longText).append("&SETUP=1&ID=other&PSWD=pw&CGIURL=/c");
        query.append("&DADDRESS=h&DPORT=2");
        ProgramRun run = fronttest::runGet(installed.dir, query);
        expectOneCgiAnswer(run, field);
        EXPECT_NE(run.out.find("<h2>Error!</h2>"), std::string::npos) << field;
        expectSameStore(before, readStore(installed.dir), field);
    }
}

TEST(BadRequest, OverLongCommandLineValuesStoreNothing) {
    const std::string longText(300, 'y');
    const char* options[] = {
        "-tcps=", "-tcpp=", "-cgiUrl=", "-trace=", "-proxyId=", "-proxyPassword=", "-request="};
    Installed installed;
    const Stored before = readStore(installed.dir);
    for (const char* option : options) {
        ProgramRun run =
            fronttest::runCommand(installed.dir, {std::string(option).append(longText)});
        EXPECT_GE(run.status, 0) << option;
        expectSameStore(before, readStore(installed.dir), option);
    }
    ProgramRun replay =
        fronttest::runCommand(installed.dir, {"-request=" + std::string(100000, 'r')});
    EXPECT_GE(replay.status, 0);
    expectSameStore(before, readStore(installed.dir), "long replay");
}

}  // namespace
