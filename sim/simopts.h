// The simulator's command line: what velk-sim plays, where it listens and which faults it injects.
//
// Owns the options record and the help text. Parsing never exits and never prints: it returns a
// result and a message, and main decides what to do with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/simanswer.h"

// Where the simulator listens unless told otherwise.
inline constexpr char kSimDefaultHost[] = "127.0.0.1";
inline constexpr uint16_t kSimDefaultPort = 1500;
inline constexpr char kSimDefaultAdminId[] = "admin";
inline constexpr char kSimDefaultAdminPassword[] = "secret";

// One more administrator the server knows, beside --admin-id and --admin-password.
struct SimAdmin {
    std::string id;
    std::string password;
};

struct SimOptions {
    std::string host = kSimDefaultHost;
    uint16_t port = kSimDefaultPort;
    std::string adminId = kSimDefaultAdminId;
    std::string adminPassword = kSimDefaultAdminPassword;
    // --admin ID:PW, each one more.
    std::vector<SimAdmin> moreAdmins;

    std::string logFile;         // empty: log to standard error
    bool ebcdic = false;         // announce and work in EBCDIC
    bool noProxy = false;        // clear the proxy capability bit
    int proxyStatus = -1;        // -1: decide from the id; else the status byte to answer
    bool badChallenge = false;   // return the client challenge with one bit flipped
    bool outOfSequence = false;  // answer message 1 with an authentication-result verb
    bool refuseFinal = false;    // refuse the proxy in the final authentication answer
    std::string rcName;          // empty: answer page commands normally
    AnswerFaults faults;         // per-answer shapes: short, silent, bad magic
    std::string printPage;       // a command text: print the page it gets and end
};

enum class SimParse : int {
    kRun = 0,   // options are good: serve
    kHelp = 1,  // --help was given: print simHelpText() and end successfully
    kError = 2  // message says what was wrong
};

// Parses argv into `out`. Returns kRun, kHelp, or kError with a one-line reason in `message`.
[[nodiscard]] SimParse simParseOptions(int argc, char** argv, SimOptions* out,
                                       std::string* message);

// The text that --help prints.
[[nodiscard]] const char* simHelpText();
