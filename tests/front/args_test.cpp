#include "front/korproxy_args.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A heap copy of exactly the text and its terminator, as the list requires (and so that a read
// past the terminator is caught under the address sanitizer).
char* heapText(const std::string& text) {
    auto* block = static_cast<char*>(malloc(text.size() + 1));
    memcpy(block, text.c_str(), text.size() + 1);
    return block;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;
constexpr const char* kNoValue = "(null)";

Pairs pairsOf(const ArgNode* head) {
    Pairs pairs;
    for (const ArgNode* n = head; n != nullptr; n = n->next) {
        pairs.emplace_back(n->name, n->value != nullptr ? n->value : kNoValue);
    }
    return pairs;
}

TEST(ArgList, SplitsAtEveryAmpersandAndTheFirstEquals) {
    const std::pair<const char*, Pairs> cases[] = {
        {"server=h:1500&url=/x", {{"SERVER", "h:1500"}, {"URL", "/x"}}},
        {"a=1&&b", {{"A", "1"}, {"", kNoValue}, {"B", kNoValue}}},
        {"=x", {{"", "x"}}},
        {"URL=/a=b", {{"URL", "/a=b"}}},
        {"a=1&", {{"A", "1"}, {"", kNoValue}}},
        {"&", {{"", kNoValue}, {"", kNoValue}}},
        {"Mixed9_x=KeepCase", {{"MIXED9_X", "KeepCase"}}},
        {"a=", {{"A", ""}}}};
    for (const auto& [text, expected] : cases) {
        ArgList list(buildArgList(heapText(text)));
        EXPECT_EQ(pairsOf(list.get()), expected) << text;
    }
}

std::string piecesText(size_t pieces) {
    std::string text = "a=1";
    for (size_t i = 1; i < pieces; ++i) text += "&b";
    return text;
}

TEST(ArgList, AcceptsTheLimitOfPiecesAndRefusesOneMoreWithAnErrorPage) {
    ArgList list(buildArgList(heapText(piecesText(kMaxArgPieces))));
    size_t count = 0;
    for (const ArgNode* n = list.get(); n != nullptr; n = n->next) ++count;
    EXPECT_EQ(count, kMaxArgPieces);

    std::string text = piecesText(kMaxArgPieces + 1);
    char* block = heapText(text);
    bool pageWritten = false;
    testing::internal::CaptureStdout();
    EXPECT_EQ(buildArgList(block, &pageWritten), nullptr);
    std::string page = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(pageWritten);
    EXPECT_NE(page.find("<h2>Error!</h2>This request holds 10001 arguments; no more than 10000 are "
                        "accepted."),
              std::string::npos)
        << page;
    EXPECT_EQ(block, text) << "a refused text is handed back uncut";
    free(block);
}

TEST(ArgList, LookupsAndFree) {
    ArgNode* head = buildArgList(heapText("urlx=1&serverx=a&server=b&url=c"));
    ArgNode* server = findArgPrefix(head, "SERVER");
    ASSERT_NE(server, nullptr);
    EXPECT_STREQ(server->value, "a") << "the first node whose name begins with the key wins";
    ArgNode* url = findArgExact(head, "URL");
    ASSERT_NE(url, nullptr);
    EXPECT_STREQ(url->value, "c");
    EXPECT_EQ(findArgExact(head, "SERVE"), nullptr);
    EXPECT_EQ(findArgPrefix(nullptr, "URL"), nullptr);
    url->value = heapText("/converted");
    url->ownsValue = 1;
    freeArgList(&head);  // the sanitizer build reports the owned value if it leaks
    EXPECT_EQ(head, nullptr);
    freeArgList(&head);
}

TEST(UnescapeUrl, DecodesEscapesThenPluses) {
    // A character that is no hex digit counts as 0, the neighbours of the digit ranges too; a
    // "%" with fewer than two characters before the end stays as it is.
    const std::pair<std::string, std::string> cases[] = {
        {"a+b%41", "a bA"}, {"%2B", " "},
        {"100%25", "100%"}, {"%2541", "%41"},
        {"ab%zzcd", "ab"},  {"%7e%7E%3a", "~~:"},
        {"%e9", "\xe9"},    {"%G1%g1%:1%/1%@1%`1", "\x01\x01\x01\x01\x01\x01"},
        {"%", "%"},         {"%4", "%4"},
        {"a%4", "a%4"},     {"%41%", "A%"},
        {"+%", " %"}};
    for (const auto& [in, out] : cases) {
        char* text = heapText(in);
        EXPECT_EQ(unescapeUrl(text), text);
        EXPECT_EQ(std::string(text), out) << in;
        free(text);
    }
    EXPECT_EQ(unescapeUrl(nullptr), nullptr);
}

}  // namespace
