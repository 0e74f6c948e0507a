// see simclient.h
#include "simclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/byteorder.h"
#include "crypto/des.h"
#include "crypto/pxyutils.h"

namespace {

constexpr char kSimPath[] = KORPROXY_BIN_DIR "/velk-sim";
// Bound on what readUntilClosed collects.
constexpr size_t kReadCap = 4 * 1024 * 1024;

std::atomic<int> logCounter{0};

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

std::vector<char*> argvOf(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kSimPath));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Reads one line from `fd` within kWaitSeconds.
std::string readLine(int fd) {
    std::string line;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (line.size() < 200 && poll(&p, 1, kWaitSeconds * 1000) == 1 && read(fd, &c, 1) == 1) {
        if (c == '\n') break;
        line.push_back(c);
    }
    return line;
}

// Reads `fd` to its end within kWaitSeconds of silence. Returns false when it timed out.
bool readAll(int fd, std::string* into) {
    into->clear();
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        if (poll(&p, 1, kWaitSeconds * 1000) != 1) return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return true;
        into->append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& extraArgs) {
    logPath_ = "/tmp/velk-sim-test-" + std::to_string(getpid()) + "-" +
               std::to_string(logCounter++) + ".log";
    unlink(logPath_.c_str());
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--log", logPath_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv = argvOf(args);
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execv(kSimPath, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line = readLine(out[0]);
    close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) == 0) {
        port_ = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    unlink(logPath_.c_str());
}

std::string SimProcess::log() const {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int runSimToEnd(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::vector<char*> argv = argvOf(args);
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0) return -1;
    if (pipe(errPipe) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(err != nullptr ? errPipe[1] : outPipe[1], 2);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        execv(kSimPath, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    bool ended = readAll(outPipe[0], out);
    std::string ignored;
    ended = readAll(errPipe[0], err != nullptr ? err : &ignored) && ended;
    close(outPipe[0]);
    close(errPipe[0]);
    if (!ended) kill(pid, SIGKILL);  // still running after the wait: a failure, but no hang
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

bool SimClient::quietFor(int millis) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, millis) == 0;
}

Bytes SimClient::identify() {
    if (!sendBytes(header(0x1D, 4))) return {};
    return recvVerb();
}

Bytes SimClient::startProxy(const std::string& id) {
    Bytes request = header(0x5E, static_cast<uint16_t>(id.size() + 10));
    putU16BE(request.data() + 5, 0);
    putU16BE(request.data() + 7, static_cast<uint16_t>(id.size()));
    std::memcpy(request.data() + 9, id.data(), id.size());
    if (!sendBytes(request)) return {};
    return recvVerb();
}

SimClient::Auth SimClient::authenticate(const std::string& password, bool ebcdic) {
    Auth result;
    std::string text = password;
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (ebcdic) convertAsciiToEbcdic(text.data(), static_cast<int32_t>(text.size()));
    unsigned char passwordKey[8];
    if (desDeriveKey(reinterpret_cast<const unsigned char*>(text.data()),
                     static_cast<int32_t>(text.size()), passwordKey) != 0) {
        return result;
    }
    // Fixed, distinct values: the simulator must work with whatever the client picks.
    const unsigned char challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    std::memcpy(sessionKey_, key, 8);
    Bytes message1 = header(0x16, 24);
    putU16BE(message1.data() + 6, 16);
    std::memcpy(message1.data() + 8, key, 8);
    std::memcpy(message1.data() + 16, challenge, 8);
    cbc(passwordKey, DES_ENCIPHER, message1.data() + 8, 16);
    if (!sendBytes(message1)) return result;
    result.message2 = recvVerb();
    if (result.message2.size() < 24 || result.message2[2] != 0x16) return result;
    size_t at = 8 + getU16BE(result.message2.data() + 4);
    if (at + 16 > result.message2.size()) return result;
    Bytes data(result.message2.begin() + static_cast<long>(at),
               result.message2.begin() + static_cast<long>(at) + 16);
    cbc(sessionKey_, DES_DECIPHER, data.data(), data.size());
    result.challengeMatched = std::memcmp(data.data(), challenge, 8) == 0;
    if (!result.challengeMatched) return result;
    Bytes message3 = header(0x16, 24);
    putU16BE(message3.data() + 6, 16);
    std::memcpy(message3.data() + 8, data.data() + 8, 8);
    std::memcpy(message3.data() + 16, sessionKey_, 8);
    cbc(sessionKey_, DES_ENCIPHER, message3.data() + 8, 16);
    if (!sendBytes(message3)) return result;
    result.message4 = recvVerb();
    return result;
}

bool SimClient::open(const std::string& id, const std::string& password, bool ebcdic) {
    Bytes answer = identify();
    if (answer.size() < 45 || (answer[44] & 0x02) == 0) return false;
    std::string wireId = id;
    if (ebcdic) convertAsciiToEbcdic(wireId.data(), static_cast<int32_t>(wireId.size()));
    answer = startProxy(wireId);
    if (answer.size() < 9 || answer[8] != 0) return false;
    Auth auth = authenticate(password, ebcdic);
    return auth.message4.size() >= 12 && auth.message4[2] == 0x11 && auth.message4[11] == 1;
}

bool SimClient::sendCommand(const std::string& text, size_t piece) {
    Bytes bytes(text.begin(), text.end());
    cbc(sessionKey_, DES_ENCIPHER, bytes.data(), bytes.size());
    if (piece == 0) return sendBytes(bytes);
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        size_t end = std::min(bytes.size(), at + piece);
        if (!sendBytes(Bytes(bytes.begin() + static_cast<long>(at),
                             bytes.begin() + static_cast<long>(end)))) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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

long long announced(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) return -1;
    return std::stoll(line.substr(blank + 1));
}
