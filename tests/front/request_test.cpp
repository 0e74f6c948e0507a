// The jump page, the special requests and the setup form through the real program, compared
// whole with the pages they must be.
#include <gtest/gtest.h>

#include "common/textcopy.h"
#include "front_testing.h"

namespace {

using namespace fronttest;

constexpr const char kScript[] = "SCRIPT_NAME=/cgi-bin/velkproxy/korproxy";
constexpr const char kLogin[] = "REMOTE_USER=admin";  // the web server has signed the user in

std::string templatePage(const Site& site, const char* name, bool setupForm,
                         const TemplateValues& values) {
    return "Content-type: text/html\n\n" +
           rendered(readFile(site.dir.file(name)), setupForm, values);
}

std::string jumpPage(const Site& site, const char* action = "/cgi-bin/velkproxy/korproxy") {
    return templatePage(site, kJumpPage, false, {action, "", "", "", ""});
}

TEST(GetRequest, JumpPages) {
    for (const char* query : {"", "jump=1", "JUMP=1&SETUP=SETUP&DADDRESS=x", "JUMPX"}) {
        Site site;
        ProgramRun run = runGet(site.dir, query, {kScript});
        EXPECT_EQ(run.status, 0) << query;
        EXPECT_EQ(run.out, jumpPage(site)) << query;
    }
    Site site;
    EXPECT_TRUE(holds(runKorproxy(site.dir, {"REQUEST_METHOD=GET"}, {}).out,
                      "<FORM METHOD=GET ACTION=korproxy>\n"));
}

TEST(SpecialRequest, SetupFormNeverShowsThePassword) {
    Site site({"-proxyId=a\"dm<in", "-proxyPassword=hunter2", "-tcps=v&1", "-tcpp=1500",
               "-cgiUrl=/cgi-bin/velkproxy"});
    ProgramRun run = runGet(site.dir, "config=1", {kScript, kLogin});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, templatePage(site, kSetupFormPage, true,
                                    {"/cgi-bin/velkproxy", "a\"dm<in", "/cgi-bin/velkproxy", "v&1",
                                     "1500"}));
    EXPECT_TRUE(holds(run.out, "NAME=\"PSWD\" VALUE=\"\">"));
    EXPECT_FALSE(holds(run.out, "hunter2"));
}

// No trace line holds a submitted password (not the query dump, not the argument list's lines)
// or a control character.
TEST(SpecialRequest, TracesHoldNoSubmittedPasswordAndNoControlCharacter) {
    Site site;
    ProgramRun run =
        runGet(site.dir, "FORCETRACE=1&PSWD=hunter2&x&FORCETRACE=2&JUMP=1", {kScript, kLogin});
    EXPECT_EQ(run.out, jumpPage(site));
    std::string trace = readFile(site.dir.file("proxytrace.txt"));
    EXPECT_TRUE(
        holds(trace, ") Query was: FORCETRACE=1,PSWD=*****,X=*NULL*,FORCETRACE=2,JUMP=1,\n"));
    // The second FORCETRACE writes its lines again but not the query.
    EXPECT_TRUE(holds(trace, ") Query was: \n"));

    (void)runCommand(site.dir, {"-trace=" + site.dir.file("trace.txt")});
    // A password is masked whole as the form takes it, escaped "&" and "=" and all.
    (void)runGet(site.dir, "SETUP=SETUP&pswd=hunter2&PSWDX=hunter3&ID=admin&PSWD=hunter4%26h5%3Dx",
                 {kLogin});
    std::string stored = readFile(site.dir.file("trace.txt"));
    EXPECT_TRUE(
        holds(stored, "args are (SETUP=SETUP&pswd=*****&PSWDX=*****&ID=admin&PSWD=*****)\n"));
    EXPECT_TRUE(holds(stored, "name = (pswd) value = (*****)\n"));
    EXPECT_FALSE(holds(trace + stored, "hunter"));
    EXPECT_FALSE(holds(stored, "h5"));

    // Stored settings and request arguments reach the trace with their control characters
    // escaped, so that none starts a line of its own.
    OptionsRecord planted{};  // as whoever can write the store would leave it
    (void)copyTextFits(planted.server, "h\nEVIL");
    (void)copyTextFits(planted.port, "1\r");
    (void)copyTextFits(planted.traceFile, "trace.txt");
    (void)copyTextFits(planted.cgiUrl, "/c\x1b[2J");
    setenv("KORPROXY_REGISTRY", site.dir.file("registry.db").c_str(), 1);
    ASSERT_EQ(psWriteDefaultFile(&planted), 0);
    unsetenv("KORPROXY_REGISTRY");
    (void)runGet(site.dir, "JUMP=1&X=a%0Bb%0A(korproxy, 1) forged");
    trace = readFile(site.dir.file("trace.txt"));
    for (const char* shown : {"server (h\\x0AEVIL) port (1\\x0D) traceFile (trace.txt) cgiUrl "
                              "(/c\\x1B[2J)\n",
                              "args are (JUMP=1&X=a\\x0Bb\\x0A(korproxy, 1) forged)\n",
                              "name = (X) value = (a\\x0Bb\\x0A(korproxy, 1) forged)\n"}) {
        EXPECT_TRUE(holds(trace, shown));
    }
    EXPECT_EQ(trace.find_first_of("\r\v\x1b"), std::string::npos) << trace;
    EXPECT_FALSE(holds(trace, "\n(korproxy, 1) forged"));
}

// The values are stored as typed, escapes and all (the password, with a session signed on with
// it, is in sim_session_test.cpp).
TEST(SpecialRequest, SetupStoresWhatDiffersAndNothingWhenAValueDoesNotFit) {
    Site site(
        {"-proxyId=admin", "-proxyPassword=old", "-tcps=velk01", "-tcpp=1500", "-trace=null"});
    // An empty PSWD keeps the stored password, and so does a missing one; an empty DADDRESS clears
    // the server, so the final page is the jump page, its form pointing at the new CGI URL.
    const std::tuple<const char*, const char*, const char*> setups[] = {
        {"SETUP=SETUP&ID=root&PSWD=&CGIURL=/cgi-bin&DADDRESS=&DPORT=1600", "/cgi-bin/velkproxy",
         "|1600|null|/cgi-bin/velkproxy|0|root|old"},
        {"SETUP=SETUP&ID=a%2Bd+m%26n&CGIURL=https%3A%2F%2Fproxy%2Fvelkproxy&DPORT=1%2B1",
         "https://proxy/velkproxy", "|1+1|null|https://proxy/velkproxy|0|a+d m&n|old"},
    };
    ProgramRun run;
    for (const auto& [query, action, text] : setups) {
        run = runGet(site.dir, query, {kLogin});
        EXPECT_EQ(run.out, jumpPage(site, action)) << query;
        EXPECT_EQ(readStore(site.dir).text(), text) << query;
    }
    const Stored stored = readStore(site.dir);

    // The first field refused names itself; nothing is stored, not even the values that would do.
    const auto tooLong = [](const char* field, const char* limit) {
        return std::string("The value of the field ") + field + " is too long: no more than " +
               limit + " characters are accepted. Nothing has been stored.";
    };
    const auto controlIn = [](const char* field) {
        return std::string("The value of the field ") + field +
               " holds a control character (such as a line break). Nothing has been stored.";
    };
    const std::string x300(300, 'x');
    const std::string badCgiUrl =
        "The CGI URL must be a path that begins with \"/\", or an address that begins with "
        "http:// or https://. Nothing has been stored.";
    const std::pair<std::string, std::string> refused[] = {
        {"ID=" + x300, tooLong("ID", "63")},
        {"PSWD=" + x300, tooLong("PSWD", "63")},
        {"CGIURL=" + x300, tooLong("CGIURL", "64")},
        {"DADDRESS=" + x300, tooLong("DADDRESS", "64")},
        {"DPORT=" + x300, tooLong("DPORT", "64")},
        {"CGIURL=javascript:alert(1)", badCgiUrl},
        {"CGIURL=//elsewhere.example/velkproxy", badCgiUrl},
        {"CGIURL=/cgi-bin%0AHTML", badCgiUrl},
        {"PSWD=a%00b", kBrokenUrl},
        {"DADDRESS=h%0AEVIL", controlIn("DADDRESS")},
        {"DPORT=1%0D", controlIn("DPORT")},
    };
    for (const auto& [first, message] : refused) {
        std::string query = first + "&SETUP=1&ID=other&PSWD=pw&CGIURL=/c&DADDRESS=h&DPORT=2";
        run = runGet(site.dir, query, {kLogin});
        EXPECT_EQ(run.out, errorPage(message, 0, stored.opts)) << first;
        EXPECT_EQ(readStore(site.dir).text(), stored.text()) << first;
    }
}

// The program has no login of its own, and a web server's rule on the raw query cannot follow its
// decoding, so it asks for the web server's login itself and refuses requests sent by other sites.
TEST(SpecialRequest, SettingsOnlyForASignedInUserOnTheProxysOwnPages) {
    const std::string needsLogin =
        "Changing the proxy's settings needs a web login: configure the web server to ask for one "
        "for this program.";
    const std::string otherSite = "Settings can only be changed from the proxy's own pages.";
    struct Case {
        std::vector<std::string> env;
        const char* query;
        std::string message;
    };
    const Case cases[] = {
        {{}, "SETU%5z=SETUP&DADDRESS=elsewhere&DPORT=1", needsLogin},
        {{"REMOTE_USER="}, "CONFIG=1", needsLogin},
        {{}, "FORCETRACE=1&JUMP=1", needsLogin},
        {{kLogin, "HTTP_SEC_FETCH_SITE=cross-site"}, "SETUP=SETUP&DPORT=1", otherSite},
        {{kLogin, "HTTP_HOST=proxy", "HTTP_REFERER=http://elsewhere.example/proxy"},
         "CONFIG=1",
         otherSite},
        {{kLogin, "HTTP_REFERER=https://proxy/"}, "FORCETRACE=1&JUMP=1", otherSite},
    };
    Site site({"-tcps=velk01", "-trace=null"});
    const Stored before = readStore(site.dir);
    for (const Case& c : cases) {
        ProgramRun run = runGet(site.dir, c.query, c.env);
        EXPECT_EQ(run.out, errorPage(c.message, 0, before.opts)) << c.query;
        EXPECT_EQ(readStore(site.dir).text(), before.text()) << c.query;
        EXPECT_FALSE(std::filesystem::exists(site.dir.file("proxytrace.txt"))) << c.query;
    }
    // The proxy's own form, sent back from its own page, and a replay at the console are honoured.
    (void)runGet(site.dir, "SETUP=SETUP&DPORT=1600",
                 {kLogin, "HTTP_HOST=Proxy:8080", "HTTP_SEC_FETCH_SITE=same-origin",
                  "HTTP_REFERER=http://proxy:8080/cgi-bin/velkproxy?CONFIG=1"});
    EXPECT_EQ(readStore(site.dir).opts.port, std::string("1600"));
    (void)runCommand(site.dir, {"-request=SETUP=SETUP&DPORT=1700"});
    EXPECT_EQ(readStore(site.dir).opts.port, std::string("1700"));
}

}  // namespace
