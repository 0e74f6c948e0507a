// The options below name only the fields the page reads.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include "front/korproxy_errpage.h"

#include <gtest/gtest.h>

#include "common/textcopy.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "front_testing.h"

namespace {

// The page under the product texts of the golden page, with `opts` stored (none when null).
std::string page(const char* message, int32_t code, const OptionsRecord* opts) {
    copyTextCut(productName, "Tape Admin");
    copyTextCut(productVersion, "7.1");
    OptionsRecord copy = opts != nullptr ? *opts : OptionsRecord{};
    optsP = opts != nullptr ? &copy : nullptr;
    std::string text =
        fronttest::captured([&](FILE* out) { printErrorPageTo(out, message, code); });
    optsP = nullptr;
    return text;
}

// The golden page holds the button back to the default server, its stored texts escaped (the setup
// form may have brought them in); every other page is its head and foot around the report. A
// caller's message is written as it is, code 2's escaped; 9 reads as 5 (whose sentence the
// simulator sessions show); any other code gets the catch-all. Without the address or the port
// the button's row is empty.
TEST(ErrorPage, ReportsAndTheReturnForm) {
    const std::string golden =
        fronttest::readFile(KORPROXY_SOURCE_DIR "/tests/front/golden/errorpage.html");
    const std::string head = golden.substr(0, golden.find("No URL")),
                      foot = golden.substr(golden.find("<br>Tape Admin Version"));
    const OptionsRecord hostile{.server = "a\"><b>", .port = "1500'&", .cgiUrl = "/c\"gi"};
    EXPECT_EQ(page("No URL was specified.", 0, &hostile), golden);
    const std::string noRow = "<table>\n<tr>\n</tr>\n</table>\n";
    const OptionsRecord noPort{.server = "velk1", .cgiUrl = "/cgi"}, noServer{.port = "1500"};
    const std::tuple<int32_t, const char*, const OptionsRecord*, std::string> cases[] = {
        {0, "100% done %s %n", nullptr, "100% done %s %n"},
        {0, nullptr, nullptr, ""},
        {0, "x", &noPort, "x" + noRow},
        {0, "x", &noServer, "x" + noRow},
        {1, "ignored", nullptr, "Access to the server denied\n"},
        {2, "", nullptr,
         "An internal error occured in the session layer.<br>\nLast error message: None.\n"},
        {2, "host <b>&'\"", nullptr,
         "An internal error occured in the session layer.<br>\n"
         "Last error message: host &lt;b&gt;&amp;&#39;&quot;\n"},
        {9, "", nullptr,
         "Proxy password has expired.  Please update the password on the Tape Admin server and the "
         "Proxy.\n"},
        {-1, "ignored", nullptr, "An internal error occured in korproxy!"},
    };
    for (const auto& [code, message, opts, report] : cases) {
        EXPECT_EQ(page(message, code, opts), head + report + foot) << "code " << code;
    }
}

}  // namespace
