// The program: one browser request or one command line per process, or, started by a web server
// on a listening socket, request after request (FastCGI).
#include "common/platform.h"
#include "front/korproxy.h"
#include "front/korproxy_fastcgi.h"

int main(int argc, char** argv) {
    osPrepareProcess();
    if (fastcgiListening()) return fastcgiServe();
    return korproxyMain(argc, argv);
}
