// The URL conversion under hostile URL values. Whatever it makes of a value, decoding its output
// gives back the value with its first character read as "/": the conversion only ever encodes.
#include <string>

#include "front/korproxy_args.h"
#include "front/korproxy_urlconv.h"
#include "fuzz/fuzz_support.h"

namespace {

bool encodedByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '/' || c == '%';
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            FUZZ_CHECK(i + 2 < text.size());
            out.push_back(
                static_cast<char>(16 * hexDigitValue(text[i + 1]) + hexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    char* value = fuzzCText(data, size);
    const std::string original = value;
    ArgNode node{};
    node.name = nullptr;
    node.value = value;
    ConvertUrlBack(&node);
    if (node.ownsValue == 1) {
        const std::string converted = node.value;
        for (char c : converted) FUZZ_CHECK(encodedByte(c));
        FUZZ_CHECK(original.find("object") != std::string::npos);
        FUZZ_CHECK(percentDecoded(converted) == "/" + original.substr(1));
        free(node.value);
    } else {
        FUZZ_CHECK(node.value == value);
    }
    free(value);
    return 0;
}
