// The tests' FastCGI client: one connection to a FastCGI application's socket, over which requests
// go one after another with the connection kept (FCGI_KEEP_CONN), as a web server that reuses its
// connections sends them; a request's body may go in pieces. Every send and receive gives up
// after kClientWaitSeconds.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fcgitest {

inline constexpr int kClientWaitSeconds = 30;

enum : uint8_t { kBegin = 1, kEnd = 3, kParams = 4, kStdin = 5, kStdout = 6, kStderr = 7 };

struct Answer {
    bool ended = false;  // the application ended the request (FCGI_END_REQUEST)
    uint32_t status = 0;
    std::string out, err;
};

// The address of the local socket at `path`; false when the path is too long for one.
inline bool unixAddress(const std::string& path, sockaddr_un* address) {
    address->sun_family = AF_UNIX;
    return path.size() < sizeof address->sun_path &&
           path.copy(address->sun_path, path.size()) == path.size();
}

class Connection {
  public:
    explicit Connection(const std::string& socketPath) {
        sockaddr_un address{};
        if (!unixAddress(socketPath, &address)) return;
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        timeval wait{kClientWaitSeconds, 0};
        (void)setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        (void)setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    Connection(const Connection&) = delete;

    int fd() const { return fd_; }

    // Sends one request (`env` as "NAME=value" parameters, `body` as its input) and reads its
    // answer to the end of the request.
    Answer request(const std::vector<std::string>& env, const std::string& body) {
        return begin(env) && bodyPiece(body) ? finish() : Answer{};
    }
    // Sends a request's begin record and its parameters; its body follows in bodyPiece calls.
    bool begin(const std::vector<std::string>& env) {
        std::string params;
        for (const std::string& pair : env) {
            size_t eq = pair.find('=');
            addLength(&params, eq);
            addLength(&params, pair.size() - eq - 1);
            params += pair.substr(0, eq) + pair.substr(eq + 1);
        }
        const char begin[8] = {0, 1, 1 /* FCGI_KEEP_CONN */};
        return send(kBegin, std::string(begin, sizeof begin)) && pieces(kParams, params) &&
               send(kParams, "");
    }
    bool bodyPiece(const std::string& content) { return pieces(kStdin, content); }
    bool endBody() { return send(kStdin, ""); }
    // Ends the body and reads the answer to the end of the request.
    Answer finish() {
        Answer answer;
        bool sent = endBody();
        while (sent && !answer.ended && readRecord(&answer)) {
        }
        return answer;
    }
    bool writeAll(const std::string& data) {
        for (size_t at = 0; at < data.size();) {
            ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads `size` raw bytes of the answer.
    bool readAll(std::string* into, size_t size) {
        into->resize(size);
        for (size_t at = 0; at < size;) {
            ssize_t n = read(fd_, into->data() + at, size - at);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

  private:
    static void addLength(std::string* to, size_t length) {
        if (length < 128) {
            *to += static_cast<char>(length);
            return;
        }
        for (int shift : {24, 16, 8, 0}) {
            *to += static_cast<char>(((length >> shift) & 0xFF) | (shift == 24 ? 0x80 : 0));
        }
    }
    bool send(uint8_t type, const std::string& content) {
        std::string record(8, '\0');  // version, type, request id, length, no padding
        record[0] = 1;
        record[1] = static_cast<char>(type);
        record[3] = kRequestId;
        record[4] = static_cast<char>(content.size() >> 8);
        record[5] = static_cast<char>(content.size() & 0xFF);
        return writeAll(record + content);
    }
    // A stream's content in records of at most 65535 bytes.
    bool pieces(uint8_t type, const std::string& content) {
        for (size_t at = 0; at < content.size(); at += 65535) {
            if (!send(type, content.substr(at, 65535))) return false;
        }
        return true;
    }
    bool readRecord(Answer* answer) {
        std::string header, content;
        if (!readAll(&header, 8)) return false;
        auto byte = [&](int i) { return static_cast<unsigned char>(header[i]); };
        if (!readAll(&content, (byte(4) << 8 | byte(5)) + byte(6))) return false;
        content.resize(byte(4) << 8 | byte(5));
        if (byte(1) == kStdout) answer->out += content;
        if (byte(1) == kStderr) answer->err += content;
        if (byte(1) == kEnd && content.size() >= 4) {
            answer->ended = true;
            for (int i = 0; i < 4; ++i) {
                answer->status = answer->status << 8 | static_cast<unsigned char>(content[i]);
            }
        }
        return true;
    }

    static constexpr unsigned char kRequestId = 1;
    int fd_ = -1;
};

}  // namespace fcgitest
