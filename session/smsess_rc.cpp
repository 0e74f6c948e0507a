// The return-code table and the reading of a response line.
#include "session/smsess_rc.h"

#include <cstring>

const RcEntry rcTable[kRcTableRows] = {
    {0, "RC_OK", "OK"},
    {0, "not used", "OK"},
    {-20, "RC_UNKNOWN", "ERROR"},
    {-21, "RC_SYNTAX", "ERROR"},
    {-22, "RC_ERROR", "ERROR"},
    {-23, "RC_NOMEMORY", "ERROR"},
    {-24, "RC_NOLOG", "ERROR"},
    {-25, "RC_NODB", "ERROR"},
    {-26, "RC_NOSTORAGE", "ERROR"},
    {-27, "RC_NOAUTH", "ERROR"},
    {-28, "RC_EXISTS", "ERROR"},
    {1, "RC_NOTFOUND", "WARNING"},
    {-30, "RC_INUSE", "ERROR"},
    {-31, "RC_ISREFERENCED", "ERROR"},
    {-32, "RC_NOTAVAILABLE", "ERROR"},
    {-33, "RC_IOERROR", "ERROR"},
    {-34, "RC_NOTXN", "ERROR"},
    {-35, "RC_NOLOCK", "ERROR"},
    {-36, "not used", "ERROR"},
    {-37, "RC_NOTHREAD", "ERROR"},
    {-38, "RC_LICENSE", "ERROR"},
    {-39, "RC_INVDEST", "ERROR"},
    {-40, "RC_IFILEOPEN", "ERROR"},
    {-41, "RC_OFILEOPEN", "ERROR"},
    {-42, "RC_OFILEWRITE", "ERROR"},
    {-43, "RC_INVADMIN", "ERROR"},
    {-44, "RC_SQLERROR", "ERROR"},
    {-45, "RC_BADOLDPSWD", "ERROR"},
};

namespace {

constexpr uint64_t kAmountLimit = UINT32_MAX;

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal number at `text`, read as an unsigned 32-bit value.
uint32_t readAmount(const char* text) {
    while (isWhiteSpace(*text)) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    uint64_t value = 0;
    for (; isDigit(*text); ++text) {
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        if (value > kAmountLimit) return UINT32_MAX;
    }
    const auto amount = static_cast<uint32_t>(value);
    return negative ? 0u - amount : amount;
}

}  // namespace

int32_t smParseRc(char* line, uint32_t* amount) {
    if (line == nullptr) return kRcUnrecognized;
    char* blank = std::strchr(line, ' ');
    if (blank != nullptr) {
        *blank = '\0';
        *amount = readAmount(blank + 1);
    }
    for (const RcEntry& row : rcTable) {
        if (std::strncmp(line, row.name, std::strlen(row.name)) == 0) return row.code;
    }
    return kRcUnrecognized;
}

const char* smRcName(int32_t code) {
    if (code == kRcUnrecognized) return "RC_UNRECOGNIZED";
    for (const RcEntry& row : rcTable) {
        if (row.code == code) return row.name;
    }
    return nullptr;
}
