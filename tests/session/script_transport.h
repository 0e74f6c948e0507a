// A scripted transport for session tests: installed in a descriptor's operation slots, it hands
// out queued bytes in the pieces they were queued in, records what is sent, and fails the send or
// receive call chosen by the test. A peer callback may queue answers whenever the queue runs dry.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>

#include "common/trace.h"
#include "session/smsess.h"

struct ScriptTransport {
    std::deque<std::string> incoming;  // each receive takes from the first piece only
    std::string sent;                  // every byte the send operation accepted
    int failSendAt = -1;               // index of the send call that fails
    int failReceiveAt = -1;            // index of the receive call that fails
    int sends = 0, receives = 0, flushes = 0, closes = 0, releases = 0;
    std::vector<int> asked;  // the capacity of every receive call
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
            t->asked.push_back(cap);
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

// The 12-byte header of an extended verb followed by filler up to `length` (at least 12 bytes).
inline std::string makeExtendedVerb(uint32_t length, uint32_t code, uint16_t shortLength = 7) {
    std::string v(std::max<size_t>(length, 12), 'x');
    const unsigned char h[12] = {static_cast<unsigned char>(shortLength >> 8),
                                 static_cast<unsigned char>(shortLength),
                                 8,
                                 0xA5,
                                 static_cast<unsigned char>(code >> 24),
                                 static_cast<unsigned char>(code >> 16),
                                 static_cast<unsigned char>(code >> 8),
                                 static_cast<unsigned char>(code),
                                 static_cast<unsigned char>(length >> 24),
                                 static_cast<unsigned char>(length >> 16),
                                 static_cast<unsigned char>(length >> 8),
                                 static_cast<unsigned char>(length)};
    v.replace(0, 12, reinterpret_cast<const char*>(h), 12);
    return v;
}

// Replaces the line number of every "(source, 123)" with N.
inline std::string withoutLineNumbers(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] != ',') continue;
        size_t j = i + 1;
        if (j < text.size() && text[j] == ' ') ++j;
        size_t digits = j;
        while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
        if (digits > j && digits < text.size() && text[digits] == ')') {
            out.append(text, i + 1, j - i - 1);
            out += 'N';
            i = digits - 1;
        }
    }
    return out;
}

// Captures the trace lines written while it lives, with line numbers replaced by N.
class TraceCapture {
  public:
    TraceCapture() : file_(tmpfile()) { traceFp = file_; }
    ~TraceCapture() {
        traceFp = nullptr;
        fclose(file_);
    }
    std::string text() {
        fflush(file_);
        rewind(file_);
        std::string all;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
        return withoutLineNumbers(all);
    }
    bool has(const std::string& piece) { return text().find(piece) != std::string::npos; }

  private:
    FILE* file_;
};

// A descriptor that is released at the end of the test.
struct SessionHolder {
    SessionDesc* s = smNewSession();
    ~SessionHolder() { smFreeSession(s); }
    SessionDesc* operator->() { return s; }
};
