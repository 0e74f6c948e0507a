#include "front/korproxy_errpage.h"

#include <gtest/gtest.h>

#include "common/textcopy.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "front_testing.h"

namespace {

const std::string kHead =
    "Content-type: text/html\n\r\n<HEAD><TITLE>Error!</TITLE></HEAD><BODY BGCOLOR=white>"
    "<table><tr><td width=800 bgcolor=#6699CC><FONT FACE=ARIAL SIZE=+3 COLOR=white>Tape Admin"
    "</font></td></tr></table><P><BR><h2>Error!</h2>";
const std::string kFoot =
    "<br>Tape Admin Version 7.1\n<br><i>" + std::string(kLegalNotice) + "</i>\n";
const std::string kEmptyTable = "<table>\n<tr>\n</tr>\n</table>\n";

// The product texts the pages above name.
void useProduct() {
    copyTextCut(productName, "Tape Admin");
    copyTextCut(productVersion, "7.1");
}

// The page without an options record.
std::string page(const char* message, int32_t code) {
    optsP = nullptr;
    return fronttest::captured([&](FILE* out) { printErrorPageTo(out, message, code); });
}

std::string returnForm(const std::string& action, const std::string& server) {
    return "<table>\n<tr>\n<td>\n<form action=\"" + action +
           "/korproxy\" method=get>\n<input type=hidden name=SERVER value=\"" + server +
           "\">\n<input type=hidden name=URL value=\"/\">\n"
           "<input type=submit value=\"Return to Default Server\">\n</form></td>\n</tr>\n"
           "</table>\n";
}

// The button back to the default server needs both its address and its port; the stored texts
// are escaped, since the setup form may have brought them in.
TEST(ErrorPage, ReturnFormToTheDefaultServer) {
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
    useProduct();
    for (const Case& c : cases) {
        OptionsRecord opts{};
        copyTextCut(opts.server, c.server);
        copyTextCut(opts.port, c.port);
        copyTextCut(opts.cgiUrl, c.cgiUrl);
        EXPECT_EQ(fronttest::errorPage("No URL was specified.", 0, opts),
                  kHead + "No URL was specified." + c.table + kFoot);
    }
}

// A representative report of each kind: a caller's message as it is, code 2's message escaped,
// sentences with the product name, 5 and 9 alike, and the catch-all for any other code.
TEST(ErrorPage, ReportsByCode) {
    const std::string expired =
        "Proxy password has expired.  Please update the password on the Tape Admin server and the "
        "Proxy.\n";
    const std::string internal = "An internal error occured in korproxy!";
    useProduct();
    struct Case {
        int32_t code;
        const char* message;
        std::string report;
    };
    const Case cases[] = {
        {0, "100% done %s %n", "100% done %s %n"},
        {0, nullptr, ""},
        {1, "ignored", "Access to the server denied\n"},
        {2, "", "An internal error occured in the session layer.<br>\nLast error message: None.\n"},
        {2, "host <b>&'\"",
         "An internal error occured in the session layer.<br>\n"
         "Last error message: host &lt;b&gt;&amp;&#39;&quot;\n"},
        {5, "", expired},
        {9, "", expired},
        {11, "", "The proxy id is locked on the this Tape Admin server\n"},
        {12, "ignored", "Try request again.\n"},
        {13, "", internal},
        {-1, "ignored", internal},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(page(c.message, c.code), kHead + c.report + kFoot) << "code " << c.code;
    }
}

}  // namespace
