// see korproxy_fastcgi.h: the build without the FastCGI library runs as a CGI program only.
#include "front/korproxy_fastcgi.h"

bool fastcgiListening() {
    return false;
}

int fastcgiServe() {
    return 1;
}
