// The page templates: marker lines replaced, every inserted value escaped, and the password field
// always empty.
#include <gtest/gtest.h>

#include <string>

#include "front_testing.h"

namespace {

using fronttest::readFile;
using fronttest::rendered;

const TemplateValues kPlain{"/cgi-bin/velkproxy", "admin", "/cgi-bin/velkproxy", "velk01", "1500"};

// The setup form's markers filled with values that each need escaping (the action's blank
// percent-encoded as well), against the page as it must be.
TEST(RenderTemplate, SetupFormMatchesItsGoldenPage) {
    TemplateValues hostile{"/x y\"><script>", "a\"b", "/c&d", "<h>", "'1'"};
    hostile.allowedServers = "h1, <h2>:1&";
    EXPECT_EQ(rendered("a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n<!--DADDRESS-->\n"
                       "<!--DPORT-->\n<!--ALLOWED-->\n<!--COPYRIGHT-->",
                       true, hostile),
              readFile(KORPROXY_SOURCE_DIR "/tests/front/golden/setupform.html"));
}

// Any other page fills only the form and notice markers and copies the field marker lines.
TEST(RenderTemplate, OtherPagesKeepTheFieldMarkers) {
    EXPECT_EQ(
        rendered("a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--DPORT-->\n<!--COPYRIGHT-->", false,
                 kPlain),
        "<FORM METHOD=GET ACTION=/cgi-bin/velkproxy>\n<!--ID-->\n<!--PSWD-->\n<!--DPORT-->\n" +
            std::string(kLegalNotice) + "\n");
}

// The line reader under every template (and the product file): a last line feed yields one more
// line, carriage returns are dropped anywhere, and a long line is cut, its rest dropped.
TEST(RenderTemplate, LineEnds) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"", "\n"},
        {"a\nb\n", "a\nb\n\n"},
        {"a\r\n\r\nb\rc", "a\n\nbc\n"},
        {std::string(600, 'x') + "\ny", std::string(511, 'x') + "\ny\n"},
        {std::string(511, 'x') + "\ny", std::string(511, 'x') + "\ny\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(rendered(c.text, false, kPlain), c.expected);
}

}  // namespace
