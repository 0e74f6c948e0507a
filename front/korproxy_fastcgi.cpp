// see korproxy_fastcgi.h: the size of the pool, the same on every platform.
#include "front/korproxy_fastcgi.h"

#include "common/limits.h"

int fastcgiWorkerCount(const char* text) {
    if (text == nullptr || *text == '\0') return kDefaultFastcgiWorkers;
    int count = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
        count = count * 10 + (*c - '0');
        if (count > kMaxFastcgiWorkers) count = kMaxFastcgiWorkers + 1;  // no overflow
    }
    if (count == 0) return 0;
    return count > kMaxFastcgiWorkers ? kMaxFastcgiWorkers : count;
}
