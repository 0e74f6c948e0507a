// The page templates: marker lines replaced, every inserted value escaped, and the password field
// always empty.
#include <gtest/gtest.h>

#include <string>

#include "front_testing.h"

namespace {

using fronttest::rendered;

// The setup form's markers filled with values that each need escaping (the action's blank
// percent-encoded as well), against the page as it must be.
TEST(RenderTemplate, SetupFormMatchesItsGoldenPage) {
    TemplateValues hostile{"/x y\"><script>", "a\"b", "/c&d", "<h>", "'1'"};
    hostile.allowedServers = "h1, <h2>:1&";
    EXPECT_EQ(rendered("a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n<!--DADDRESS-->\n"
                       "<!--DPORT-->\n<!--ALLOWED-->\n<!--COPYRIGHT-->",
                       true, hostile),
              fronttest::readFile(KORPROXY_SOURCE_DIR "/tests/front/golden/setupform.html"));
}

// Any other page fills only the form and notice markers and copies the field marker lines. The
// line reader under every template (and the product file): a last line feed yields one more line,
// carriage returns are dropped anywhere, and a long line is cut, its rest dropped.
TEST(RenderTemplate, OtherPagesAndLineEnds) {
    const std::string x511(511, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--DPORT-->\n<!--COPYRIGHT-->",
         "<FORM METHOD=GET ACTION=/cgi-bin/velkproxy>\n<!--ID-->\n<!--PSWD-->\n<!--DPORT-->\n" +
             std::string(kLegalNotice) + "\n"},
        {"", "\n"},
        {"a\nb\n", "a\nb\n\n"},
        {"a\r\n\r\nb\rc", "a\n\nbc\n"},
        {std::string(600, 'x') + "\ny", x511 + "\ny\n"},
        {x511 + "\ny", x511 + "\ny\n"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(rendered(text, false, {"/cgi-bin/velkproxy", "admin", "/c", "velk01", "1500"}),
                  expected);
    }
}

}  // namespace
