// Pieces shared by the GET and POST handlers: the session holder, the credentials of one open and
// the last leg of a request (relay, close).
//
// Owns nothing beyond one request. Never used outside the request handlers.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "common/limits.h"
#include "common/platform.h"
#include "front/korproxy_access.h"
#include "session/smsess.h"

// The descriptor of one request, released when the request is done.
struct SessionFree {
    void operator()(SessionDesc* session) const { (void)smFreeSession(session); }
};
using Session = std::unique_ptr<SessionDesc, SessionFree>;

// The stored id and password as one open needs them; wiped when they go out of scope. Each holds
// the store's 64 bytes and a little room.
struct Credentials {
    char id[kCredentialSize + 4] = {};
    char password[kCredentialSize + 4] = {};
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials() {
        osWipe(id, sizeof id);
        osWipe(password, sizeof password);
    }
};

// Refuses, with its error page, a URL that would put a second line into the server command: one
// that holds a line feed or a carriage return, or whose decoding met a zero byte (`zeroByte`).
// Returns true when refused.
[[nodiscard]] bool refuseBrokenUrl(const char* url, bool zeroByte);

// The stored default server as host:port, or empty when its server or port is not stored.
[[nodiscard]] std::string defaultServerAddress();
// Opens `session` with the pair `credentials` from `logon` within the request's setup deadline,
// after noting the administrator id and the pair's source in the audit record (the open converts
// the id in place). Returns smOpenSession's result.
[[nodiscard]] int openSessionWith(SessionDesc* session, char* host, const char* port,
                                  Credentials& credentials, LogonSource logon);
// The stored CGI URL, empty without an options record.
[[nodiscard]] const char* storedCgiUrl();

// Traces the command, relays the page (an error page for a non-zero relay result), sends "BYE" and
// closes the session. Returns the relay's result; an empty command (no memory for it) gets the
// error page "Out of Memory!" and -1.
[[nodiscard]] int relayCommand(SessionDesc* session, const std::string& command);
