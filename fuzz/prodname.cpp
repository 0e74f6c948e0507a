// The product name file under hostile contents: the two texts stay within their 255 characters,
// every line reader call keeps to its buffer, and the error page that prints the texts is whole.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    static const std::string path =
        "/tmp/korproxy-fuzz-prodname-" + std::to_string(getpid()) + ".txt";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    fclose(file);

    readProductNameFileAt(path.c_str());
    FUZZ_CHECK(strnlen(productName, kProductTextSize) < kProductTextSize);
    FUZZ_CHECK(strnlen(productVersion, kProductTextSize) < kProductTextSize);

    // The line reader itself with a small buffer, the size taken from the first byte.
    if (size > 0) {
        const size_t bufferSize = 1 + data[0] % 16;
        file = fopen(path.c_str(), "rb");
        if (file == nullptr) abort();
        char buffer[17];
        memset(buffer, 0x7F, sizeof buffer);
        for (int lines = 0; moreLines(file) && lines < 100000; ++lines) {
            readLine(file, buffer, bufferSize);
            FUZZ_CHECK(strnlen(buffer, bufferSize) < bufferSize);
            FUZZ_CHECK(buffer[bufferSize] == 0x7F);  // nothing written past the buffer
            FUZZ_CHECK(strchr(buffer, '\n') == nullptr && strchr(buffer, '\r') == nullptr);
        }
        fclose(file);
    }

    FILE* page = fopen("/dev/null", "w");
    printErrorPageTo(page, "fuzz", 0);
    fclose(page);
    return 0;
}
