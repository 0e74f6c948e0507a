// see simwire.h
#include "sim/simwire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "common/byteorder.h"

const char* wireResultText(WireResult result) {
    switch (result) {
        case WireResult::kOk:
            return "ok";
        case WireResult::kClosed:
            return "client closed the connection";
        case WireResult::kFailed:
            return "receive failed or timed out";
        case WireResult::kBadMagic:
            return "bad verb magic";
        case WireResult::kBadLength:
            return "verb length out of bounds";
    }
    return "?";
}

void wireSetTimeouts(int fd) {
    timeval idle{};
    idle.tv_sec = kPeerIdleSeconds;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
}

WireResult wireReadSome(int fd, unsigned char* into, size_t capacity, size_t* got) {
    *got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, into, capacity, 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return WireResult::kOk;
        }
        if (n == 0) return WireResult::kClosed;
        if (errno == EINTR) continue;
        return errno == ECONNRESET ? WireResult::kClosed : WireResult::kFailed;
    }
}

WireResult wireReadExact(int fd, unsigned char* into, size_t count) {
    while (count > 0) {
        size_t got = 0;
        WireResult r = wireReadSome(fd, into, count, &got);
        if (r != WireResult::kOk) return r;
        into += got;
        count -= got;
    }
    return WireResult::kOk;
}

bool wireReadable(int fd, int millis) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int n = ::poll(&p, 1, millis);
        if (n >= 0) return n > 0;
        if (errno != EINTR) return true;  // let the read report the failure
    }
}

WireResult wireRecvVerb(int fd, Verb* out) {
    out->bytes.assign(kVerbHeader, 0);
    WireResult r = wireReadExact(fd, out->bytes.data(), kVerbHeader);
    if (r != WireResult::kOk) return r;
    if (out->bytes[3] != kVerbMagic) return WireResult::kBadMagic;
    uint32_t length = getU16BE(out->bytes.data());
    out->code = out->bytes[2];
    out->header = kVerbHeader;
    if (out->bytes[2] == kVerbExtended) {
        out->bytes.resize(kVerbExtendedHeader);
        r = wireReadExact(fd, out->bytes.data() + kVerbHeader, kVerbExtendedHeader - kVerbHeader);
        if (r != WireResult::kOk) return r;
        out->code = getU32BE(out->bytes.data() + 4);
        length = getU32BE(out->bytes.data() + 8);
        out->header = kVerbExtendedHeader;
    }
    if (length < out->header || length > kSimMaxVerbLength) return WireResult::kBadLength;
    out->bytes.resize(length);
    return wireReadExact(fd, out->bytes.data() + out->header, length - out->header);
}

bool wireWriteAll(int fd, const unsigned char* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

size_t wireDrainUntilClosed(int fd) {
    unsigned char sink[4096];
    size_t dropped = 0;
    size_t got = 0;
    while (wireReadSome(fd, sink, sizeof sink, &got) == WireResult::kOk) dropped += got;
    return dropped;
}

std::vector<unsigned char> makeVerb(unsigned char code, uint16_t length) {
    std::vector<unsigned char> verb(length < kVerbHeader ? kVerbHeader : length, 0);
    putU16BE(verb.data(), static_cast<uint16_t>(verb.size()));
    verb[2] = code;
    verb[3] = kVerbMagic;
    return verb;
}
