// A scripted transport for session tests: installed in a descriptor's operation slots, it hands
// out queued bytes in the pieces they were queued in, records what is sent, and fails the send or
// receive call chosen by the test. A peer callback may queue answers whenever the queue runs dry.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>

#include "common/byteorder.h"
#include "session/smsess.h"
#include "trace_capture.h"

struct ScriptTransport {
    std::deque<std::string> incoming;  // each receive takes from the first piece only
    std::string sent;                  // every byte the send operation accepted
    int failSendAt = -1;               // index of the send call that fails
    int failReceiveAt = -1;            // index of the receive call that fails
    int sends = 0, receives = 0, flushes = 0, closes = 0, releases = 0;
    std::function<void(ScriptTransport&)> peer;

    void install(SessionDesc* s) {
        s->conn = this;
        s->send = [](void* c, const unsigned char* b, int32_t n) {
            auto* t = static_cast<ScriptTransport*>(c);
            if (t->sends++ == t->failSendAt) return -1;
            t->sent.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
            return 0;
        };
        s->receive = [](void* c, unsigned char* d, int32_t cap) {
            auto* t = static_cast<ScriptTransport*>(c);
            if (t->receives++ == t->failReceiveAt) return -1;
            auto dropEmpty = [t] {
                while (!t->incoming.empty() && t->incoming.front().empty()) t->incoming.pop_front();
            };
            dropEmpty();
            if (t->incoming.empty() && t->peer) t->peer(*t);
            dropEmpty();
            if (t->incoming.empty()) return -1;
            std::string& piece = t->incoming.front();
            size_t n = std::min(piece.size(), static_cast<size_t>(cap));
            memcpy(d, piece.data(), n);
            piece.erase(0, n);
            return static_cast<int>(n);
        };
        s->flush = [](void* c) {
            static_cast<ScriptTransport*>(c)->flushes++;
            return 0;
        };
        s->close = [](void* c) { static_cast<ScriptTransport*>(c)->closes++; };
        s->release = [](void* c) { static_cast<ScriptTransport*>(c)->releases++; };
    }
    void queue(const std::string& bytes) { incoming.push_back(bytes); }
};

// A verb of `length` bytes in the normal form, zero-filled behind the header.
inline std::string makeVerb(uint16_t length, unsigned char code, unsigned char magic = 0xA5) {
    std::string v(std::max<size_t>(length, 4), '\0');
    v[0] = static_cast<char>(length >> 8);
    v[1] = static_cast<char>(length);
    v[2] = static_cast<char>(code);
    v[3] = static_cast<char>(magic);
    return v;
}

// An extended verb of `length` bytes (at least 12) whose 16-bit length field says 7.
inline std::string makeExtendedVerb(uint32_t length, uint32_t code) {
    std::string v =
        makeVerb(7, 8).substr(0, 4) + std::string(std::max<uint32_t>(length, 12) - 4, 'x');
    putU32BE(reinterpret_cast<unsigned char*>(v.data() + 4), code);
    putU32BE(reinterpret_cast<unsigned char*>(v.data() + 8), length);
    return v;
}

// An allocator for smSetAllocator that fails once `allocationsLeft` reaches 0 (-1: never).
inline int allocationsLeft = -1;
inline void* failingAlloc(size_t size) {
    if (allocationsLeft == 0) return nullptr;
    if (allocationsLeft > 0) --allocationsLeft;
    return malloc(size);
}

// A descriptor that is released at the end of the test.
struct SessionHolder {
    SessionDesc* s = smNewSession();
    ~SessionHolder() { smFreeSession(s); }
    SessionDesc* operator->() { return s; }
};

// A fresh descriptor with a scripted transport in its slots.
struct Scripted {
    SessionHolder s;
    ScriptTransport t;
    Scripted() { t.install(s.s); }
};
