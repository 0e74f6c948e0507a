// A small client for the simulator tests: starts velk-sim on a free loopback port and speaks the
// session protocol to it with raw sockets and the program's DES.
//
// Written apart from the simulator's own framing, so the tests check the simulator against an
// independent reading of the protocol. Every wait is bounded (kWaitSeconds); nothing here hangs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kWaitSeconds = 10;

using Bytes = std::vector<unsigned char>;

// One velk-sim process listening on 127.0.0.1 with an ephemeral port; stopped on destruction.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& extraArgs);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    bool running() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    const std::string& logPath() const { return logPath_; }
    std::string log() const;

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string logPath_;
};

// Runs velk-sim with `args` to its end; returns its exit status and what it printed (standard
// error in *err when given, else mixed into *out).
int runSimToEnd(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr);

// One connection to the simulator.
class SimClient {
  public:
    explicit SimClient(uint16_t port);
    ~SimClient();
    bool connected() const { return fd_ >= 0; }

    // Raw verbs.
    bool sendBytes(const Bytes& bytes);
    // Reads one verb (normal header); empty when the connection failed or closed.
    Bytes recvVerb();
    // Reads whatever arrives before the connection closes, up to a bound; true if it closed.
    bool readUntilClosed(Bytes* got);
    // Reads what arrives until nothing more comes for `millis`; *closed tells whether the server
    // closed the connection meanwhile.
    Bytes readUntilQuiet(int millis, bool* closed);
    // True when nothing arrives within `millis` and the connection is still open.
    bool quietFor(int millis);

    // Protocol steps; each returns the server's answer verb (empty when none came).
    Bytes identify();
    Bytes startProxy(const std::string& id);
    // Runs messages 1 to 4 with `password` as given (upper-cased and converted here the way the
    // proxy does). Fills the diagnostics; returns message 4, or empty when the exchange stopped.
    struct Auth {
        Bytes message2;
        bool challengeMatched = false;
        Bytes message4;
    };
    Auth authenticate(const std::string& password, bool ebcdic);
    // The whole opening: identify, proxy session, authentication. True when the server accepted.
    bool open(const std::string& id, const std::string& password, bool ebcdic = false);

    // Sends a command enciphered under the session key, in pieces of `piece` bytes when given.
    bool sendCommand(const std::string& text, size_t piece = 0);
    // Reads the response line up to its zero byte; false when the connection ended first.
    bool recvResponse(std::string* line);
    // Reads and deciphers exactly `amount` page bytes.
    bool recvPage(size_t amount, std::string* page);
    // Command, response and page in one: returns the response line; the page in *page.
    std::string fetch(const std::string& command, std::string* page);

  private:
    bool readExact(unsigned char* into, size_t count);
    int fd_ = -1;
    unsigned char sessionKey_[8] = {};
};

// The amount announced by a response line "NAME N"; -1 without a number.
long long announced(const std::string& line);
