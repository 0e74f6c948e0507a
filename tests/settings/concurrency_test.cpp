// Several processes, as a web server runs requests side by side, writing and reading one store.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "settings/psopts.h"
#include "settings/pssec.h"
#include "store_fixture.h"

namespace {

using SharedStore = StoreTest;

constexpr int kWriters = 3;
constexpr int kChildren = 6;      // writers, then readers
constexpr int kRounds = 120;      // values each writer stores
constexpr int kReadPasses = 200;  // passes over every value each reader makes
constexpr int kValueBytes = 200;
constexpr int kChildSeconds = 240;  // a child still running after this is ended by its alarm
constexpr int kBusyRounds = 4;      // tries of an operation that waited out the busy time-out
constexpr const char kPath[] = "SOFTWARE\\Shared";

// Runs `attempt` (true: done) again when it failed only after the store's busy time-out: on a
// loaded machine another process may hold the store that long. A failure that comes sooner (a
// deadlock reported at once, a refused write) counts at once.
template <typename Attempt>
bool patiently(Attempt attempt) {
    for (int round = 0; round < kBusyRounds; ++round) {
        const auto started = std::chrono::steady_clock::now();
        if (attempt()) return true;
        if (std::chrono::steady_clock::now() - started <
            std::chrono::milliseconds(kRegBusyTimeoutMs))
            return false;
    }
    return false;
}

// Slot `writer`'s value in `round`: writer and round all through, so a torn one is seen.
std::string slotText(int writer, int round) {
    std::string head = std::to_string(writer) + ":" + std::to_string(round) + ";", text;
    while (text.size() < kValueBytes) text += head;
    return text.substr(0, kValueBytes);
}

std::string slotName(int writer) {
    return "Slot" + std::to_string(writer);
}

bool writeSlot(int writer, int round) {
    return patiently([&] {
        return storeValue(kPath, slotName(writer).c_str(), REG_BINARY, slotText(writer, round)) ==
               0;
    });
}

// Reads slot `writer`; returns its round, or -1 when it failed or is torn.
int readSlot(int writer) {
    std::string value;
    int who = -1, round = -1;
    if (!patiently(
            [&] { return (value = storedValue(kPath, slotName(writer).c_str()))[0] != '<'; }))
        return -1;
    if (sscanf(value.c_str(), "%d:%d;", &who, &round) != 2 || who != writer) return -1;
    return slotText(who, round) == value ? round : -1;
}

// Replaces the pair whole: id "user<w>-<r>" with password "pw-user<w>-<r>", so that a reader can
// tell a mismatched pair.
bool replaceCredentials(int writer, int round) {
    std::string id = "user" + std::to_string(writer) + "-" + std::to_string(round);
    return patiently([&] { return psWritePasswordFile(id.c_str(), ("pw-" + id).c_str()) == 0; });
}

bool credentialsConsistent() {
    char id[kCredentialSize], password[kCredentialSize];
    return patiently([&] { return psReadPasswordFile(id, password) == 0; }) &&
           strncmp(id, "user", 4) == 0 && "pw-" + std::string(id) == password;
}

// A writer stores its slot every round and the pair every third; a reader checks that no value
// fails, is torn or goes back to an older round, and that the pair is whole.
int runChild(int child) {
    for (int round = 1; child < kWriters && round <= kRounds; ++round) {
        if (!writeSlot(child, round)) return 10;
        if (round % 3 == 0 && !replaceCredentials(child, round)) return 11;
    }
    int seen[kWriters] = {};
    for (int pass = 0; child >= kWriters && pass < kReadPasses; ++pass) {
        for (int writer = 0; writer < kWriters; ++writer) {
            int round = readSlot(writer);
            if (round < 0) return 20;
            if (round < seen[writer]) return 21;
            seen[writer] = round;
        }
        if (!credentialsConsistent()) return 22;
    }
    return 0;
}

// Runs body(0) ... body(kChildren - 1) in processes of their own, released together, and gives
// their exit codes; -1 for one that crashed or was ended by its alarm.
std::vector<int> runChildren(const std::function<int(int)>& body) {
    std::vector<int> codes(kChildren, -1);
    int gate[2];
    if (regStoreShares() != 0 || pipe(gate) != 0) return codes;  // no connection crosses a fork
    pid_t children[kChildren];
    for (int i = 0; i < kChildren; ++i) {
        if ((children[i] = fork()) != 0) continue;
        alarm(kChildSeconds);
        close(gate[1]);
        char byte;
        (void)!read(gate[0], &byte, 1);  // returns once the parent closes its end
        _exit(body(i));
    }
    close(gate[0]);
    close(gate[1]);
    for (int i = 0; i < kChildren; ++i) {
        int status = 0;
        bool ended = children[i] > 0 && waitpid(children[i], &status, 0) == children[i];
        if (ended && WIFEXITED(status)) codes[i] = WEXITSTATUS(status);
    }
    return codes;
}

}  // namespace

TEST_F(SharedStore, WritersAndReadersInSeveralProcessesNeverSeeAFailureOrATornValue) {
    for (int writer = 0; writer < kWriters; ++writer) ASSERT_TRUE(writeSlot(writer, 0));
    ASSERT_TRUE(replaceCredentials(0, 0));
    std::vector<int> codes = runChildren(runChild);
    for (int i = 0; i < kChildren; ++i)
        EXPECT_EQ(codes[i], 0) << "child " << i << ": -1 hung or crashed, 10/11 failed write, 20 "
                               << "failed or torn read, 21 older value, 22 mismatched pair";
    for (int writer = 0; writer < kWriters; ++writer)
        EXPECT_EQ(readSlot(writer), kRounds) << "no write is lost";
    EXPECT_TRUE(credentialsConsistent());
}

// Several first requests at once on a machine with no store yet: one creates it, none fails.
TEST_F(SharedStore, ProcessesCreatingTheStoreAtOnceAllSucceed) {
    std::vector<int> codes = runChildren([](int i) {
        OptionsRecord opts{}, back{};
        snprintf(opts.server, sizeof opts.server, "server%d", i);
        if (!patiently([&] { return psWriteDefaultFile(&opts) == 0; })) return 30;
        bool read = patiently([&] { return psReadDefaultFile(&back) == 0; });
        return read && strncmp(back.server, "server", 6) == 0 ? 0 : 31;
    });
    for (int code : codes) EXPECT_EQ(code, 0) << "-1 hung or crashed, 30 failed write, 31 read";
}
