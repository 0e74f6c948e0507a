// see simclient.h
#include "simclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/byteorder.h"
#include "crypto/des.h"

namespace {

// Bound on what readUntilClosed collects.
constexpr size_t kReadCap = 4 * 1024 * 1024;

void cbc(const unsigned char key[8], int direction, unsigned char* bytes, size_t count) {
    uint32_t words[2];
    std::memcpy(words, key, 8);
    DesKeySchedule* schedule = nullptr;
    if (desAllocKey(words, &schedule) != 0) return;
    desCbc(schedule, direction, desFixedIv(), bytes, static_cast<uint32_t>(count));
    desFreeKey(schedule);
}

Bytes header(unsigned char code, uint16_t length) {
    Bytes verb(length, 0);
    putU16BE(verb.data(), length);
    verb[2] = code;
    verb[3] = 0xA5;
    return verb;
}

// The amount announced by a response line "NAME N"; -1 without a number.
long long announced(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) return -1;
    return std::stoll(line.substr(blank + 1));
}

}  // namespace

SimClient::SimClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{};
    wait.tv_sec = kWaitSeconds;
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

SimClient::~SimClient() {
    if (fd_ >= 0) close(fd_);
}

bool SimClient::sendBytes(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SimClient::readExact(unsigned char* into, size_t count) {
    while (count > 0) {
        ssize_t n = recv(fd_, into, count, 0);
        if (n <= 0) return false;
        into += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

Bytes SimClient::recvVerb() {
    Bytes verb(4);
    if (!readExact(verb.data(), 4)) return {};
    uint16_t length = getU16BE(verb.data());
    if (length < 4) return verb;
    verb.resize(length);
    if (!readExact(verb.data() + 4, length - 4u)) return {};
    return verb;
}

bool SimClient::readUntilClosed(Bytes* got) {
    unsigned char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
        if (got->size() < kReadCap) got->insert(got->end(), buffer, buffer + n);
    }
}

Bytes SimClient::readUntilQuiet(int millis, bool* closed) {
    Bytes got;
    *closed = false;
    unsigned char buffer[4096];
    pollfd p{fd_, POLLIN, 0};
    while (got.size() < kReadCap && poll(&p, 1, millis) == 1) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            *closed = true;
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

Bytes SimClient::identify() {
    if (!sendBytes(header(0x1D, 4))) return {};
    return recvVerb();
}

// The opening as the proxy makes it, with a fixed session key and challenge: the simulator must
// work with whatever the client picks.
bool SimClient::open(const std::string& id, const std::string& password) {
    Bytes answer = identify();
    if (answer.size() < 45 || (answer[44] & 0x02) == 0) return false;
    Bytes request = header(0x5E, static_cast<uint16_t>(id.size() + 10));
    putU16BE(request.data() + 7, static_cast<uint16_t>(id.size()));
    std::memcpy(request.data() + 9, id.data(), id.size());
    if (!sendBytes(request) || (answer = recvVerb()).size() < 9 || answer[8] != 0) return false;
    std::string text = password;
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    unsigned char passwordKey[8];
    if (desDeriveKey(reinterpret_cast<const unsigned char*>(text.data()),
                     static_cast<int32_t>(text.size()), passwordKey) != 0) {
        return false;
    }
    const unsigned char challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    std::memcpy(sessionKey_, key, 8);
    Bytes message = header(0x16, 24);
    putU16BE(message.data() + 6, 16);
    std::memcpy(message.data() + 8, key, 8);
    std::memcpy(message.data() + 16, challenge, 8);
    cbc(passwordKey, DES_ENCIPHER, message.data() + 8, 16);
    if (!sendBytes(message)) return false;
    answer = recvVerb();
    if (answer.size() < 24 || answer[2] != 0x16) return false;
    size_t at = 8 + getU16BE(answer.data() + 4);
    if (at + 16 > answer.size()) return false;
    unsigned char* data = answer.data() + at;
    cbc(sessionKey_, DES_DECIPHER, data, 16);
    if (std::memcmp(data, challenge, 8) != 0) return false;
    std::memcpy(message.data() + 8, data + 8, 8);  // message 3: the server's challenge, the key
    std::memcpy(message.data() + 16, sessionKey_, 8);
    cbc(sessionKey_, DES_ENCIPHER, message.data() + 8, 16);
    if (!sendBytes(message)) return false;
    answer = recvVerb();
    return answer.size() >= 12 && answer[2] == 0x11 && answer[11] == 1;
}

bool SimClient::sendCommand(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    cbc(sessionKey_, DES_ENCIPHER, bytes.data(), bytes.size());
    return sendBytes(bytes);
}

bool SimClient::recvResponse(std::string* line) {
    line->clear();
    unsigned char c = 0;
    while (line->size() < 1000) {
        if (!readExact(&c, 1)) return false;
        if (c == 0) return true;
        line->push_back(static_cast<char>(c));
    }
    return false;
}

bool SimClient::recvPage(size_t amount, std::string* page) {
    Bytes bytes(amount);
    if (!readExact(bytes.data(), amount)) return false;
    cbc(sessionKey_, DES_DECIPHER, bytes.data(), bytes.size());
    page->assign(bytes.begin(), bytes.end());
    return true;
}

std::string SimClient::fetch(const std::string& command, std::string* page) {
    page->clear();
    std::string line;
    if (!sendCommand(command) || !recvResponse(&line)) return "(no response)";
    long long amount = announced(line);
    if (amount > 0 && !recvPage(static_cast<size_t>(amount), page)) return "(no page)";
    return line;
}
