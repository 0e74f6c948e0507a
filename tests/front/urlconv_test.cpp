#include "front/korproxy_urlconv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "tests/session/trace_capture.h"

namespace {

// Runs the conversion on a node whose value lies in a text the test owns, as in a request list.
struct Converted {
    std::string value;
    bool owned;
};

Converted convert(const std::string& value) {
    std::string text = value;
    ArgNode node{};
    node.name = nullptr;
    node.value = text.data();
    ConvertUrlBack(&node);
    Converted result{node.value, node.ownsValue == 1};
    if (node.ownsValue == 1) {
        free(node.value);
    } else {
        EXPECT_EQ(node.value, text.data()) << "an unconverted node keeps its own text";
    }
    return result;
}

// Only a value with an object token is converted, into a text of the node's own.
TEST(ConvertUrlBack, EncodesSlashesInsideObjectNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/class/admin/object/ARCHIVE.POOL/2004/tape",
         "/class/admin/object/ARCHIVE%2EPOOL%2F2004%2Ftape"},
        {"/operation/object/x/y/task/z/w", "/operation/object/x%2Fy/task/z/w"},
        {"/group/object/g/h/class/object/c/d", "/group/object/g%2Fh/class/object/c%2Fd"},
        {"/object/a.b c:d\\e\t\xe9_Z9", "/object/a%2Eb%20c%3Ad%5Ce%09%E9_Z9"},
        {"/object/", "/object/"},
        {"/object/a//b", "/object/a%2F%2Fb"},
        {"xobject/a/b", "/object/a%2Fb"},
        {"/object/a/object/b/c", "/object/a%2Fobject/b%2Fc"},
        {"/object/a/b/tasks/c/d", "/object/a%2Fb/tasks/c/d"},
        {"/object", "/object"},
        {"/a/myobjects/b/c", "/a/myobjects/b/c"}};
    for (const auto& [in, out] : cases) {
        Converted c = convert(in);
        EXPECT_EQ(c.value, out) << in;
        EXPECT_TRUE(c.owned) << in;
    }
    for (const char* unchanged : {"/", "", "/class/admin/x.y", "/Object/a/b"}) {
        Converted c = convert(unchanged);
        EXPECT_EQ(c.value, unchanged);
        EXPECT_FALSE(c.owned) << unchanged;
    }
    ArgNode nullValue{};
    ConvertUrlBack(&nullValue);
    EXPECT_EQ(nullValue.value, nullptr);
    EXPECT_EQ(nullValue.ownsValue, 0);
    ConvertUrlBack(nullptr);
}

std::string slashes(size_t n) {
    return "/object" + std::string(n, '/');
}

TEST(ConvertUrlBack, TokenBoundIs256) {
    // "object" followed by 255 slashes is 256 tokens: the first empty one follows the object
    // token, the other 254 are inside its name.
    std::string expected = "/object/";
    for (int i = 0; i < 254; ++i) expected += "%2F";
    Converted atLimit = convert(slashes(kMaxUrlTokens - 1));
    EXPECT_TRUE(atLimit.owned);
    EXPECT_EQ(atLimit.value, expected);

    TraceCapture trace;
    Converted pastLimit = convert(slashes(kMaxUrlTokens));
    EXPECT_FALSE(pastLimit.owned);
    EXPECT_EQ(pastLimit.value, slashes(kMaxUrlTokens));
    EXPECT_TRUE(trace.has("(korproxy, N) ) ConvertUrlBack: Reached maximum number of tokens. \n"))
        << trace.text();
}

}  // namespace
