// The request argument list under hostile request texts: the GET road (the whole text decoded, then
// split) and the POST road (split, then the URL value decoded), with the lookups and the URL
// conversion that follow on each. The decoder is checked against the decoding rule written out
// plainly here, and the conversion against its promise: whatever it makes of a value, decoding its
// output gives back the value with its first character read as "/" (it only ever encodes).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

#include "front/korproxy_args.h"
#include "front/korproxy_urlconv.h"
#include "fuzz/fuzz_support.h"

namespace {

// %XX is one byte. The request's decoding rule (`lenient`): a zero byte ends the text, a "%"
// closer than two characters to the end stays, and every "+" is a space. The conversion's output
// (not lenient) holds no "%" that does not begin a whole escape.
std::string decoded(const std::string& text, bool lenient) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            c = static_cast<char>(16 * hexDigitValue(text[i + 1]) + hexDigitValue(text[i + 2]));
            i += 3;
            if (c == '\0' && lenient) break;
        } else {
            FUZZ_CHECK(lenient || c != '%');
            ++i;
        }
        out.push_back(c == '+' && lenient ? ' ' : c);
    }
    return out;
}

void checkConversion(ArgNode* url) {
    const char* before = url->value;
    const std::string original = before;
    ConvertUrlBack(url);
    FUZZ_CHECK(url->value != nullptr);
    if (url->ownsValue != 1) {
        FUZZ_CHECK(url->value == before);
        return;
    }
    const std::string converted = url->value;
    for (char c : converted) FUZZ_CHECK(isalnum(static_cast<unsigned char>(c)) || strchr("_/%", c));
    FUZZ_CHECK(original.find("object") != std::string::npos);
    FUZZ_CHECK(decoded(converted, false) == "/" + original.substr(1));
}

void checkList(ArgNode* head, const char* block, size_t blockLength, size_t pieces) {
    size_t count = 0;
    for (ArgNode* node = head; node != nullptr; node = node->next) {
        ++count;
        FUZZ_CHECK(node->name >= block && node->name <= block + blockLength);
        for (const char* p = node->name; *p != '\0'; ++p) FUZZ_CHECK(!(*p >= 'a' && *p <= 'z'));
        FUZZ_CHECK(strchr(node->name, '&') == nullptr && strchr(node->name, '=') == nullptr);
        if (node->value != nullptr) {
            FUZZ_CHECK(node->value > block && node->value <= block + blockLength);
            FUZZ_CHECK(strchr(node->value, '&') == nullptr);
        }
    }
    FUZZ_CHECK(count == pieces);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    if (size == 0) return 0;
    const bool postRoad = (data[0] & 1) != 0;
    char* text = fuzzCText(data + 1, size - 1);
    const std::string original = text;

    if (!postRoad) {
        unescapeUrl(text);
        FUZZ_CHECK(std::string(text) == decoded(original, true));
    }
    const std::string split = text;
    const size_t pieces = split.empty() ? 0 : 1 + std::ranges::count(split, '&');
    bool pageWritten = true;
    ArgNode* head = buildArgList(text, &pageWritten);
    if (head == nullptr) {
        // Refused or empty: the text is still the caller's, and a page was written only for a
        // refusal.
        FUZZ_CHECK(pageWritten == (pieces > kMaxArgPieces));
        free(text);
        return 0;
    }
    FUZZ_CHECK(!pageWritten);
    checkList(head, text, split.size(), pieces);

    (void)findArgPrefix(head, "SERVER");
    ArgNode* url = findArgExact(head, "URL");
    if (url != nullptr && url->value != nullptr) {
        if (postRoad) unescapeUrl(url->value);
        checkConversion(url);
    }
    freeArgList(&head);
    FUZZ_CHECK(head == nullptr);
    return 0;
}
