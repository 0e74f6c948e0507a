// The audit log and the connection check as an administrator meets them: the line of each event
// kind with exactly its fields and no secret, its form on the system log's socket, the refusal of a
// destination the program cannot write to, and each exit status of the check against the
// simulator's fault switches.
#include "common/audit.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "front_testing.h"

namespace {

using namespace fronttest;

// A value as a line shows it (the lines themselves, field by field, are checked whole below).
TEST(AuditLine, QuotesEscapesAndCutsEachValue) {
    const std::pair<std::string, std::string> values[] = {
        {"/plain/page?x=1", "/plain/page?x=1"},
        {"a b", "\"a b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\x", "\"C:\\\\x\""},
        {std::string("tab\tnl\n\x7f"), "\"tab\\x09nl\\x0A\\x7F\""},
        {"", "\"\""},
        {std::string(300, 'u'), std::string(kAuditValueMax, 'u')},
    };
    for (const auto& [value, written] : values) EXPECT_EQ(auditValue(value), written) << value;
}

// The proxy's folder with the simulator's administrator and an audit file; the simulator.
struct AuditedProxy : SimProxy {
    const TempDir& dir = site.dir;
    std::string log = dir.file("audit.log");
    AuditedProxy() {
        (void)runCommand(dir, {"-auditLog=" + log});
        writeFile(log, "");
    }
    // The lines written since the last call, with each duration replaced by "ms=N".
    std::vector<std::string> takeLines() {
        std::vector<std::string> lines;
        std::istringstream text(readFile(log));
        for (std::string line; std::getline(text, line);) {
            size_t ms = line.rfind(" ms=");
            if (ms != std::string::npos &&
                line.find_first_not_of("0123456789", ms + 4) == std::string::npos) {
                line = line.substr(0, ms) + " ms=N";
            }
            lines.push_back(line);
        }
        writeFile(log, "");
        return lines;
    }
};

TEST(AuditLog, EachEventKindHasItsFieldsAndNoSecret) {
    AuditedProxy proxy;
    ASSERT_TRUE(proxy.sim.running());
    const std::string port = proxy.sim.portText();
    const std::string server = "127.0.0.1:" + port;
    const std::string web = "REMOTE_USER=alice REMOTE_ADDR=192.0.2.7";
    const std::string alice = "user=alice addr=192.0.2.7 server=" + server;
    const std::string page = "SERVER=" + server + "&URL=/";
    // Every line is checked whole, but for a duration (ms=N) and what follows a "*".
    struct Case {
        char how;          // 'g' a GET of `what`, 'p' a POST of `what` ('P' with length 0)
        std::string what;  // or 'c' a console run with `what` as its arguments
        std::string env, line;
    };
    const Case cases[] = {
        // The byte count takes in the server's head.
        {'g', page + "size/300", web,
         "event=page " + alice +
             " admin=admin logon=shared url=/size/300 result=RC_OK bytes=359 ms=N"},
        {'p', "SERVER=" + server + "&URL=%2Fposted&node=n.1&contact=hush", "",
         "event=post user=- server=" + server +
             " admin=admin logon=shared url=/posted result=RC_OK bytes=*"},
        {'g', "CONFIG=1", "REMOTE_ADDR=192.0.2.7",
         "event=refused user=- addr=192.0.2.7 reason=login ms=N"},
        {'g', "CONFIG=1", "REMOTE_USER=alice HTTP_SEC_FETCH_SITE=cross-site",
         "event=refused user=alice reason=cross-site ms=N"},
        {'g', page + "a%0Ab", web, "event=refused user=alice addr=192.0.2.7 reason=bad-url ms=N"},
        {'P', "SERVER=h:1&URL=/", "", "event=refused user=- reason=bad-request ms=N"},
        {'g', "SERVER=127.0.0.1:1&URL=/", web,
         "event=page user=alice addr=192.0.2.7 server=127.0.0.1:1 admin=admin logon=shared url=/ "
         "result=session-error ms=N"},
        {'c', "-request=" + page, "",
         "event=console user=- server=" + server +
             " admin=admin logon=shared url=/ result=RC_OK bytes=*"},
        {'c', "-check=" + server, "",
         "event=check user=- server=" + server + " admin=admin logon=shared result=RC_OK bytes=*"},
        // A web user's own logon, then the access rules: a list of servers that leaves out the
        // simulator (which is not the default server), and no shared logon for web users without
        // one.
        {'c', "-webUser=alice -proxyId=admin -proxyP=secret", "",
         "event=console user=- admin=admin fields=logon:alice result=ok ms=N"},
        {'g', page, web,
         "event=page " + alice + " admin=admin logon=own url=/ result=RC_OK bytes=*"},
        {'c', "-allowServers=velk2 -sharedLogon=no", "",
         "event=console user=- fields=allowedServers,sharedLogon result=ok ms=N"},
        {'g', page, web, "event=refused " + alice + " url=/ reason=server-not-allowed ms=N"},
        {'g', "SERVER=velk2:1&URL=/", "REMOTE_USER=bob",
         "event=refused user=bob url=/ reason=no-logon ms=N"},
        {'g', "LOGON=SET&ID=admin&PSWD=hush", "REMOTE_USER=dave",
         "event=logon user=dave fields=id,password result=ok ms=N"},
        // A password typed into the form, and one given on the command line, last: the server
        // knows neither.
        {'g', "SETUP=1&ID=admin&PSWD=typed%20secret&DADDRESS=127.0.0.1&DPORT=" + port,
         "REMOTE_USER=alice",
         "event=setup user=alice server=" + server +
             " admin=admin logon=own url=/ fields=password,server,port result=*"},
        {'c', "-proxyId=admin -proxyP=hunter2", "",
         "event=console user=- admin=admin fields=id,password result=ok ms=N"},
    };
    for (const Case& c : cases) {
        ProgramRun run = c.how == 'c'   ? runCommand(proxy.dir, words(c.what))
                         : c.how == 'g' ? runGet(proxy.dir, c.what, words(c.env))
                                        : runPost(proxy.dir, c.what, c.how == 'P' ? "0" : "");
        std::vector<std::string> lines = proxy.takeLines();
        ASSERT_EQ(lines.size(), 1u) << c.line << "\n" << run.out;
        const std::string& line = lines[0];
        size_t star = c.line.find('*');
        if (star == std::string::npos) {
            EXPECT_EQ(line, c.line);
        } else {
            EXPECT_EQ(line.substr(0, star), c.line.substr(0, star)) << line;
        }
        for (const char* secret : {"secret", "hunter2", "hush", "n.1", "<", "VELK"}) {
            EXPECT_FALSE(holds(line, secret));
        }
    }
}

// The system log's form, seen on a socket the test owns in place of /dev/log: authpriv, the
// program's name and process, and the level by outcome.
TEST(AuditLog, SyslogDatagramsCarryFacilityLevelAndIdent) {
    Site site({"-proxyId=admin", "-proxyPassword=secret"});
    std::string path = site.dir.file("log.sock");
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    ASSERT_TRUE(fcgitest::unixAddress(path, &address));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::pair<std::string, std::string> cases[] = {
        {"JUMP=1", "<86>"},                    // info
        {"CONFIG=1", "<85>"},                  // notice: refused
        {"SERVER=127.0.0.1:1&URL=/", "<84>"},  // warning: failed
    };
    for (const auto& [query, priority] : cases) {
        (void)runGet(site.dir, query, {"KORPROXY_SYSLOG_SOCKET=" + path});
        char datagram[2048];
        ssize_t n = recv(fd, datagram, sizeof datagram, 0);
        ASSERT_GT(n, 0) << query;
        std::string text(datagram, static_cast<size_t>(n));
        // "<PRI>Mmm dd hh:mm:ss korproxy[PID]: event=..."
        const std::string stamp = text.substr(priority.size(), 16);
        const std::string rest = text.substr(priority.size() + stamp.size());
        EXPECT_EQ(text.rfind(priority, 0), 0u) << text;
        EXPECT_TRUE(isupper(stamp[0]) && stamp[3] == ' ' && stamp[9] == ':' && stamp[15] == ' ')
            << text;
        EXPECT_EQ(rest.rfind("korproxy[", 0), 0u) << text;
        EXPECT_TRUE(holds(rest, "]: event=")) << text;
        EXPECT_TRUE(holds(rest, " user=- ")) << text;
    }
    close(fd);
}

// A destination the program cannot use: refused by the command line when it is not one of the
// four forms, named in one line on standard error when the file cannot be opened.
TEST(AuditLog, UnusableDestinationsAreRefusedOrNamedOnStandardError) {
    Site site;
    ProgramRun run = runCommand(site.dir, {"-tcps=h", "-auditLog=relative.log"});
    EXPECT_EQ(run.out,
              "ERROR: -auditLog takes syslog, eventlog, off or an absolute file path; nothing has "
              "been stored.\n");
    EXPECT_EQ(readStore(site.dir).opts.server, std::string());

    const std::string gone = site.dir.file("gone/audit.log");
    (void)runCommand(site.dir, {"-auditLog=" + gone});
    run = runGet(site.dir, "JUMP=1");
    EXPECT_EQ(run.err,
              "korproxy: audit log " + gone + " cannot be opened: No such file or directory\n");
    (void)runCommand(site.dir, {"-auditLog=off"});
    EXPECT_EQ(runGet(site.dir, "JUMP=1").err, "");
}

TEST(ConnectionCheck, EachFailingStepHasItsExitStatusAndItsAdvice) {
    const std::string pair = "-proxyId=admin -proxyPassword=secret";
    struct Case {
        std::string sim, stored;  // the simulator's switches, the command line stored before
        std::string check;        // the check's arguments after -check; SIM is the simulator
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"", pair, "=SIM", 0, "start page received: ok (3499 bytes, RC_OK)\nAll steps passed.\n"},
        {"", "-webUser=carol -proxyId=admin -proxyP=secret", "=SIM -webUser=carol", 0,
         "(administrator id admin, the web user's own pair)"},
        {"", "", "", 2, "settings store read: FAILED: no default server is stored"},
        {"", "-tcps=h", "=SIM", 3, "credentials read: FAILED: no administrator id"},
        {"", "-sharedLogon=no", "=SIM -webUser=carol", 3,
         "the web user carol has no logon of their own"},
        {"", pair + " -allowServers=velk2", "=SIM", 4, "server allowed: FAILED: 127.0.0.1:"},
        {"", pair, "=no-such-host.invalid:1500", 5, "name resolved: FAILED: the name no-such-host"},
        {"", pair, "=127.0.0.1:1", 6, "TCP connection made: FAILED: Connection to 127.0.0.1 port "},
        {"--no-proxy", pair, "=SIM", 7, "server identified: FAILED: the server does not support"},
        {"--proxy-status=2", pair, "=SIM", 8, "FAILED: the administrator password has expired"},
        {"--proxy-status=3", pair, "=SIM", 8, "FAILED: the server knows no administrator id"},
        {"--proxy-status=11", pair, "=SIM", 8, "FAILED: the administrator id admin is locked"},
        {"--admin-password=other", pair, "=SIM", 9,
         "authentication accepted: FAILED: the password was refused: store it again with "
         "-proxyPassword.\n"},
        {"--rc=RC_NOTFOUND", pair, "=SIM", 10, "the server answered RC_NOTFOUND instead"},
    };
    for (const Case& c : cases) {
        SimProcess sim(words(c.sim));
        ASSERT_TRUE(sim.running());
        Site site(words(c.stored));
        std::string check = "-check" + c.check;
        if (size_t at = check.find("SIM"); at != std::string::npos) {
            check.replace(at, 3, sim.address());
        }
        ProgramRun run = runCommand(site.dir, words(check));
        EXPECT_EQ(run.status, c.status) << c.says << "\n" << run.out;
        EXPECT_TRUE(holds(run.out, c.says));
        EXPECT_FALSE(holds(run.out, "secret"));
    }
}

}  // namespace
