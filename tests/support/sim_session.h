// A session of the program's own session layer opened to a simulator child process, and the page
// commands the tests send on it.
#pragma once

#include <string>
#include <vector>

#include "net/tcpcomm.h"
#include "session/smsess.h"
#include "tests/support/process.h"

namespace simtest {

using namespace proctest;

// A page command in the form the proxy sends, its links to come back through web.test.
inline std::string pageCommand(const std::string& url) {
    return "HTML " + url + " PROXYURL=http://web.test/cgi-bin/velkproxy\n";
}

struct SimSession {
    SessionDesc* s = smNewSession();
    int rc = -99;  // what smOpenSession returned
    explicit SimSession(const SimProcess& sim, std::string password = "secret",
                        std::string id = "admin") {
        char host[] = "127.0.0.1";
        rc = smOpenSession(s, host, sim.portText().c_str(), id.data(), password.data());
    }
    ~SimSession() { smFreeSession(s); }
    SimSession(const SimSession&) = delete;
    SimSession& operator=(const SimSession&) = delete;

    int socket() const { return static_cast<TcpConnection*>(s->transport.conn)->socket; }

    // Sends `command` and reads the response line and the page it announces into *page. Returns
    // the response's code with the amount in *amount; -1 when the connection dropped, -2 when the
    // page did not arrive whole.
    int fetch(const std::string& command, std::string* page, uint32_t* amount) {
        page->clear();
        *amount = 0;
        if (smSendCommand(s, command.data(), static_cast<int32_t>(command.size())) != kSmOk) {
            return -1;
        }
        int code = smRecvResponse(s, amount);
        if (code != 0 || *amount == 0) return code;
        std::vector<unsigned char> bytes(*amount + 1);
        if (smRecvData(s, bytes.data(), static_cast<int32_t>(*amount)) !=
            static_cast<int32_t>(*amount)) {
            return -2;
        }
        if (bytes[*amount] != 0) return -2;
        page->assign(bytes.begin(), bytes.end() - 1);
        return code;
    }
};

}  // namespace simtest
