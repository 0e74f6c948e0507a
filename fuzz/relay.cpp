// The relay's header removal under hostile pages, against the rule written out plainly: each
// marker, in order, blanked from its first character to the next line feed, only before the
// first zero byte; nothing else changes and nothing past the count is touched.
#include <string>

#include "front/korproxy_relay.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string blankedByRule(std::string page, size_t* count) {
    const size_t end = page.find('\0') == std::string::npos ? page.size() : page.find('\0');
    *count = 0;
    for (const char* marker : kServerHeaderMarkers) {
        size_t at = 0;
        while ((at = page.substr(0, end).find(marker, at)) != std::string::npos) {
            ++*count;
            for (; at < end && page[at] != '\n'; ++at) page[at] = ' ';
        }
    }
    return page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    // The block as the relay holds it: the page and a zero byte, in a block of exactly that size.
    auto* page = static_cast<char*>(malloc(size + 1));
    if (page == nullptr) abort();
    memcpy(page, data, size);
    page[size] = '\0';
    const std::string original(page, size);

    const size_t blanked = removeServerHeaders(page, size);
    size_t expected = 0;
    FUZZ_CHECK(std::string(page, size) == blankedByRule(original, &expected));
    FUZZ_CHECK(blanked == expected);
    FUZZ_CHECK(page[size] == '\0');
    free(page);
    return 0;
}
