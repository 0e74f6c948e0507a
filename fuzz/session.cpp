// The whole session against a scripted server: the set-up (identify, proxy session, the four
// authentication messages) and one page command relayed to standard output, with the fuzzer's
// bytes as what the server says.
//
// The first input byte chooses the script. Bit 0 clear: every byte the proxy receives comes from
// the input, from the first answer on. Bit 0 set: an honest server sets the session up (the
// challenge cannot be guessed) and the input is the response line and the page that follow. Bits 1
// to 3 give the size of the pieces the answers arrive in (0: as much as the proxy asks for).
//
// The session layer connects through its transport opener, here the scripted server's.
#include <string>

#include "front/korproxy_relay.h"
#include "front/korproxy_request.h"
#include "fuzz/fuzz_support.h"
#include "session/smsess.h"
#include "tests/session/script_server.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    if (size == 0) return 0;
    const bool honest = (data[0] & 1) != 0;
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    ScriptTransport server;
    server.maxPiece = (data[0] >> 1) & 7;
    HonestServer setUp;
    setUp.step = 0;
    if (honest) {
        server.peer = [&](ScriptTransport& t) {
            if (setUp.step < 4) return setUp(t);
            t.queue(input);
            input.clear();
        };
    } else {
        server.queue(input);
    }
    scriptedServer = &server;
    smSetTransportOpener(openScripted);

    SessionDesc* session = smNewSession();
    if (session == nullptr) abort();
    char host[] = "server.test", port[] = "1500", id[] = "admin", password[] = "secret";
    int rc = smOpenSession(session, host, port, id, password);
    if (honest) FUZZ_CHECK(rc == kSmOk);
    if (rc == kSmOk) {
        FUZZ_CHECK(session->state == kSmReady && session->termReason == kSmNotEnded);
        (void)relayPage(session, "HTML /size/10 PROXYURL=/cgi-bin/velkproxy\n");
        (void)closeConnection(session);
    } else {
        FUZZ_CHECK(session->state != kSmReady);
    }
    smFreeSession(session);
    return 0;
}
