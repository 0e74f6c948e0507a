// The reading of a response line under hostile lines: the result is a code of the table or the
// unrecognised one, and the line is only ever cut at its first blank.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "session/smsess_rc.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    char* line = fuzzCText(data, size);
    const std::string original = line;
    uint32_t amount = 0xA5A5A5A5u;
    const int32_t code = smParseRc(line, &amount);

    bool known = code == kRcUnrecognized;
    for (const RcEntry& row : rcTable) known = known || row.code == code;
    FUZZ_CHECK(known);
    const size_t blank = original.find(' ');
    if (blank == std::string::npos) {
        FUZZ_CHECK(original == line);
        FUZZ_CHECK(amount == 0xA5A5A5A5u);
    } else {
        FUZZ_CHECK(original.substr(0, blank) == line);
    }
    free(line);
    return 0;
}
