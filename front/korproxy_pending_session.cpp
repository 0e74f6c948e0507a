// Stand-ins for the session layer's command exchange until it lands in session/smsess.cpp; the
// definitions there take precedence (these are weak). Each fails like a dropped connection, so a
// request ends in its error page. Delete this file once session/ defines the three.
#include "session/smsess.h"

__attribute__((weak)) int smSendCommand(SessionDesc*, const char*, int32_t) {
    return kSmSessionFailure;
}

__attribute__((weak)) int smRecvResponse(SessionDesc*, uint32_t* amount) {
    if (amount != nullptr) *amount = 0;
    return -1;
}

__attribute__((weak)) int smRecvData(SessionDesc*, unsigned char*, int32_t) {
    return -1;
}

// Lets the whole-program tests of the relay tell that the stand-ins are in use.
extern "C" __attribute__((weak)) const int korproxyPendingSessionExchange = 1;
