// see tcpcomm.h: address texts (dotted addresses, names, ports), apart from the connection, so
// that what reads an address (the access rules, the connection check) does not bring the transport
// with it where a stand-in takes its place.
#include <cctype>
#include <cstring>

#include "net/tcpcomm.h"
#include "net/tcpsocket.h"

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// One part of a dotted address: decimal, octal with a leading 0, hex with 0x. Advances `p` past
// it. Returns false for no digits, a bad digit or a value beyond 32 bits.
bool parsePart(const char*& p, uint64_t* value) {
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t v = 0;
    int digits = 0;
    for (;; ++p, ++digits) {
        unsigned d;
        unsigned char c = static_cast<unsigned char>(*p);
        if (isdigit(c)) {
            d = c - '0';
        } else if (base == 16 && isxdigit(c)) {
            d = static_cast<unsigned>(tolower(c) - 'a' + 10);
        } else {
            break;
        }
        if (d >= base) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = v;
    return digits > 0;
}

}  // namespace

uint32_t tcpParseDotted(const char* text) {
    uint64_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (count == 4 || !parsePart(p, &parts[count])) return kNoAddress;
        ++count;
        if (*p == '\0') break;
        if (*p != '.') return kNoAddress;
        ++p;
    }
    // The last part fills every byte the earlier parts leave; the earlier ones are one byte each.
    uint64_t value = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF) return kNoAddress;
        value |= parts[i] << (24 - 8 * i);
    }
    int lastBits = 32 - 8 * (count - 1);
    if (lastBits < 32 && parts[count - 1] >= (uint64_t{1} << lastBits)) return kNoAddress;
    value |= parts[count - 1];
    return networkOrder(static_cast<uint32_t>(value));
}

int tcpResolveAddress(char* text, uint32_t* out) {
    uint32_t ip = tcpParseDotted(text);
    if (ip != kNoAddress) {
        *out = ip;
        return 0;
    }
    for (char* c = text; *c != '\0'; ++c) {
        *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    }
    if (text[0] == '\0') return -1;
    // A lookup before any connection (the connection check) needs the stack started too.
    if (sockStartup() != 0) return -1;
    return sockLookup(text, out);
}

uint16_t tcpPortFromText(const char* text) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t value = 0;  // wraps like the 32-bit arithmetic it stands for, never overflows
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) value = value * 10u + (*p - '0');
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value);
}
