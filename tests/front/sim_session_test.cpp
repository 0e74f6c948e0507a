// Whole requests against the server simulator on 127.0.0.1: the relayed page compared byte for
// byte, a POST form, an object link, and the error pages of a failed session set-up.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "program_run.h"
#include "sim_process.h"

namespace {

using fronttest::Proxy;
using fronttest::runCommand;
using fronttest::runGet;
using fronttest::Simulator;
using fronttest::TempDir;

// The simulator's /size/N page: its header lines, then N bytes of numbered filler lines.
std::string sizedBody(size_t bytes) {
    const char fill[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-";
    std::string head = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(bytes) +
                       " bytes</title></head><body><pre>\n";
    const std::string tail = "</pre></body></html>\n";
    std::string body = head;
    for (size_t i = 0; i < bytes - head.size() - tail.size(); ++i) {
        body.push_back(i % 64 == 63 ? '\n' : fill[i % 64]);
    }
    return body + tail;
}

std::string relayed(const std::string& page) {
    return "Content-type: text/html\nProxy: KORPROXY/" + std::string(productVersion) + "\n\n\n" +
           page;
}

// The server's three header lines as the relay leaves them: blanks up to each line feed.
const std::string kBlankedHeader =
    std::string(15, ' ') + "\n" + std::string(17, ' ') + "\n" + std::string(23, ' ') + "\n\n";

TEST(SimSession, PagesRelayByteForByte) {
    Simulator sim({});
    ASSERT_FALSE(sim.address().empty());
    Proxy proxy;
    for (size_t bytes : {size_t{4096}, size_t{1024 * 1024}}) {
        fronttest::ProgramRun run =
            runGet(proxy.dir, "SERVER=" + sim.address() + "&URL=/size/" + std::to_string(bytes));
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out == relayed(kBlankedHeader + sizedBody(bytes)))
            << "page of " << bytes << " bytes differs; got " << run.out.size() << " bytes";
    }
}

TEST(SimSession, StartPageObjectLinkAndPostForm) {
    Simulator sim({});
    ASSERT_FALSE(sim.address().empty());
    Proxy proxy;
    (void)runCommand(proxy.dir, {"-tcps=127.0.0.1", "-tcpp=" + sim.address().substr(10)});
    fronttest::ProgramRun start = runGet(proxy.dir, "");
    EXPECT_EQ(start.out.rfind(relayed(kBlankedHeader), 0), 0u) << start.out;
    EXPECT_NE(start.out.find("/cgi-bin/velkproxy"), std::string::npos) << start.out;

    fronttest::ProgramRun post = fronttest::runPost(
        proxy.dir, "SERVER=" + sim.address() + "&URL=%2Fposted&node=n.1&contact=a%26b\r\n");
    EXPECT_EQ(post.status, 0);
    EXPECT_EQ(post.out.rfind(relayed(kBlankedHeader), 0), 0u) << post.out;
    EXPECT_NE(post.out.find("n.1"), std::string::npos) << post.out;
}

TEST(SimSession, SetUpFailuresShowTheirErrorPages) {
    struct Case {
        std::vector<std::string> simOptions;
        std::string password;
        std::string report;
    };
    const Case cases[] = {
        {{},
         "wrong",
         "Proxy password has expired.  Please update the password on the VELK Web "
         "Administration server and the Proxy.\n"},
        {{"--no-proxy"},
         "secret",
         "The VELK Web Administration server you were attempting to send this request to does "
         "not support the proxy protocol.\n"},
    };
    for (const Case& c : cases) {
        Simulator sim(c.simOptions);
        ASSERT_FALSE(sim.address().empty());
        Proxy proxy(c.password);
        fronttest::ProgramRun run = runGet(proxy.dir, "SERVER=" + sim.address() + "&URL=/");
        EXPECT_EQ(run.status, 255) << c.report;
        EXPECT_NE(run.out.find("<h2>Error!</h2>" + c.report), std::string::npos) << run.out;
    }
}

}  // namespace
