// GET and POST requests, special requests and the setup form through the real program, compared
// whole with the pages they must be.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_template.h"
#include "program_run.h"
#include "settings/pssec.h"

namespace {

using fronttest::runCommand;
using fronttest::runGet;
using fronttest::runPost;
using fronttest::TempDir;

constexpr const char kScript[] = "SCRIPT_NAME=/cgi-bin/velkproxy/korproxy";

// The program's folder with its shipped pages; product texts as the test process reads them.
struct Site {
    TempDir dir;
    Site() {
        fronttest::copyShippedPages(dir);
        readProductNameFileAt(dir.file("prodname.txt").c_str());
    }
};

std::string errorPage(const std::string& message, int32_t code, OptionsRecord opts = {}) {
    OptionsRecord* saved = optsP;
    optsP = &opts;
    std::string page =
        fronttest::captured([&](FILE* out) { printErrorPageTo(out, message.c_str(), code); });
    optsP = saved;
    return page;
}

std::string templatePage(const Site& site, const char* name, bool setupForm,
                         const TemplateValues& values) {
    std::string text = fronttest::readFile(site.dir.file(name));
    return "Content-type: text/html\n\n" + fronttest::captured([&](FILE* out) {
               FILE* in = fmemopen(text.data(), text.size(), "r");
               renderTemplate(in, out, setupForm, values);
               fclose(in);
           });
}

std::string jumpPage(const Site& site, const char* action = "/cgi-bin/velkproxy/korproxy") {
    return templatePage(site, kJumpPage, false, {action, "", "", "", ""});
}

TEST(GetRequest, JumpPages) {
    for (const char* query : {"", "jump=1", "JUMP=1&SETUP=SETUP&DADDRESS=x", "JUMPX"}) {
        Site site;
        fronttest::ProgramRun run = runGet(site.dir, query, {kScript});
        EXPECT_EQ(run.status, 0) << query;
        EXPECT_EQ(run.out, jumpPage(site)) << query;
    }
    Site site;
    EXPECT_NE(fronttest::runKorproxy(site.dir, {"REQUEST_METHOD=GET"}, {})
                  .out.find("<FORM METHOD=GET ACTION=korproxy>\n"),
              std::string::npos);
}

TEST(GetRequest, ErrorPages) {
    struct Case {
        std::vector<std::string> setup;
        std::string query, message;
        int32_t code;
        int status;
    };
    const std::vector<std::string> creds = {"-proxyId=admin", "-proxyPassword=pw"};
    const Case cases[] = {
        {{"-tcps=h"},
         "",
         "Errors with the default values for server and port were detected.  "
         "Please correct the problem.",
         0,
         255},
        {{"-tcps=h"},
         "URL=/x",
         "Errors with the default values for server and port were "
         "detected.  Please correct the problem.",
         0,
         255},
        {creds, "SERVER=h&URL=/", "", -1, 255},
        {creds, "SERVER&URL=/", "", -1, 255},
        {{"-trace=null"}, "SERVER=h:1500&URL=/", "", 1, 255},
    };
    for (const Case& c : cases) {
        Site site;
        if (!c.setup.empty()) (void)runCommand(site.dir, c.setup);
        OptionsRecord opts{};
        for (const std::string& a : c.setup) {
            if (a.rfind("-tcps=", 0) == 0)
                snprintf(opts.server, sizeof opts.server, "%s", a.c_str() + 6);
        }
        fronttest::ProgramRun run = runGet(site.dir, c.query);
        EXPECT_EQ(run.status, c.status) << c.query;
        EXPECT_EQ(run.out, errorPage(c.message, c.code, opts)) << c.query;
    }
}

TEST(GetRequest, RefusedConnectionShowsTheSessionError) {
    Site site;
    (void)runCommand(site.dir, {"-proxyId=admin", "-proxyPassword=pw"});
    fronttest::ProgramRun run = runGet(site.dir, "SERVER=http%3A%2F%2F127.0.0.1%3A1&URL=%2F");
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.out.find("An internal error occured in the session layer.<br>\n"
                           "Last error message: "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("None."), std::string::npos) << run.out;
}

TEST(SpecialRequest, SetupFormNeverShowsThePassword) {
    Site site;
    (void)runCommand(site.dir, {"-proxyId=a\"dm<in", "-proxyPassword=hunter2", "-tcps=v&1",
                                "-tcpp=1500", "-cgiUrl=/cgi-bin/velkproxy"});
    fronttest::ProgramRun run = runGet(site.dir, "config=1", {kScript});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, templatePage(site, kSetupFormPage, true,
                                    {"/cgi-bin/velkproxy", "a\"dm<in", "/cgi-bin/velkproxy", "v&1",
                                     "1500"}));
    EXPECT_NE(run.out.find("NAME=\"PSWD\" VALUE=\"\">"), std::string::npos);
    EXPECT_NE(run.out.find("VALUE=\"a&quot;dm&lt;in\""), std::string::npos);
    EXPECT_EQ(run.out.find("hunter2"), std::string::npos);
}

TEST(SpecialRequest, ForceTraceDumpsTheQueryWithoutThePassword) {
    Site site;
    fronttest::ProgramRun run =
        runGet(site.dir, "FORCETRACE=1&PSWD=hunter2&x&FORCETRACE=2&JUMP=1", {kScript});
    EXPECT_EQ(run.out, jumpPage(site));
    std::string trace = fronttest::readFile(site.dir.file("proxytrace.txt"));
    EXPECT_NE(trace.find(") Query was: FORCETRACE=1,PSWD=*****,X=*NULL*,FORCETRACE=2,JUMP=1,\n"),
              std::string::npos)
        << trace;
    // The second FORCETRACE writes its lines again but not the query.
    EXPECT_NE(trace.find(") Query was: \n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("hunter2"), std::string::npos) << trace;
}

TEST(SpecialRequest, SetupStoresWhatDiffers) {
    Site site;
    (void)runCommand(site.dir, {"-proxyId=admin", "-proxyPassword=old", "-tcps=velk01",
                                "-tcpp=1500", "-trace=null"});
    // An empty PSWD keeps the stored password; an empty DADDRESS clears the server, so the final
    // page is the jump page, its form pointing at the new CGI URL.
    fronttest::ProgramRun run =
        runGet(site.dir, "SETUP=SETUP&ID=root&PSWD=&CGIURL=/cgi-bin&DADDRESS=&DPORT=1600");
    EXPECT_EQ(run.out, jumpPage(site, "/cgi-bin/velkproxy"));
    setenv("KORPROXY_REGISTRY", site.dir.file("registry.db").c_str(), 1);
    OptionsRecord opts{};
    (void)psReadDefaultFile(&opts);
    char id[kCredentialSize] = {}, password[kCredentialSize] = {};
    EXPECT_EQ(psReadPasswordFile(id, password), 0);
    EXPECT_STREQ(opts.server, "");
    EXPECT_STREQ(opts.port, "1600");
    EXPECT_STREQ(opts.cgiUrl, "/cgi-bin/velkproxy");
    EXPECT_STREQ(id, "root");
    EXPECT_STREQ(password, "old");

    // A value that does not fit stores nothing, not even the values that would.
    std::string query = "SETUP=SETUP&ID=x&DPORT=1&DADDRESS=" + std::string(65, 'h');
    run = runGet(site.dir, query);
    OptionsRecord now{};
    (void)psReadDefaultFile(&now);
    EXPECT_EQ(psReadPasswordFile(id, password), 0);
    unsetenv("KORPROXY_REGISTRY");
    EXPECT_EQ(run.out, errorPage("The value of the field DADDRESS is too long: no more than 64 "
                                 "characters are accepted. Nothing has been stored.",
                                 0, opts));
    EXPECT_STREQ(now.port, "1600");
    EXPECT_STREQ(id, "root");
}

TEST(SpecialRequest, SetupWithADefaultServerGoesOnToItsStartPage) {
    Site site;
    (void)runCommand(site.dir, {"-proxyId=admin", "-proxyPassword=pw"});
    fronttest::ProgramRun run = runGet(site.dir, "SETUP=SETUP&DADDRESS=127.0.0.1&DPORT=1");
    // The start page is asked of the new default server, which refuses the connection.
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Last error message: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("value=\"127.0.0.1:1\">"), std::string::npos) << run.out;
}

TEST(PostRequest, RefusedBodies) {
    struct Case {
        std::string body, length, message;
        int status;
    };
    const Case cases[] = {
        {"SERVER=h:1&URL=/&a=1", "0", "Invalid Size for a post request", 255},
        {"SERVER=h:1&URL=/&a=1", "-5", "Invalid Size for a post request", 255},
        {"SERVER=h:1&URL=/&a=1", "abc", "Invalid Size for a post request", 255},
        {"SERVER=h:1&URL=/&a=1", "1048577", "Request body too large", 255},
        {"SERVER=h:1&URL=/&a=1", "99999999999999999999", "Request body too large", 255},
        {"", "5", "Blank POST, should contain some information", 0},
        {"SERVER=h:1&URL=/x", "", "A blank post was submitted to the web proxy.", 0},
        {"SERVER=h:1", "", "A blank post was submitted to the web proxy.", 0},
        {"\r\n\r\n", "", "A blank post was submitted to the web proxy.", 0},
        {"URL=/x&a=1&b=2", "", "Internal Error: Post data did not contain any server name", 255},
    };
    for (const Case& c : cases) {
        Site site;
        fronttest::ProgramRun run = runPost(site.dir, c.body, c.length);
        EXPECT_EQ(run.status, c.status) << c.body << " " << c.length;
        EXPECT_EQ(run.out, errorPage(c.message, 0)) << c.body << " " << c.length;
    }
    Site site;
    EXPECT_EQ(fronttest::runKorproxy(site.dir, {"REQUEST_METHOD=POST"}, {}, "a&b&c").out,
              errorPage("Invalid Size for a post request", 0));
}

}  // namespace

namespace {

TEST(SpecialRequest, StoredTraceNeverHoldsASubmittedPassword) {
    Site site;
    (void)fronttest::runCommand(site.dir, {"-trace=" + site.dir.file("trace.txt")});
    (void)fronttest::runGet(site.dir, "SETUP=SETUP&pswd=hunter2&PSWDX=hunter3&ID=admin");
    std::string trace = fronttest::readFile(site.dir.file("trace.txt"));
    EXPECT_NE(trace.find("args are (SETUP=SETUP&pswd=*****&PSWDX=*****&ID=admin)\n"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("name = (pswd) value = (*****)\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("hunter"), std::string::npos) << trace;
}

}  // namespace
