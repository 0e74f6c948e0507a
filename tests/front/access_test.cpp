// Who a request logs on as and where it may connect: the allowed-server list's form and matching,
// a refused server that is never connected to (GET, POST, console replay), the web user's own
// pair, the shared one as fallback and refused by SharedLogon, and the pairs managed at the
// console and through the LOGON form.
#include "front/korproxy_access.h"

#include <gtest/gtest.h>

#include "front_testing.h"
#include "settings/pswebusers.h"

namespace {

using namespace fronttest;

OptionsRecord withList(const char* list) {
    OptionsRecord opts{};
    snprintf(opts.server, sizeof opts.server, "velk01");
    snprintf(opts.port, sizeof opts.port, "1500");
    snprintf(opts.allowedServers, sizeof opts.allowedServers, "%s", list);
    return opts;
}

std::string entries(size_t count, const std::string& entry) {
    std::string list;
    for (size_t i = 0; i < count; ++i) list += (i ? "," : "") + entry;
    return list;
}

TEST(AllowedServers, ListsAreCheckedAndMatchedByHostAndPortNumber) {
    struct Form {
        std::string list;
        bool storable;
    };
    const Form forms[] = {
        {"", true},
        {"a.example:1500, b.example", true},
        {entries(32, std::string(64, 'h')), true},
        {entries(33, "h"), false},
        {std::string(65, 'h'), false},
        {"a:0", false},
        {"a:65536", false},
        {"a:15x", false},
        {"a,,b", false},
        {"a b:1", false},
        {":1500", false},
    };
    for (const Form& f : forms) {
        EXPECT_EQ(allowedServersProblem(f.list.c_str()).empty(), f.storable) << f.list;
    }

    struct Case {
        const char* list;
        const char* host;
        const char* port;
        bool allowed;
    };
    const Case cases[] = {
        {"A.example:1500,b.example", "a.EXAMPLE", "01500", true},
        {"A.example:1500,b.example", "a.example", "1501", false},
        {"A.example:1500,b.example", "a.example", "67036", false},  // no wrap to 1500
        {"A.example:1500,b.example", "b.example", "7", true},
        {"A.example:1500,b.example", "a.example.evil", "1500", false},
        {"A.example:1500,b.example", "VELK01", "1500", true},  // the default server
        {"A.example:1500,b.example", "velk01", "1501", false},
        {"", "anywhere", "1", true},  // no list: anywhere
        {kUnreadableServerList, "a.example", "1500", false},
        {kUnreadableServerList, "velk01", "1500", true},
    };
    for (const Case& c : cases) {
        OptionsRecord opts = withList(c.list);
        std::string refusal;
        EXPECT_EQ(serverAllowed(&opts, c.host, c.port, "shown", &refusal), c.allowed)
            << c.list << " " << c.host << ":" << c.port;
        EXPECT_EQ(refusal.empty(), c.allowed);
    }
    OptionsRecord opts = withList("a");
    std::string refusal;
    EXPECT_FALSE(serverAllowed(&opts, "<x>", "1", "<x>:1", &refusal));
    EXPECT_EQ(refusal, "The server &lt;x&gt;:1 is not one this proxy may connect to.");
    EXPECT_EQ(lastAccessRecord().refusal, AccessRefusal::kServerNotAllowed);
}

bool connected(const SimProcess& sim) {
    return sim.log().find("connection from") != std::string::npos;
}

TEST(AllowedServers, ARefusedServerIsNeverConnectedTo) {
    SimProxy proxy;
    SimProcess refused({});
    ASSERT_TRUE(proxy.sim.running() && refused.running());
    const TempDir& dir = proxy.site.dir;
    ASSERT_EQ(runCommand(dir, {"-allowServers=" + proxy.sim.address()}).out,
              "Default options have been updated.\n");
    const std::string other = refused.address();
    const std::string message = "The server " + other + " is not one this proxy may connect to.";
    const std::string request = "SERVER=" + other + "&URL=/";
    ProgramRun runs[] = {
        runGet(dir, "SERVER=http%3A%2F%2F" + other + "&URL=/"),
        runPost(dir, request + "&a=1&b=2"),
        runCommand(dir, {"-request=" + request}),
    };
    for (const ProgramRun& run : runs) {
        EXPECT_TRUE(holds(run.out, "<h2>Error!</h2>" + message));
    }
    EXPECT_FALSE(connected(refused)) << refused.log();
    ProgramRun ok = runGet(dir, proxy.server() + "&URL=/");
    EXPECT_TRUE(holds(ok.out, "Proxy: KORPROXY/"));
    EXPECT_TRUE(connected(proxy.sim));
}

TEST(WebUserLogon, OwnPairFirstThenTheSharedOneUnlessSharedLogonSaysNo) {
    SimProxy proxy({"--admin", "own:ownpw"});
    ASSERT_TRUE(proxy.sim.running());
    const TempDir& dir = proxy.site.dir;
    ASSERT_EQ(runCommand(dir, {"-webUser=alice", "-proxyId=own", "-proxyPassword=ownpw"}).out,
              "The logon of the web user alice has been updated\n");
    const std::string query = proxy.server() + "&URL=/";
    // Before and after -sharedLogon=no: the web user, and what the page says.
    const std::pair<std::string, std::string> cases[] = {
        {"REMOTE_USER=alice", "signed on as own"},
        {"REMOTE_USER=Alice", "signed on as admin"},  // another web user, not alice's pair
        {"", "signed on as admin"},
        {"REMOTE_USER=alice", "signed on as own"},
        {"REMOTE_USER=b<o>b", "No storage-server logon is stored for the web user b&lt;o&gt;b."},
        {"", "No storage-server logon may be used without a web login."},
    };
    for (const auto& [user, says] : cases) {
        if (&says == &cases[3].second) {
            ASSERT_EQ(runCommand(dir, {"-sharedLogon=no"}).out,
                      "Default options have been updated.\n");
        }
        EXPECT_TRUE(holds(runGet(dir, query, words(user)).out, says));
    }
}

std::string storedPair(const TempDir& dir, const char* webUser) {
    setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
    char id[kCredentialSize] = {}, password[kCredentialSize] = {};
    int rc = psReadPairAt(psWebUserKeyPath(webUser).c_str(), id, password);
    unsetenv("KORPROXY_REGISTRY");
    return rc == 0 ? std::string(id) + "/" + password : "<none>";
}

TEST(WebUserLogon, PairsAreManagedAtTheConsoleAndThroughTheLogonForm) {
    Site site;
    struct Step {
        std::vector<std::string> args;
        std::string out;
    };
    const Step steps[] = {
        {{"-webUser=bob", "-proxyId=b", "-proxyPassword=pb"},
         "The logon of the web user bob has been updated\n"},
        {{"-webUser=alice", "-proxyI=a", "-proxyP=pa"},
         "The logon of the web user alice has been updated\n"},
        {{"-webUser=ALICE", "-proxyId=x", "-proxyPassword=y"},
         std::string("ERROR: ") + kOtherSpellingRefusal + "\n"},
        {{"-webUsers"}, "alice\nbob\n"},
        {{"-webUser=carol", "-remove"}, "No logon is stored for the web user carol.\n"},
        {{"-webUser=bob", "-remove"}, "The logon of the web user bob has been removed\n"},
        {{"-remove"}, "ERROR: -remove needs -webUser=<name>.\n"},
        {{"-webUser=alice"}, "ERROR: -webUser needs -proxyId and -proxyPassword, or -remove.\n"},
        {{"-webUser=a\\b", "-remove"},
         "ERROR: The web user name a\\b cannot have a logon of its own: a name has 1 to 64 "
         "characters, no control character and no \"\\\". Nothing has been stored.\n"},
    };
    for (const Step& s : steps) EXPECT_EQ(runCommand(site.dir, s.args).out, s.out) << s.args[0];
    EXPECT_EQ(storedPair(site.dir, "alice"), "a/pa");

    // The form shows the signed-in user their own id, never a password or the proxy's settings.
    ProgramRun form = runGet(site.dir, "LOGON=1", {"REMOTE_USER=alice"});
    for (const char* shown : {"<INPUT TYPE=HIDDEN NAME=LOGON VALUE=SET>", "NAME=\"ID\" VALUE=\"a\"",
                              "NAME=\"PSWD\" VALUE=\"\"", "\nalice\n"}) {
        EXPECT_TRUE(holds(form.out, shown));
    }
    EXPECT_FALSE(holds(form.out, "CGIURL"));

    struct Request {
        std::string query;
        std::vector<std::string> env;
        std::string says;  // on the page
    };
    const Request requests[] = {
        {"LOGON=SET&ID=c&PSWD=p%2Bc%26", {"REMOTE_USER=carol"}, "Open a server"},
        {"LOGON=SET&ID=&PSWD=x", {"REMOTE_USER=dave"}, "Both an id and a password are needed."},
        {"LOGON=SET&ID=d&PSWD=x", {}, "needs a web login"},
        {"LOGON=1", {"REMOTE_USER=" + std::string(65, 'n')}, "cannot have a logon of its own"},
        {"LOGON=DELETE", {"REMOTE_USER=alice"}, "Open a server"},
    };
    for (const Request& r : requests) {
        EXPECT_TRUE(holds(runGet(site.dir, r.query, r.env).out, r.says)) << r.query;
    }
    EXPECT_EQ(storedPair(site.dir, "carol"), "c/p+c&");
    EXPECT_EQ(storedPair(site.dir, "alice"), "<none>");
    EXPECT_EQ(storedPair(site.dir, "dave"), "<none>");

    EXPECT_EQ(runCommand(site.dir, {"-uninstall"}).out, "");
    EXPECT_EQ(runCommand(site.dir, {"-webUsers"}).out, "");
    EXPECT_EQ(storedPair(site.dir, "carol"), "<none>");
}

}  // namespace
