// see korproxy.h
#include "front/korproxy.h"

OptionsRecord* optsP = nullptr;

void openTraceFile(const char*) {}

int korproxyMain(int, char**) {
    return 0;
}
