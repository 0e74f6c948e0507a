#include "front/korproxy_urlconv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/session/trace_capture.h"

namespace {

// Converts a node whose value lies in a text the test owns, as in a request list; a converted
// value is a text of the node's own, an unconverted one stays the test's.
std::string convert(const std::string& value, bool owned) {
    std::string text = value;
    ArgNode node{};
    node.value = text.data();
    ConvertUrlBack(&node);
    std::string result = node.value;
    EXPECT_EQ(node.ownsValue == 1, owned) << value;
    EXPECT_EQ(node.value == text.data(), !owned) << value;
    if (node.ownsValue == 1) free(node.value);
    return result;
}

// Only a value holding "object" is converted, some of them to the text they were.
TEST(ConvertUrlBack, EncodesSlashesInsideObjectNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/class/admin/object/ARCHIVE.POOL/2004/tape",
         "/class/admin/object/ARCHIVE%2EPOOL%2F2004%2Ftape"},
        {"/operation/object/x/y/task/z/w", "/operation/object/x%2Fy/task/z/w"},
        {"/group/object/g/h/class/object/c/d", "/group/object/g%2Fh/class/object/c%2Fd"},
        {"/object/a.b c:d\\e\t\xe9_Z9", "/object/a%2Eb%20c%3Ad%5Ce%09%E9_Z9"},
        {"/object/a//b", "/object/a%2F%2Fb"},
        {"xobject/a/b", "/object/a%2Fb"},
        {"/object/a/object/b/c", "/object/a%2Fobject/b%2Fc"},
        {"/object/a/b/tasks/c/d", "/object/a%2Fb/tasks/c/d"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(convert(in, true), out) << in;
    for (const char* same :
         {"/object/", "/object", "/a/myobjects/b/c", "/", "", "/class/admin/x.y", "/Object/a/b"}) {
        EXPECT_EQ(convert(same, strstr(same, "object") != nullptr), same);
    }
    ArgNode nullValue{};
    ConvertUrlBack(&nullValue);
    EXPECT_EQ(nullValue.ownsValue, 0);
    ConvertUrlBack(nullptr);
}

// "object" followed by 255 slashes is 256 tokens: the first empty one follows the object token,
// the other 254 are inside its name. One more is left as it is, traced.
TEST(ConvertUrlBack, TokenBoundIs256) {
    std::string expected = "/object/";
    for (int i = 0; i < 254; ++i) expected += "%2F";
    EXPECT_EQ(convert("/object" + std::string(kMaxUrlTokens - 1, '/'), true), expected);
    TraceCapture trace;
    const std::string past = "/object" + std::string(kMaxUrlTokens, '/');
    EXPECT_EQ(convert(past, false), past);
    EXPECT_TRUE(trace.has("(korproxy, N) ) ConvertUrlBack: Reached maximum number of tokens. \n"))
        << trace.text();
}

}  // namespace
