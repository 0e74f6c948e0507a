// The page templates: marker lines replaced, every inserted value escaped, and the password field
// always empty.
#include <gtest/gtest.h>

#include <string>

#include "front/korproxy_errpage.h"
#include "front/korproxy_template.h"
#include "front_testing.h"

namespace {

std::string rendered(const std::string& templateText, bool setupForm,
                     const TemplateValues& values) {
    return fronttest::captured([&](FILE* out) {
        FILE* in = fmemopen(const_cast<char*>(templateText.data()), templateText.size(), "r");
        if (templateText.empty()) in = fopen("/dev/null", "r");
        ASSERT_NE(in, nullptr);
        renderTemplate(in, out, setupForm, values);
        fclose(in);
    });
}

const TemplateValues kPlain{"/cgi-bin/velkproxy", "admin", "/cgi-bin/velkproxy", "velk01", "1500"};

const std::string kFieldLines =
    "a <!--FORM--> b\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n<!--DADDRESS-->\n<!--DPORT-->\n"
    "<!--COPYRIGHT-->";

TEST(RenderTemplate, SetupFormFillsEveryMarker) {
    EXPECT_EQ(
        rendered(kFieldLines, true, kPlain),
        "<FORM METHOD=GET ACTION=/cgi-bin/velkproxy>\n"
        "<INPUT TYPE=HIDDEN NAME=SETUP VALUE=SETUP>\n"
        "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"ID\" VALUE=\"admin\">\n"
        "<INPUT TYPE=PASSWORD SIZE=32 MAXLENGTH=64 NAME=\"PSWD\" VALUE=\"\">\n"
        "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"CGIURL\" VALUE=\"/cgi-bin/velkproxy\">\n"
        "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"DADDRESS\" VALUE=\"velk01\">\n"
        "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"DPORT\" VALUE=\"1500\">\n" +
            std::string(kLegalNotice) + "\n");
}

TEST(RenderTemplate, JumpPageCopiesTheFieldMarkerLines) {
    EXPECT_EQ(rendered(kFieldLines, false, kPlain),
              "<FORM METHOD=GET ACTION=/cgi-bin/velkproxy>\n<!--ID-->\n<!--PSWD-->\n<!--CGIURL-->\n"
              "<!--DADDRESS-->\n<!--DPORT-->\n" +
                  std::string(kLegalNotice) + "\n");
}

TEST(RenderTemplate, InsertedValuesAreEscaped) {
    const TemplateValues hostile{"/x y\"><script>", "a\"b", "/c&d", "<h>", "'1'"};
    std::string page = rendered(
        "<!--FORM-->\n<!--ID-->\n<!--CGIURL-->\n<!--DADDRESS-->\n"
        "<!--DPORT-->",
        true, hostile);
    EXPECT_EQ(page,
              "<FORM METHOD=GET ACTION=/x%20y&quot;&gt;&lt;script&gt;>\n"
              "<INPUT TYPE=HIDDEN NAME=SETUP VALUE=SETUP>\n"
              "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"ID\" VALUE=\"a&quot;b\">\n"
              "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"CGIURL\" VALUE=\"/c&amp;d\">\n"
              "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"DADDRESS\" VALUE=\"&lt;h&gt;\">\n"
              "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"DPORT\" VALUE=\"&#39;1&#39;\">\n");
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
