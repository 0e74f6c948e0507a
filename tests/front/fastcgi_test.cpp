// The program as a long-lived FastCGI application: a thousand mixed requests in one worker answer
// exactly as CGI runs do, without leaking or growing; what one request changes or opens never
// reaches the next; SIGTERM lets the request in hand finish and leaves the shared socket
// listening; a browser that went away mid-page, requests held by a silent server, a worker killed
// and a web server that stops mid-request leave the pool serving.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "common/limits.h"

#include "front_testing.h"
#include "tests/support/fastcgi_client.h"

#include "front/korproxy_fastcgi.h"

TEST(FastcgiWorkers, CountComesFromTheEnvironmentWithinItsBounds) {
    const struct {
        const char* text;
        int count;
    } cases[] = {{nullptr, kDefaultFastcgiWorkers},
                 {"", kDefaultFastcgiWorkers},
                 {"1", 1},
                 {"40", 40},
                 {"129", kMaxFastcgiWorkers},
                 {"99999999999999999999", kMaxFastcgiWorkers},
                 {"0", 0},
                 {"-3", 0},
                 {"4x", 0},
                 {" 4", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(fastcgiWorkerCount(c.text), c.count) << (c.text ? c.text : "(unset)");
    }
}

#if KORPROXY_FASTCGI

namespace {

using namespace fronttest;

using std::chrono::steady_clock;

// A long-lived korproxy in the folder of a proxy that knows the simulator's administrator, stopped
// (and expected to end cleanly) with it; a simulator beside it.
struct Served : SimProxy {
    FastcgiServer app;
    explicit Served(std::string asanOptions = "", rlim_t addressSpace = 0,
                    const std::string& workers = "1") {
        std::vector<std::string> env{"KORPROXY_REGISTRY=" + site.dir.file("registry.db"),
                                     "KORPROXY_WORKERS=" + workers};
        if (!asanOptions.empty()) env.push_back("ASAN_OPTIONS=" + asanOptions);
        app = startFastcgi(site.dir.path().string(), env, addressSpace);
    }
    ~Served() {
        if (app.pid > 0) {
            EXPECT_EQ(stopFastcgi(app), 0) << "unclean end";
        }
    }
    std::vector<std::string> env(const std::string& query) const {
        return {"REQUEST_METHOD=GET", "QUERY_STRING=" + query,
                "KORPROXY_REGISTRY=" + site.dir.file("registry.db")};
    }
    ProgramRun get(const std::string& query) const { return runFastcgiRequest(app, env(query)); }
    // The simulator's page of `size` bytes.
    std::string page(const std::string& size) const { return server() + "&URL=/size/" + size; }
};

// A figure of the process's memory in KiB ("VmRSS", "RssAnon"), -1 when there is none.
long memoryKib(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

TEST(FastCGI, ThousandMixedRequestsAnswerAsCgiRunsDoWithoutGrowing) {
    // The sanitizer's quarantine would hide whether freed memory is used again.
    Served served("quarantine_size_mb=0:detect_leaks=1");
    ASSERT_TRUE(served.sim.running());
    std::vector<std::unique_ptr<SimProcess>> hostile;
    std::vector<std::string> queries;
    const std::string server = served.server();
    for (const char* mode :
         {"truncated:auth", "absurd-length:response", "short-page", "one-byte"}) {
        hostile.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{std::string("--hostile=") + mode}));
        ASSERT_TRUE(hostile.back()->running()) << mode;
        queries.push_back("SERVER=127.0.0.1:" + hostile.back()->portText() + "&URL=/size/300");
    }
    queries.insert(queries.end(),
                   {server + "&URL=/size/1024", server + "&URL=/", server + "&URL=%2Fa%26b", server,
                    "SERVER=127.0.0.1:1&URL=/", "SERVER=nocolon&URL=/", "JUMP=1", "CONFIG=1",
                    "FORCETRACE=1&" + server + "&URL=/size/2000",
                    "SETUP=SETUP&ID=admin&PSWD=secret&CGIURL=/cgi-bin/velkproxy&DADDRESS=&DPORT="});
    std::vector<std::string> expected;
    for (const std::string& q : queries) expected.push_back(runGet(served.site.dir, q).out);

    const std::vector<pid_t> workers = fastcgiWorkers(served.app.pid, 1);
    ASSERT_EQ(workers.size(), 1u);
    long settled = 0;
    for (int i = 0; i < 1000; ++i) {
        size_t which = static_cast<size_t>(i) % queries.size();
        ProgramRun run = served.get(queries[which]);
        ASSERT_EQ(run.out, expected[which]) << "request " << i << ": " << queries[which];
        if (i == 199) settled = memoryKib(workers[0], "VmRSS");
    }
    long last = memoryKib(workers[0], "VmRSS");
    EXPECT_GT(settled, 0);
    EXPECT_LE(last - settled, 512)
        << "resident KiB after 200 requests " << settled << ", after 1000 " << last;
}

// Between two requests of one process: the command line stores a default server and a trace
// file, the product file changes, a FORCETRACE request opens its trace, the setup form stores;
// the next request sees the new settings and texts and leaves the forced trace alone.
TEST(FastCGI, EachRequestSeesTheSettingsAndFilesOfItsOwnTime) {
    Served served;
    EXPECT_TRUE(holds(served.get("").out, "<FORM"));  // read before anything changes

    (void)runCommand(served.site.dir, {"-tcps=127.0.0.1", "-trace=own.txt"});
    ProgramRun noPort = served.get("");
    EXPECT_TRUE(holds(noPort.out, "Errors with the default values for server and port"));
    EXPECT_TRUE(std::filesystem::exists(served.site.dir.file("own.txt")));

    (void)runCommand(served.site.dir, {"-trace=null"});
    writeFile(served.site.dir.file("prodname.txt"),
              "product.name=Renamed Product\nproduct.version=9.9\n");
    (void)served.get("FORCETRACE=1&JUMP=1");
    const std::string forced = readFile(served.site.dir.file("proxytrace.txt"));
    ProgramRun renamed = served.get("URL=/");
    EXPECT_TRUE(holds(renamed.out, "Renamed Product Version 9.9"));
    EXPECT_EQ(readFile(served.site.dir.file("proxytrace.txt")), forced);

    // The setup form stores through the process's own connection; the next request sees it too.
    (void)served.get("SETUP=SETUP&DADDRESS=&DPORT=");
    EXPECT_EQ(served.get("").out, runGet(served.site.dir, "").out);
}

TEST(FastCGI, TerminateFinishesTheRequestInHandThenEnds) {
    Served served;
    // The body arrives in two pieces, SIGTERM between them.
    fcgitest::Connection connection(served.app.socket);
    ASSERT_TRUE(connection.begin({"REQUEST_METHOD=POST", "CONTENT_LENGTH=14"}) &&
                connection.bodyPiece("SERVER"));
    poll(nullptr, 0, 300);
    kill(served.app.pid, SIGTERM);
    poll(nullptr, 0, 100);
    ASSERT_TRUE(connection.bodyPiece("=h&URL=/"));
    fcgitest::Answer answer = connection.finish();
    EXPECT_TRUE(holds(answer.out, "A blank post was submitted to the web proxy."));
    EXPECT_EQ(served.get("JUMP=1").out, "");  // nobody answers any more
}

TEST(FastCGI, BrowserGoneMidPageLeavesTheProcessServing) {
    Served served;
    ASSERT_TRUE(served.sim.running());
    {  // The web server leaves after 100 bytes of an 8 MiB page.
        fcgitest::Connection gone(served.app.socket);
        ASSERT_TRUE(gone.begin(served.env(served.page("8388608"))) && gone.endBody());
        std::string head;
        EXPECT_TRUE(gone.readAll(&head, 100));
    }
    ProgramRun next = served.get(served.page("1024"));
    EXPECT_EQ(next.status, 0);
    EXPECT_TRUE(holds(next.out, "1024 bytes"));
}

// The sanitizer's shadow memory takes more address space than any limit here, and counts as the
// process's own memory.
#if !defined(__SANITIZE_ADDRESS__)

// A request that runs out of memory anywhere on its road ends with its own error page, and the
// same process goes on to serve the next request over the same connection.
TEST(FastCGI, ARequestOutOfMemoryEndsWithItsPageAndTheNextIsServed) {
    Served served("", 96 << 20);
    ASSERT_TRUE(served.sim.running());
    const std::string server = served.server();
    const std::string huge(40 << 20, 'a');
    const struct {
        std::string query, page;
    } cases[] = {
        {server + "&URL=/" + huge, "Out of Memory!"},  // the command text
        {"SETUP=SETUP&ID=" + huge, "Out of Memory!"},  // the setup form's fields
    };
    fcgitest::Connection connection(served.app.socket);
    for (const auto& c : cases) {
        std::vector<std::string> env = served.env(c.query);
        env.push_back("REMOTE_USER=admin");
        fcgitest::Answer answer = connection.request(env, "");
        EXPECT_TRUE(holds(answer.out, c.page));
        answer = connection.request(served.env(served.page("1024")), "");
        EXPECT_TRUE(holds(answer.out, "1024 bytes")) << c.page;
    }
}

// Big pages come and go; the idle worker gives their memory back to the system.
TEST(FastCGI, IdleProcessKeepsNoPageMemory) {
    Served served;
    ASSERT_TRUE(served.sim.running());
    for (const char* size : {"31457280", "26214400"}) {
        EXPECT_EQ(served.get(served.page(size)).status, 0) << size;
    }
    const std::vector<pid_t> workers = fastcgiWorkers(served.app.pid, 1);
    ASSERT_EQ(workers.size(), 1u);
    long idle = memoryKib(workers[0], "RssAnon");
    EXPECT_GT(idle, 0);
    EXPECT_LE(idle, 4096);
}

#endif

// A body the program leaves unread is read to its end before the request ends, so the next
// request on a kept connection is read from its start; past the bound, the connection ends.
TEST(FastCGI, UnreadBodyIsDrainedBeforeTheNextRequestOnAKeptConnection) {
    Served served;
    const std::string over(kMaxPostBody + 10, 'x');
    const struct {
        std::string body, length, page;
        bool kept;
    } cases[] = {
        {"SERVER=h&URL=/&a=1&b=2", "5", "A blank post was submitted", true},
        {over, std::to_string(over.size()), "Request body too large", true},
        {std::string(kMaxUnreadBody + 65536, 'x'), "9", "A blank post was submitted", false},
    };
    const std::vector<std::string> jump = served.env("JUMP=1");
    for (const auto& c : cases) {
        auto connection = std::make_unique<fcgitest::Connection>(served.app.socket);
        fcgitest::Answer answer =
            connection->request({"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + c.length}, c.body);
        EXPECT_TRUE(holds(answer.out, c.page));
        answer = connection->request(jump, "");
        EXPECT_EQ(answer.ended, c.kept) << c.page;
        if (!c.kept) {
            connection.reset();  // one process serves one connection at a time
            answer = fcgitest::Connection(served.app.socket).request(jump, "");
        }
        EXPECT_TRUE(holds(answer.out, "<FORM")) << c.page;
    }
}

// Connections that a server on 127.0.0.1:`port` holds open: requests waiting on it.
int heldAt(const std::string& port) {
    char suffix[8];
    snprintf(suffix, sizeof suffix, ":%04X", std::stoi(port));
    std::ifstream table("/proc/net/tcp");
    int held = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.ends_with(suffix) && state == "01") ++held;
    }
    return held;
}

TEST(FastCGI, PoolAnswersBesideRequestsHeldBySilentServersAndReplacesAWorkerThatDies) {
    auto silent = std::make_unique<SimProcess>(std::vector<std::string>{"--silent"});
    Served served("", 0, "3");
    ASSERT_TRUE(served.sim.running() && silent->running());
    const std::string heldQuery = "SERVER=" + silent->address() + "&URL=/";
    std::vector<std::thread> held;
    for (int i = 0; i < 2; ++i) held.emplace_back([&] { (void)served.get(heldQuery); });
    for (int waited = 0; heldAt(silent->portText()) < 2 && waited < 5000; waited += 10) {
        poll(nullptr, 0, 10);
    }
    EXPECT_EQ(heldAt(silent->portText()), 2);
    auto started = steady_clock::now();
    ProgramRun page = served.get(served.page("1024"));
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(holds(page.out, "1024 bytes"));
    silent.reset();  // the held requests end with their error pages
    for (std::thread& t : held) t.join();

    const std::vector<pid_t> before = fastcgiWorkers(served.app.pid, 3);
    ASSERT_EQ(before.size(), 3u);
    kill(before[0], SIGKILL);
    std::vector<pid_t> after;
    for (int waited = 0; waited < 5000; waited += 10) {
        after = fastcgiWorkers(served.app.pid, 3);
        if (std::find(after.begin(), after.end(), before[0]) == after.end()) break;
        poll(nullptr, 0, 10);
    }
    EXPECT_EQ(after.size(), 3u);
    EXPECT_EQ(std::find(after.begin(), after.end(), before[0]), after.end()) << "not replaced";
}

// Two processes share one listening socket, as spawn-fcgi -F or a systemd socket unit have it:
// the one stopped while idle ends at once, and the other goes on answering.
TEST(FastCGI, StoppedProcessLeavesTheSharedSocketToTheOther) {
    Site site;
    const std::string dir = site.dir.path().string();
    const std::string socketPath = dir + ".sock";
    int fd = listenAt(socketPath);
    ASSERT_GE(fd, 0);
    const std::vector<std::string> env{"KORPROXY_REGISTRY=" + site.dir.file("registry.db"),
                                       "KORPROXY_WORKERS=1"};
    FastcgiServer first{startFastcgiOn(fd, dir, env), socketPath};
    FastcgiServer second{startFastcgiOn(fd, dir, env), socketPath};
    close(fd);
    ASSERT_EQ(fastcgiWorkers(first.pid, 1).size(), 1u);
    ASSERT_EQ(fastcgiWorkers(second.pid, 1).size(), 1u);
    auto started = steady_clock::now();
    kill(first.pid, SIGTERM);
    EXPECT_EQ(awaitEnd(first.pid), 0);
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(2));
    for (int i = 0; i < 3; ++i) {
        ProgramRun run = runFastcgiRequest(second, {"REQUEST_METHOD=GET", env[0]});
        EXPECT_TRUE(holds(run.out, "Content-type: text/html"));
    }
    EXPECT_EQ(stopFastcgi(second), 0);
}

// A web server that sends the start of a request's parameters and then nothing holds the only
// worker for the read time-out, not for ever.
TEST(FastCGI, WebServerSilentMidRequestFreesTheWorkerAfterTheReadTimeOut) {
    Served served;
    fcgitest::Connection connection(served.app.socket);
    // A responder's begin record, then a parameters record announcing 100 bytes, with 5 of them.
    const char half[] = {1, 1, 0, 1, 0, 8, 0,   0, 0, 1,  0, 0,   0,   0,  0,
                         0, 1, 4, 0, 1, 0, 100, 0, 0, 14, 3, 'R', 'E', 'Q'};
    ASSERT_TRUE(connection.writeAll(std::string(half, sizeof half)));
    const int conn = connection.fd();
    auto started = steady_clock::now();
    pollfd closed{conn, POLLIN, 0};
    ASSERT_EQ(poll(&closed, 1, (kFastcgiReadTimeoutSeconds + 10) * 1000), 1) << "still held";
    char byte;
    EXPECT_EQ(read(conn, &byte, 1), 0);
    EXPECT_GE(steady_clock::now() - started, std::chrono::seconds(kFastcgiReadTimeoutSeconds - 1));
    EXPECT_TRUE(holds(served.get("").out, "Content-type: text/html"));
}

}  // namespace

#endif  // KORPROXY_FASTCGI
