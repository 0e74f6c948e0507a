// Several processes, as a web server runs requests side by side, writing and reading one store.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "settings/psopts.h"
#include "settings/pssec.h"
#include "settings/registry.h"
#include "store_fixture.h"

namespace {

using SharedStore = StoreTest;

constexpr int kWriters = 3;
constexpr int kReaders = 3;
constexpr int kRounds = 120;      // values each writer stores
constexpr int kReadPasses = 200;  // passes over every value each reader makes
constexpr int kValueBytes = 200;
constexpr int kChildSeconds = 240;  // a child still running after this is ended by its alarm
// An operation that failed after waiting kRegBusyTimeoutMs for the store is tried again, this many
// times in all.
constexpr int kBusyRounds = 4;
constexpr auto kBusyWait = std::chrono::milliseconds(kRegBusyTimeoutMs);
constexpr const char kPath[] = "SOFTWARE\\Shared";

// A value that shows its writer and round all through, so a torn one is seen.
std::string slotText(int writer, int round) {
    char head[32];
    int n = snprintf(head, sizeof head, "%d:%d;", writer, round);
    std::string text;
    while (text.size() < kValueBytes) text.append(head, n);
    text.resize(kValueBytes);
    return text;
}

std::string slotName(int writer) {
    return "Slot" + std::to_string(writer);
}

// Runs `attempt` (true: done) again when it failed only after waiting out the store's busy
// time-out: on a loaded machine another process may hold the store that long, which is contention,
// not a fault. A failure that comes sooner (a deadlock the database reports at once, a refused
// write) counts at once.
template <typename Attempt>
bool patiently(Attempt attempt) {
    for (int round = 0; round < kBusyRounds; ++round) {
        const auto started = std::chrono::steady_clock::now();
        if (attempt()) return true;
        if (std::chrono::steady_clock::now() - started < kBusyWait) return false;
    }
    return false;
}

bool writeSlot(int writer, int round) {
    return patiently([&] {
        return storeValue(kPath, slotName(writer).c_str(), REG_BINARY, slotText(writer, round)) ==
               ERROR_SUCCESS;
    });
}

// Reads slot `writer`; returns its round, or -1 when it failed or is torn.
int readSlot(int writer) {
    std::string value;
    if (!patiently(
            [&] { return (value = storedValue(kPath, slotName(writer).c_str()))[0] != '<'; }))
        return -1;
    int who = -1, round = -1;
    if (sscanf(value.c_str(), "%d:%d;", &who, &round) != 2 || who != writer) return -1;
    return slotText(who, round) == value ? round : -1;
}

// The credentials a writer stores in a round, replacing the pair whole: id "user<w>-<r>" with
// password "pw-user<w>-<r>", so a reader can tell a mismatched pair.
bool replaceCredentials(int writer, int round) {
    std::string id = "user" + std::to_string(writer) + "-" + std::to_string(round);
    return patiently([&] { return psWritePasswordFile(id.c_str(), ("pw-" + id).c_str()) == 0; });
}

bool credentialsConsistent() {
    char id[kCredentialSize], password[kCredentialSize];
    return patiently([&] { return psReadPasswordFile(id, password) == 0; }) &&
           strncmp(id, "user", 4) == 0 && "pw-" + std::string(id) == password;
}

int runWriter(int writer) {
    for (int round = 1; round <= kRounds; ++round) {
        if (!writeSlot(writer, round)) return 10;
        if (round % 3 == 0 && !replaceCredentials(writer, round)) return 11;
    }
    return 0;
}

int runReader() {
    int seen[kWriters] = {};
    for (int pass = 0; pass < kReadPasses; ++pass) {
        for (int writer = 0; writer < kWriters; ++writer) {
            int round = readSlot(writer);
            if (round < 0) return 20;             // a failed read or a torn value
            if (round < seen[writer]) return 21;  // went back to an older value
            seen[writer] = round;
        }
        if (!credentialsConsistent()) return 22;
    }
    return 0;
}

// Runs body(0) ... body(count - 1) in processes of their own, released together, and gives their
// exit codes; -1 for one that crashed or was ended by its alarm.
std::vector<int> runChildren(int count, const std::function<int(int)>& body) {
    std::vector<int> codes(count, -1);
    int gate[2];
    if (regStoreShares() != 0 || pipe(gate) != 0) return codes;  // no connection crosses a fork
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(kChildSeconds);
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);  // returns once the parent closes its end
            _exit(body(i));
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (int i = 0; i < count; ++i) {
        int status = 0;
        if (children[i] > 0 && waitpid(children[i], &status, 0) == children[i] &&
            WIFEXITED(status)) {
            codes[i] = WEXITSTATUS(status);
        }
    }
    return codes;
}

}  // namespace

TEST_F(SharedStore, WritersAndReadersInSeveralProcessesNeverSeeAFailureOrATornValue) {
    for (int writer = 0; writer < kWriters; ++writer) ASSERT_TRUE(writeSlot(writer, 0));
    ASSERT_TRUE(replaceCredentials(0, 0));
    std::vector<int> codes = runChildren(
        kWriters + kReaders, [](int i) { return i < kWriters ? runWriter(i) : runReader(); });
    for (int i = 0; i < kWriters + kReaders; ++i) {
        EXPECT_EQ(codes[i], 0) << (i < kWriters ? "writer " : "reader ") << i
                               << ": -1 hung or crashed, 10/11 failed write, 20 failed or torn "
                                  "read, 21 older value, 22 mismatched credentials";
    }
    for (int writer = 0; writer < kWriters; ++writer) {
        EXPECT_EQ(readSlot(writer), kRounds) << "no write is lost";
    }
    EXPECT_TRUE(credentialsConsistent());
}

// Several first requests at once on a machine with no store yet: one creates it, none fails.
TEST_F(SharedStore, ProcessesCreatingTheStoreAtOnceAllSucceed) {
    std::vector<int> codes = runChildren(kWriters + kReaders, [](int i) {
        OptionsRecord opts{};
        snprintf(opts.server, sizeof opts.server, "server%d", i);
        if (!patiently([&] { return psWriteDefaultFile(&opts) == 0; })) return 30;
        OptionsRecord back{};
        return patiently([&] {
            (void)psReadDefaultFile(&back);
            return strncmp(back.server, "server", 6) == 0;
        })
                   ? 0
                   : 31;
    });
    for (int code : codes) EXPECT_EQ(code, 0) << "-1 hung or crashed, 30 failed write, 31 read";
    if (HasFailure()) {
        for (const auto& line : traceShapes()) ADD_FAILURE() << line;
    }
}
