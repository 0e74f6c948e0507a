// The CGI program: one browser request or one command line per process.
#include "front/korproxy.h"

int main(int argc, char** argv) {
    return korproxyMain(argc, argv);
}
