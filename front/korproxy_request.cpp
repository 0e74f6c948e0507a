// see korproxy_request.h
// Placeholders: the request road needs the session layer, and replaces these bodies when it
// arrives. Until then a GET or POST request is answered with nothing and succeeds.
#include "front/korproxy_request.h"

int doGetRequest(const char*) {
    return 0;
}

int doPostRequest(const char*) {
    return 0;
}
