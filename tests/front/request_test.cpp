// GET and POST requests, special requests and the setup form through the real program, compared
// whole with the pages they must be.
#include <gtest/gtest.h>

#include "front_testing.h"

namespace {

using fronttest::errorPage;
using fronttest::ProgramRun;
using fronttest::readStore;
using fronttest::runGet;
using fronttest::Site;

constexpr const char kScript[] = "SCRIPT_NAME=/cgi-bin/velkproxy/korproxy";
const std::vector<std::string> kCredentials = {"-proxyId=admin", "-proxyPassword=pw"};

std::string templatePage(const Site& site, const char* name, bool setupForm,
                         const TemplateValues& values) {
    return "Content-type: text/html\n\n" +
           fronttest::rendered(fronttest::readFile(site.dir.file(name)), setupForm, values);
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
    EXPECT_NE(fronttest::runKorproxy(site.dir, {"REQUEST_METHOD=GET"}, {})
                  .out.find("<FORM METHOD=GET ACTION=korproxy>\n"),
              std::string::npos);
}

TEST(GetRequest, ErrorPages) {
    const std::string badDefaults =
        "Errors with the default values for server and port were detected.  Please correct the "
        "problem.";
    struct Case {
        std::vector<std::string> setup;
        const char* query;
        std::string message;
        int32_t code;
    };
    const Case cases[] = {
        {{"-tcps=h"}, "", badDefaults, 0},
        {{"-tcps=h"}, "URL=/x", badDefaults, 0},
        {kCredentials, "SERVER=h&URL=/", "", -1},
        {kCredentials, "SERVER&URL=/", "", -1},
        {{"-trace=null"}, "SERVER=h:1500&URL=/", "", 1},
    };
    for (const Case& c : cases) {
        Site site(c.setup);
        ProgramRun run = runGet(site.dir, c.query);
        EXPECT_EQ(run.status, 255) << c.query;
        EXPECT_EQ(run.out, errorPage(c.message, c.code)) << c.query;
    }
}

TEST(SpecialRequest, SetupFormNeverShowsThePassword) {
    Site site({"-proxyId=a\"dm<in", "-proxyPassword=hunter2", "-tcps=v&1", "-tcpp=1500",
               "-cgiUrl=/cgi-bin/velkproxy"});
    ProgramRun run = runGet(site.dir, "config=1", {kScript});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, templatePage(site, kSetupFormPage, true,
                                    {"/cgi-bin/velkproxy", "a\"dm<in", "/cgi-bin/velkproxy", "v&1",
                                     "1500"}));
    EXPECT_NE(run.out.find("NAME=\"PSWD\" VALUE=\"\">"), std::string::npos);
    EXPECT_EQ(run.out.find("hunter2"), std::string::npos);
}

// No trace line holds a submitted password: not the query dump, not the argument list's lines.
TEST(SpecialRequest, TracesNeverHoldASubmittedPassword) {
    Site site;
    ProgramRun run = runGet(site.dir, "FORCETRACE=1&PSWD=hunter2&x&FORCETRACE=2&JUMP=1", {kScript});
    EXPECT_EQ(run.out, jumpPage(site));
    std::string trace = fronttest::readFile(site.dir.file("proxytrace.txt"));
    EXPECT_NE(trace.find(") Query was: FORCETRACE=1,PSWD=*****,X=*NULL*,FORCETRACE=2,JUMP=1,\n"),
              std::string::npos)
        << trace;
    // The second FORCETRACE writes its lines again but not the query.
    EXPECT_NE(trace.find(") Query was: \n"), std::string::npos) << trace;

    (void)fronttest::runCommand(site.dir, {"-trace=" + site.dir.file("trace.txt")});
    (void)runGet(site.dir, "SETUP=SETUP&pswd=hunter2&PSWDX=hunter3&ID=admin");
    std::string stored = fronttest::readFile(site.dir.file("trace.txt"));
    EXPECT_NE(stored.find("args are (SETUP=SETUP&pswd=*****&PSWDX=*****&ID=admin)\n"),
              std::string::npos)
        << stored;
    EXPECT_NE(stored.find("name = (pswd) value = (*****)\n"), std::string::npos) << stored;
    EXPECT_EQ((trace + stored).find("hunter"), std::string::npos);
}

TEST(SpecialRequest, SetupStoresWhatDiffersAndNothingWhenAValueDoesNotFit) {
    Site site(
        {"-proxyId=admin", "-proxyPassword=old", "-tcps=velk01", "-tcpp=1500", "-trace=null"});
    // An empty PSWD keeps the stored password; an empty DADDRESS clears the server, so the final
    // page is the jump page, its form pointing at the new CGI URL.
    ProgramRun run =
        runGet(site.dir, "SETUP=SETUP&ID=root&PSWD=&CGIURL=/cgi-bin&DADDRESS=&DPORT=1600");
    EXPECT_EQ(run.out, jumpPage(site, "/cgi-bin/velkproxy"));
    const fronttest::Stored stored = readStore(site.dir);
    EXPECT_EQ(stored.text(), "|1600|null|/cgi-bin/velkproxy|0|root|old");

    // The first field that does not fit names itself; nothing is stored, not even the values
    // that would fit.
    const std::pair<const char*, const char*> tooLong[] = {
        {"ID", "63"}, {"PSWD", "63"}, {"CGIURL", "64"}, {"DADDRESS", "64"}, {"DPORT", "64"}};
    for (const auto& [field, limit] : tooLong) {
        std::string query = std::string(field) + "=" + std::string(300, 'x') +
                            "&SETUP=1&ID=other&PSWD=pw&CGIURL=/c&DADDRESS=h&DPORT=2";
        run = runGet(site.dir, query);
        EXPECT_EQ(run.out, errorPage(std::string("The value of the field ") + field +
                                         " is too long: no more than " + limit +
                                         " characters are accepted. Nothing has been stored.",
                                     0, stored.opts));
        EXPECT_EQ(readStore(site.dir).text(), stored.text()) << field;
    }
}

TEST(SpecialRequest, SetupWithADefaultServerGoesOnToItsStartPage) {
    Site site(kCredentials);
    ProgramRun run = runGet(site.dir, "SETUP=SETUP&DADDRESS=127.0.0.1&DPORT=1");
    // The start page is asked of the new default server, which refuses the connection; the page
    // says why.
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("An internal error occured in the session layer.<br>\nLast error "
                           "message: "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("None."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("value=\"127.0.0.1:1\">"), std::string::npos) << run.out;
}

TEST(PostRequest, RefusedBodies) {
    const std::string body = "SERVER=h:1&URL=/&a=1";
    const std::string blank = "A blank post was submitted to the web proxy.";
    struct Case {
        std::string body, length, message;
        int status;
    };
    const Case cases[] = {
        {body, "0", "Invalid Size for a post request", 255},
        {body, "-5", "Invalid Size for a post request", 255},
        {body, "abc", "Invalid Size for a post request", 255},
        {body, "1048577", "Request body too large", 255},
        {body, "99999999999999999999", "Request body too large", 255},
        {"", "5", "Blank POST, should contain some information", 0},
        {"SERVER=h:1&URL=/x", "", blank, 0},
        {"SERVER=h:1", "", blank, 0},
        {"\r\n\r\n", "", blank, 0},
        {"URL=/x&a=1&b=2", "", "Internal Error: Post data did not contain any server name", 255},
    };
    for (const Case& c : cases) {
        Site site;
        ProgramRun run = fronttest::runPost(site.dir, c.body, c.length);
        EXPECT_EQ(run.status, c.status) << c.body << " " << c.length;
        EXPECT_EQ(run.out, errorPage(c.message, 0)) << c.body << " " << c.length;
    }
    Site site;
    EXPECT_EQ(fronttest::runKorproxy(site.dir, {"REQUEST_METHOD=POST"}, {}, "a&b&c").out,
              errorPage("Invalid Size for a post request", 0));
}

}  // namespace
