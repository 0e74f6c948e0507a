// The options below name only the fields the page reads.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
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

// The page under the product texts above, with the stored options `opts` (none when null).
std::string page(const char* message, int32_t code, const OptionsRecord* opts = nullptr) {
    copyTextCut(productName, "Tape Admin");
    copyTextCut(productVersion, "7.1");
    OptionsRecord copy = opts != nullptr ? *opts : OptionsRecord{};
    optsP = opts != nullptr ? &copy : nullptr;
    std::string text =
        fronttest::captured([&](FILE* out) { printErrorPageTo(out, message, code); });
    optsP = nullptr;
    return text;
}

// The button back to the default server, its stored texts escaped (the setup form may have
// brought them in), against the page as it must be; without the address or the port the row is
// empty.
TEST(ErrorPage, ReturnFormToTheDefaultServer) {
    const OptionsRecord hostile{.server = "a\"><b>", .port = "1500'&", .cgiUrl = "/c\"gi"};
    EXPECT_EQ(page("No URL was specified.", 0, &hostile),
              fronttest::readFile(KORPROXY_SOURCE_DIR "/tests/front/golden/errorpage.html"));
    const std::string emptyRow = "No URL was specified.<table>\n<tr>\n</tr>\n</table>\n";
    for (const OptionsRecord& opts :
         {OptionsRecord{.server = "velk1", .cgiUrl = "/cgi"}, OptionsRecord{.port = "1500"}}) {
        EXPECT_EQ(page("No URL was specified.", 0, &opts), kHead + emptyRow + kFoot);
    }
}

// A representative report of each kind: a caller's message as it is, code 2's message escaped,
// a sentence with the product name, 5 and 9 alike, the last code, and the catch-all for any
// other code.
TEST(ErrorPage, ReportsByCode) {
    const std::string expired =
        "Proxy password has expired.  Please update the password on the Tape Admin server and the "
        "Proxy.\n";
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
        {12, "ignored", "Try request again.\n"},
        {-1, "ignored", "An internal error occured in korproxy!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(page(c.message, c.code), kHead + c.report + kFoot) << "code " << c.code;
    }
}

}  // namespace
