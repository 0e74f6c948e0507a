// Template rendering under hostile template files: every line is copied or replaced within the
// line size, and values that came from a request never reach the page unescaped.
#include <string>

#include "front/korproxy_template.h"
#include "fuzz/fuzz_support.h"

constexpr char kHostileValue[] = "<script>\"x'&</script>";

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    if (size == 0) return 0;
    const bool setupForm = (data[0] & 1) != 0;
    FILE* in = fmemopen(const_cast<unsigned char*>(data + 1), size - 1, "rb");
    if (size == 1) in = fopen("/dev/null", "rb");
    if (in == nullptr) abort();
    char* written = nullptr;
    size_t writtenSize = 0;
    FILE* out = open_memstream(&written, &writtenSize);
    if (out == nullptr) abort();
    const TemplateValues values{kHostileValue, kHostileValue, kHostileValue, kHostileValue,
                                kHostileValue};
    renderTemplate(in, out, setupForm, values);
    fclose(in);
    fclose(out);
    const std::string page(written, writtenSize);
    free(written);
    // The value can only appear as the template itself spelled it (carriage returns are dropped
    // as lines are read).
    std::string templateText(reinterpret_cast<const char*>(data + 1), size - 1);
    std::erase(templateText, '\r');
    if (templateText.find(kHostileValue) == std::string::npos) {
        FUZZ_CHECK(page.find(kHostileValue) == std::string::npos);
    }
    return 0;
}
