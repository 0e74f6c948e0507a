// The page templates: marker lines replaced, every inserted value escaped, and the password field
// always empty.
#include <gtest/gtest.h>

#include <string>

#include "front_testing.h"

namespace {

using fronttest::rendered;

const TemplateValues kPlain{"/cgi-bin/velkproxy", "admin", "/cgi-bin/velkproxy", "velk01", "1500"};

const std::string kFieldLines =
    "a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n<!--DADDRESS-->\n<!--DPORT-->\n"
    "<!--COPYRIGHT-->";

// The setup form as it must be, from the texts as they must appear in it.
std::string setupForm(const std::string& action, const std::string& id, const std::string& cgiUrl,
                      const std::string& server, const std::string& port) {
    const std::string input = "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"";
    return "<FORM METHOD=GET ACTION=" + action + ">\n<INPUT TYPE=HIDDEN NAME=SETUP VALUE=SETUP>\n" +
           input + "ID\" VALUE=\"" + id + "\">\n" +
           "<INPUT TYPE=PASSWORD SIZE=32 MAXLENGTH=64 NAME=\"PSWD\" VALUE=\"\">\n" + input +
           "CGIURL\" VALUE=\"" + cgiUrl + "\">\n" + input + "DADDRESS\" VALUE=\"" + server +
           "\">\n" + input + "DPORT\" VALUE=\"" + port + "\">\n" + kLegalNotice + "\n";
}

// The jump page fills only the form marker and copies the field marker lines.
TEST(RenderTemplate, SetupFormFillsEveryMarkerEscapedAndNeverThePassword) {
    EXPECT_EQ(rendered(kFieldLines, true, kPlain),
              setupForm("/cgi-bin/velkproxy", "admin", "/cgi-bin/velkproxy", "velk01", "1500"));
    const TemplateValues hostile{"/x y\"><script>", "a\"b", "/c&d", "<h>", "'1'"};
    EXPECT_EQ(rendered(kFieldLines, true, hostile),
              setupForm("/x%20y&quot;&gt;&lt;script&gt;", "a&quot;b", "/c&amp;d", "&lt;h&gt;",
                        "&#39;1&#39;"));
    EXPECT_EQ(rendered(kFieldLines, false, kPlain),
              "<FORM METHOD=GET ACTION=/cgi-bin/velkproxy>\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n"
              "<!--DADDRESS-->\n<!--DPORT-->\n" +
                  std::string(kLegalNotice) + "\n");
}

TEST(RenderTemplate, LineEnds) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"", "\n"},
        {"a\nb\n", "a\nb\n\n"},
        {"a\r\nb", "a\nb\n"},
        {std::string(600, 'x') + "\ny", std::string(511, 'x') + "\ny\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(rendered(c.text, false, kPlain), c.expected);
}

}  // namespace
