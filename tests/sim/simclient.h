// A small client for the simulator tests that look at the wire itself: it speaks the session
// protocol to velk-sim with raw sockets and the program's DES.
//
// Written apart from the simulator's own framing, so the tests check the simulator against an
// independent reading of the protocol. Every wait is bounded (kWaitSeconds); nothing here hangs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/sim_process.h"

inline constexpr int kWaitSeconds = 10;

using Bytes = std::vector<unsigned char>;

using simtest::SimProcess;
inline int runSimToEnd(const std::vector<std::string>& args, std::string* out,
                       std::string* err = nullptr) {
    return simtest::runSim(args, out, err);
}

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

    // Sends Identify; returns the answer verb (empty when none came).
    Bytes identify();
    // The whole opening: identify, proxy session, authentication. True when the server accepted.
    bool open(const std::string& id, const std::string& password);
    // Sends a command enciphered under the session key.
    bool sendCommand(const std::string& text);
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
