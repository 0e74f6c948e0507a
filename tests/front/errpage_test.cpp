#include "front/korproxy_errpage.h"

#include <gtest/gtest.h>

#include "common/textcopy.h"
#include "front/korproxy.h"
#include "front/korproxy_prodname.h"
#include "front_testing.h"

namespace {

const std::string kHead =
    "Content-type: text/html\n\r\n<HEAD><TITLE>Error!</TITLE></HEAD><BODY BGCOLOR=white>"
    "<table><tr><td width=800 bgcolor=#6699CC><FONT FACE=ARIAL SIZE=+3 COLOR=white>Tape Admin"
    "</font></td></tr></table><P><BR><h2>Error!</h2>";
const std::string kFoot =
    "<br>Tape Admin Version 7.1\n<br><i>" + std::string(kLegalNotice) + "</i>\n";
const std::string kEmptyTable = "<table>\n<tr>\n</tr>\n</table>\n";

class ErrorPage : public ::testing::Test {
  protected:
    void SetUp() override {
        copyTextCut(productName, "Tape Admin");
        copyTextCut(productVersion, "7.1");
        optsP = nullptr;
    }
    void TearDown() override { optsP = nullptr; }

    void useOptions(const char* server, const char* port, const char* cgiUrl) {
        opts_ = OptionsRecord{};
        copyTextCut(opts_.server, server);
        copyTextCut(opts_.port, port);
        copyTextCut(opts_.cgiUrl, cgiUrl);
        optsP = &opts_;
    }

    static std::string page(const char* message, int32_t code) {
        return fronttest::captured([&](FILE* out) { printErrorPageTo(out, message, code); });
    }

    OptionsRecord opts_{};
};

std::string returnForm(const std::string& action, const std::string& server) {
    return "<table>\n<tr>\n<td>\n<form action=\"" + action +
           "/korproxy\" method=get>\n<input type=hidden name=SERVER value=\"" + server +
           "\">\n<input type=hidden name=URL value=\"/\">\n"
           "<input type=submit value=\"Return to Default Server\">\n</form></td>\n</tr>\n"
           "</table>\n";
}

// The button back to the default server needs both its address and its port; the stored texts
// are escaped, since the setup form may have brought them in.
TEST_F(ErrorPage, ReturnFormToTheDefaultServer) {
    struct Case {
        const char *server, *port, *cgiUrl;
        std::string table;
    };
    const Case cases[] = {
        {"velk1", "1500", "http://web/cgi-bin/velkproxy",
         returnForm("http://web/cgi-bin/velkproxy", "velk1:1500")},
        {"velk1", "", "/cgi", kEmptyTable},
        {"", "1500", "/cgi", kEmptyTable},
        {"a\"><b>", "1500'&", "/c\"gi",
         returnForm("/c&quot;gi", "a&quot;&gt;&lt;b&gt;:1500&#39;&amp;")},
    };
    for (const Case& c : cases) {
        useOptions(c.server, c.port, c.cgiUrl);
        EXPECT_EQ(page("No URL was specified.", 0),
                  kHead + "No URL was specified." + c.table + kFoot);
    }
}

// The report for each code; a %s in a sentence is the product name.
TEST_F(ErrorPage, ReportForEveryCode) {
    const std::string expired =
        "Proxy password has expired.  Please update the password on the Tape Admin server and the "
        "Proxy.\n";
    const std::string internal = "An internal error occured in korproxy!";
    struct Case {
        int32_t code;
        const char* message;
        std::string report;
    };
    const Case cases[] = {
        {0, "100% done %s %n", "100% done %s %n"},
        {0, "<h3>Proxy out of Memory!</h3>", "<h3>Proxy out of Memory!</h3>"},
        {0, nullptr, ""},
        {1, "ignored", "Access to the server denied\n"},
        {2, "Connect to host (h:1500) failed.",
         "An internal error occured in the session layer.<br>\n"
         "Last error message: Connect to host (h:1500) failed.\n"},
        {2, "", "An internal error occured in the session layer.<br>\nLast error message: None.\n"},
        {2, "host <b>&'\"",
         "An internal error occured in the session layer.<br>\n"
         "Last error message: host &lt;b&gt;&amp;&#39;&quot;\n"},
        {3, "", "The Tape Admin ran out of memory while processing this request.\n"},
        {4, "", "Something did not match up.\n"},
        {5, "", expired},
        {6, "", "Proxy ID was unknown to the Tape Admin server.\n"},
        {7, "", "A soft error occured in the Session layer.\n"},
        {8, "", "A communication error occured.\n"},
        {9, "", expired},
        {10, "",
         "The Tape Admin server you were attempting to send this request to does not support the "
         "proxy protocol.\n"},
        {11, "", "The proxy id is locked on the this Tape Admin server\n"},
        {12, "ignored", "Try request again.\n"},
        {13, "", internal},
        {-1, "ignored", internal},
        {-5, "", internal},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(page(c.message, c.code), kHead + c.report + kFoot) << "code " << c.code;
    }
}

}  // namespace
