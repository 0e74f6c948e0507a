// see korproxy_cmdline.h
// Placeholder: the option table arrives with the settings and credentials it stores. Until then
// the scan only empties the request text and clears the POST flag, so nothing is replayed.
#include "front/korproxy_cmdline.h"

void processOptions(int, char**, char* request, size_t requestSize, int* postFlag) {
    if (request != nullptr && requestSize > 0) request[0] = '\0';
    if (postFlag != nullptr) *postFlag = 0;
}
